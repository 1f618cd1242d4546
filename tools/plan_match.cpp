#include "plan_match.h"

#include "fixed_point.h"
#include "message.h"

#include <array>
#include <map>
#include <optional>
#include <unordered_map>
#include <vector>

namespace vandry::check {

namespace {

// Ticks just ahead in which a message that differs in one field is looked for.
constexpr std::uint32_t NEAR_WINDOW = 32;

constexpr const char *SHORT_FIELDS[] = {"distance", "level", "d1",      "volume",
                                        "temp1",    "temp2", "sequence"};
constexpr const char *LONG_FIELDS[] = {"distance", "level", "d1",   "volume",  "temp1",
                                       "temp2",    "vin",   "rssi", "sequence"};
constexpr const char *GPS_FIELDS[] = {"distance",
                                      "level",
                                      "d1",
                                      "volume",
                                      "temp1",
                                      "temp2",
                                      "vin",
                                      "rssi",
                                      "sequence",
                                      "sentence",
                                      "latitude",
                                      "latitude hemisphere",
                                      "longitude",
                                      "longitude hemisphere",
                                      "time",
                                      "status",
                                      "mode and checksum"};

std::uint64_t hash_of(std::string_view text) {
    std::uint64_t h = 14695981039346656037ULL;
    for (const char c : text)
        h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    return h;
}

std::string_view trimmed(std::string_view field) {
    return field.substr(std::min(field.find_first_not_of(' '), field.size()));
}

// How two records of one layout differ: in how many fields (more than one counts as two) and
// in which first. The GPS record's last field, the checksum, follows from the others: it counts
// only when nothing else differs.
struct Difference {
    int fields = 0;
    std::size_t first = 0;
    std::string expected, got;
};

Difference differ(std::string_view expected, std::string_view got, Layout layout) {
    Difference d;
    const std::vector<std::string_view> e = split_commas(expected).text, g = split_commas(got).text;
    const std::size_t derived = layout == Layout::gps_record ? 1 : 0;
    const std::size_t n = std::min(e.size(), g.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (e[i] == g[i] || (i + derived == e.size() && d.fields > 0))
            continue;
        if (d.fields++ == 0) {
            d.first = i;
            d.expected = trimmed(e[i]);
            d.got = trimmed(g[i]);
        }
    }
    if (e.size() != g.size())
        d.fields = 2;
    return d;
}

// The texts of the supply and signal fields that each draw gives.
struct DrawTexts {
    std::array<std::string, TICK_DRAW_SIZE> supply, signal;
    DrawTexts() {
        char text[FIXED_MAX + 1];
        for (int draw = 0; draw < TICK_DRAW_SIZE; ++draw) {
            format_fixed(text, supply_of(draw), 0, 1);
            supply[static_cast<std::size_t>(draw)] = text;
            format_fixed(text, signal_of(draw), 0, 1);
            signal[static_cast<std::size_t>(draw)] = text;
        }
    }
};

const DrawTexts &draw_texts() {
    static const DrawTexts texts;
    return texts;
}

// A planned station's stream, positioned before tick next_tick.
template <class Rng> struct Cursor {
    Rng rng;
    Telemetry tm = START_TELEMETRY;
    std::uint32_t next_tick = 0;
};

template <class Rng> class Matcher final : public PlanMatcher {
  public:
    explicit Matcher(const Plan &plan) : data_type_(plan.data_type) {
        for (const PlannedStation &s : plan.stations) {
            Entry &e = stations_[s.name];
            e.seed = s.seed;
            e.figures.name = s.name;
            e.figures.planned = true;
            order_.push_back(&e);
        }
    }

    Matched match(const Verdict &v, std::string_view text) override {
        const auto found = stations_.find(v.station);
        if (found == stations_.end())
            return unknown(v.station);
        Entry &e = found->second;
        ++e.figures.messages;
        if (!e.track)
            e.track = std::make_unique<Track>(e.seed);
        Matched m = place(e, v, text);
        count(e.figures, m);
        e.track->last_hash = hash_of(text);
        return m;
    }

    void for_each(const std::function<void(const StationFigures &)> &visit) const override {
        for (const Entry *e : order_)
            visit(e->figures);
        for (const auto &u : unknown_)
            visit(u.second);
    }

    [[nodiscard]] unsigned long long unknown_stations() const override { return unknown_.size(); }

  private:
    // The stream of a station that has sent: its tank, and a cursor after its last tick.
    struct Track {
        explicit Track(unsigned s) : seed(s), at{Rng(s)} { tank = draw_tank(at.rng); }
        unsigned seed;
        Tank tank{};
        Cursor<Rng> at;
        std::uint64_t last_hash = 0;
    };

    struct Entry {
        unsigned seed = 0;
        StationFigures figures;
        std::unique_ptr<Track> track;
    };

    struct Found {
        std::uint32_t tick;
        Cursor<Rng> after;
    };

    Matched unknown(const std::string &station) {
        auto [it, first] = unknown_.try_emplace(station);
        it->second.name = station;
        ++it->second.messages;
        Matched m;
        m.arrival = Arrival::unknown;
        m.first = first;
        return m;
    }

    static void count(StationFigures &f, const Matched &m) {
        f.lost += m.lost;
        f.duplicated += m.arrival == Arrival::duplicate ? 1 : 0;
        f.altered += m.arrival == Arrival::altered ? 1 : 0;
        f.restarts += m.arrival == Arrival::restart ? 1 : 0;
        if (m.arrival == Arrival::duplicate)
            return;
        if (!f.started)
            f.first_tick = m.tick;
        f.started = true;
        f.last_tick = m.tick;
    }

    // The message of the cursor's next tick with its draws, up to its record's line end; the
    // cursor moves past the tick.
    std::string_view compose_text(Cursor<Rng> &c, const Tank &tank, const std::string &name,
                                  Layout layout, TickDraws draws) {
        const int code = static_cast<int>(layout) * 10 + 1; // close-after-send: no CR LF
        const int length = compose_message(buffer_.data(), name.c_str(), code, tank, c.tm, draws);
        ++c.next_tick;
        return {buffer_.data(),
                static_cast<std::size_t>(length) - (layout == Layout::gps_record ? 1U : 2U)};
    }

    // Moves the cursor past its next tick without composing it.
    static void pass(Cursor<Rng> &c, const Tank &tank) {
        draw_tick(c.rng);
        c.tm.sequence = next_sequence(c.tm.sequence);
        advance_position(tank, c.tm);
        ++c.next_tick;
    }

    // Whether a tick with these draws can have printed the message's sequence, supply and signal.
    static bool may_be(const Cursor<Rng> &c, TickDraws draws, const Verdict &v) {
        if (next_sequence(c.tm.sequence) != v.sequence)
            return false;
        if (v.layout == Layout::short_record)
            return true;
        const DrawTexts &t = draw_texts();
        return t.supply[static_cast<std::size_t>(draws.supply)] == v.values[6] &&
               t.signal[static_cast<std::size_t>(draws.signal)] == v.values[7];
    }

    // The first tick from the cursor on, before the tick until, whose message is the text.
    std::optional<Found> search(Cursor<Rng> c, std::uint32_t until, const Tank &tank,
                                const Verdict &v, std::string_view text) {
        while (c.next_tick < until) {
            const TickDraws draws = draw_tick(c.rng);
            if (!may_be(c, draws, v)) {
                c.tm.sequence = next_sequence(c.tm.sequence);
                advance_position(tank, c.tm);
                ++c.next_tick;
                continue;
            }
            const std::uint32_t tick = c.next_tick;
            if (compose_text(c, tank, v.station, v.layout, draws) == text)
                return Found{tick, c};
        }
        return std::nullopt;
    }

    // The ticks just ahead of the cursor: the first whose message is the text, or else the
    // first from which it differs in one field.
    struct JustAhead {
        std::optional<Found> exact, one_field;
        Difference difference;
    };
    JustAhead just_ahead(const Cursor<Rng> &from, const Tank &tank, const Verdict &v,
                         std::string_view text) {
        JustAhead n;
        Cursor<Rng> c = from;
        const std::size_t name = v.station.size() + 1;
        for (std::uint32_t k = 0; k < NEAR_WINDOW; ++k) {
            const std::uint32_t tick = c.next_tick;
            const std::string_view expected =
                compose_text(c, tank, v.station, v.layout, draw_tick(c.rng));
            if (expected == text) {
                n.exact = Found{tick, c};
                return n;
            }
            if (n.one_field)
                continue;
            Difference d = differ(expected.substr(name), text.substr(name), v.layout);
            if (d.fields == 1) {
                n.one_field = Found{tick, c};
                n.difference = std::move(d);
            }
        }
        return n;
    }

    // An altered message in the place of a tick, reported with the field that differs.
    Matched altered(const Found &at, std::uint32_t lost, Difference d, Layout layout) {
        Matched m;
        m.arrival = Arrival::altered;
        m.tick = at.tick;
        m.lost = lost;
        m.field = field_name(layout, d.first);
        m.expected = std::move(d.expected);
        m.got = std::move(d.got);
        return m;
    }

    Matched place(Entry &e, const Verdict &v, std::string_view text);
    Matched place_first(Track &t, const Verdict &v, std::string_view text);
    Matched place_beyond(Track &t, const Cursor<Rng> &from_start, std::uint32_t last,
                         const Verdict &v, std::string_view text);

    int data_type_;
    std::unordered_map<std::string, Entry> stations_;
    std::vector<const Entry *> order_;
    std::map<std::string, StationFigures> unknown_;
    std::array<char, MAX_MESSAGE_LENGTH + 1> buffer_{};
};

// A station's first message: the first tick of the stream that it is.
template <class Rng>
Matched Matcher<Rng>::place_first(Track &t, const Verdict &v, std::string_view text) {
    Matched m;
    const Cursor<Rng> start = t.at;
    JustAhead n = just_ahead(start, t.tank, v, text);
    std::optional<Found> found = n.exact;
    if (!found)
        found = search(start, MAX_JUMP, t.tank, v, text);
    if (found) {
        m.tick = found->tick;
        t.at = found->after;
        return m;
    }
    Found at = n.one_field ? *n.one_field : Found{0, start};
    if (!n.one_field) {
        Cursor<Rng> c = start;
        const std::string_view expected =
            compose_text(c, t.tank, v.station, v.layout, draw_tick(c.rng));
        n.difference = differ(expected.substr(v.station.size() + 1),
                              text.substr(v.station.size() + 1), v.layout);
        at.after = c;
    }
    t.at = at.after;
    return altered(at, 0, std::move(n.difference), v.layout);
}

template <class Rng>
Matched Matcher<Rng>::place(Entry &e, const Verdict &v, std::string_view text) {
    Track &t = *e.track;
    if (data_type_ != 0 && layout_of(data_type_) != v.layout) {
        Difference d;
        d.expected = layout_name(layout_of(data_type_));
        d.got = layout_name(v.layout);
        Matched m = altered(Found{t.at.next_tick, t.at}, 0, std::move(d), v.layout);
        m.field = "layout";
        pass(t.at, t.tank);
        return m;
    }
    if (!e.figures.started)
        return place_first(t, v, text);
    const std::uint32_t last = e.figures.last_tick;
    Matched m;
    m.previous = last;
    if (hash_of(text) == t.last_hash) {
        m.arrival = Arrival::duplicate;
        m.tick = last;
        return m;
    }
    JustAhead n = just_ahead(t.at, t.tank, v, text);
    if (n.exact) { // the next tick, or one shortly after a loss
        m.arrival = n.exact->tick == last + 1 ? Arrival::next : Arrival::after_loss;
        m.tick = n.exact->tick;
        m.lost = n.exact->tick - last - 1;
        t.at = n.exact->after;
        return m;
    }
    Cursor<Rng> from_start{Rng(t.seed)};
    draw_tank(from_start.rng);
    if (v.sequence == 0) {
        Cursor<Rng> c = from_start;
        if (compose_text(c, t.tank, v.station, v.layout, draw_tick(c.rng)) == text) {
            m.arrival = last == 0 ? Arrival::duplicate : Arrival::restart;
            t.at = c;
            return m;
        }
    }
    if (n.one_field)
        return altered(*n.one_field, n.one_field->tick - last - 1, std::move(n.difference),
                       v.layout);
    return place_beyond(t, from_start, last, v, text);
}

// A message that is no tick just ahead: a later one, an earlier one, or none.
template <class Rng>
Matched Matcher<Rng>::place_beyond(Track &t, const Cursor<Rng> &from_start, std::uint32_t last,
                                   const Verdict &v, std::string_view text) {
    Matched m;
    m.previous = last;
    if (std::optional<Found> ahead = search(t.at, last + 1 + MAX_JUMP, t.tank, v, text)) {
        m.arrival = Arrival::after_loss;
        m.tick = ahead->tick;
        m.lost = ahead->tick - last - 1;
        t.at = ahead->after;
        return m;
    }
    if (std::optional<Found> behind = search(from_start, last, t.tank, v, text)) {
        m.arrival = Arrival::duplicate;
        m.tick = behind->tick;
        return m;
    }
    // No tick of the stream: in the place of the next one.
    Cursor<Rng> c = t.at;
    const std::uint32_t tick = c.next_tick;
    const std::string_view expected =
        compose_text(c, t.tank, v.station, v.layout, draw_tick(c.rng));
    Difference d =
        differ(expected.substr(v.station.size() + 1), text.substr(v.station.size() + 1), v.layout);
    t.at = c;
    return altered(Found{tick, c}, 0, std::move(d), v.layout);
}

} // namespace

const char *field_name(Layout layout, std::size_t position) {
    switch (layout) {
    case Layout::short_record:
        return position < std::size(SHORT_FIELDS) ? SHORT_FIELDS[position] : "record";
    case Layout::long_record:
        return position < std::size(LONG_FIELDS) ? LONG_FIELDS[position] : "record";
    default:
        return position < std::size(GPS_FIELDS) ? GPS_FIELDS[position] : "record";
    }
}

std::unique_ptr<PlanMatcher> make_plan_matcher(const Plan &plan) {
    if (plan.rand == RandKind::glibc)
        return std::make_unique<Matcher<GlibcRand>>(plan);
    return std::make_unique<Matcher<MsvcrtRand>>(plan);
}

} // namespace vandry::check

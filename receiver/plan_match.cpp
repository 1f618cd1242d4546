#include "receiver/plan_match.h"

#include "receiver/any_order.h"
#include "receiver/station_table.h"

#include <algorithm>
#include <optional>

namespace vandry::receiver {

namespace {

// Ticks just ahead in which a message that differs in one field is looked for.
constexpr std::uint32_t NEAR_WINDOW = 32;

// A planned station's stream as far as its arrivals have placed it.
template <class Rng> struct Track {
    Track(unsigned seed, const std::string &name, Layout layout)
        : stream(seed, name, layout), at(stream.start()) {}
    PlannedStream<Rng> stream;
    Cursor<Rng> at; // after the station's last tick
    // At most two windows behind the last tick, made when a message is first looked for behind.
    std::unique_ptr<Cursor<Rng>> behind;
    std::uint64_t last_hash = 0;
    long long last_ms = -1; // when the last message that moved the track came
};

template <class Rng> struct Hit {
    std::uint32_t tick;
    Cursor<Rng> after;
};

template <class Rng> class ArrivalMatcher final : public TableMatcher<Track<Rng>> {
    using Base = TableMatcher<Track<Rng>>;
    using Base::table_;

  public:
    ArrivalMatcher(const Plan &plan, const Extents *extents)
        : Base(plan, extents), data_type_(plan.data_type),
          interval_ms_(std::max(1, plan.interval_s) * 1000LL) {}

    Matched match(const Verdict &v, std::string_view text, long long now_ms) override {
        auto *e = table_.find(v.station);
        if (e == nullptr)
            return table_.unknown(v.station);
        ++e->figures.messages;
        if (!e->track)
            e->track = std::make_unique<Track<Rng>>(
                e->seed, e->figures.name, data_type_ != 0 ? layout_of(data_type_) : v.layout);
        Matched m = place(*e, v, text, now_ms);
        count_placement(e->figures, m);
        if (m.arrival != Arrival::duplicate) {
            e->track->last_hash = hash_of(text);
            e->track->last_ms = now_ms;
        } else if (m.tick < m.previous) {
            ++placed_behind_;
        }
        return m;
    }

    void finish(const Found &found) override;

    [[nodiscard]] unsigned long long placed_behind() const override { return placed_behind_; }

  private:
    using Entry = typename Base::Entry;

    // The first tick after the last one that a jump may not reach.
    std::uint32_t ahead_end(const Entry &e, long long now_ms) const {
        const Track<Rng> &t = *e.track;
        std::uint64_t end = std::uint64_t{t.at.next_tick} + JUMP_LIMIT;
        if (now_ms >= 0 && t.last_ms >= 0 && e.figures.started) {
            const auto allowed = static_cast<std::uint64_t>(std::max(0LL, now_ms - t.last_ms)) * 5 /
                                 static_cast<std::uint64_t>(4 * interval_ms_);
            end = std::min(end, t.at.next_tick + allowed + JUMP_SLACK);
        }
        if (e.extent)
            end = std::min<std::uint64_t>(end, std::uint64_t{e.extent->last_tick} + 1);
        return static_cast<std::uint32_t>(std::min<std::uint64_t>(end, 0xffffffffULL));
    }

    // The nearest tick ahead of the cursor, before end, whose message is the text.
    std::optional<Hit<Rng>> search(PlannedStream<Rng> &s, Cursor<Rng> c, std::uint32_t end,
                                   const Verdict &v, std::string_view text) {
        while (c.next_tick < end) {
            const std::uint32_t tick = c.next_tick;
            if (s.is(c, v, text))
                return Hit<Rng>{tick, c};
        }
        return std::nullopt;
    }

    std::optional<std::uint32_t> search_behind(Track<Rng> &t, std::uint32_t last,
                                               std::uint32_t distance, const Verdict &v,
                                               std::string_view text);
    Matched place(Entry &e, const Verdict &v, std::string_view text, long long now_ms);
    Matched place_first(Entry &e, const Verdict &v, std::string_view text, std::uint32_t end);
    Matched place_altered(Track<Rng> &t, std::uint32_t last, std::uint32_t end,
                          std::string_view text);

    int data_type_;
    long long interval_ms_;
    unsigned long long placed_behind_ = 0;
};

// The nearest tick at or behind last, at most distance - 1 back (and BEHIND_WINDOW at most),
// whose message is the text. The cursor kept behind follows the track at most two windows back,
// so that a search costs at most as much as the ticks that it covers, whatever the stream's
// length.
template <class Rng>
std::optional<std::uint32_t>
ArrivalMatcher<Rng>::search_behind(Track<Rng> &t, std::uint32_t last, std::uint32_t distance,
                                   const Verdict &v, std::string_view text) {
    const std::uint32_t span = std::min(distance, BEHIND_WINDOW);
    const std::uint32_t from = last + 1 > span ? last + 1 - span : 0;
    if (!t.behind || t.behind->next_tick > from)
        t.behind = std::make_unique<Cursor<Rng>>(t.stream.start());
    if (from - t.behind->next_tick > BEHIND_WINDOW)
        t.stream.pass_to(*t.behind, from - BEHIND_WINDOW);
    Cursor<Rng> c = *t.behind;
    t.stream.pass_to(c, from);
    std::optional<std::uint32_t> nearest;
    while (c.next_tick <= last) {
        const std::uint32_t tick = c.next_tick;
        if (t.stream.is(c, v, text))
            nearest = tick;
    }
    return nearest;
}

// A station's first message: the first tick of its stream (or of its extent) that it is.
template <class Rng>
Matched ArrivalMatcher<Rng>::place_first(Entry &e, const Verdict &v, std::string_view text,
                                         std::uint32_t end) {
    Track<Rng> &t = *e.track;
    Matched m;
    if (std::optional<Hit<Rng>> hit = search(t.stream, t.at, end, v, text)) {
        m.tick = hit->tick;
        t.at = hit->after;
        return m;
    }
    return place_altered(t, 0, end, text);
}

// No tick within bounds: in the place of the next tick, or of one just ahead (before end) from
// which it differs in one field; reported with the first field that differs.
template <class Rng>
Matched ArrivalMatcher<Rng>::place_altered(Track<Rng> &t, std::uint32_t last, std::uint32_t end,
                                           std::string_view text) {
    const bool started = t.last_hash != 0 || last > 0;
    const std::uint32_t window_end =
        std::max(t.at.next_tick + 1, std::min(end, t.at.next_tick + NEAR_WINDOW));
    Cursor<Rng> c = t.at, chosen_after = t.at;
    std::uint32_t tick = t.at.next_tick;
    Difference chosen;
    while (c.next_tick < window_end) {
        const std::uint32_t here = c.next_tick;
        Difference d = t.stream.difference(c, text);
        if (here == t.at.next_tick || d.fields <= 1) {
            tick = here;
            chosen = std::move(d);
            chosen_after = c;
        }
        if (chosen.fields <= 1)
            break;
    }
    Matched m;
    m.arrival = chosen.fields == 0 ? (tick == last + 1 ? Arrival::next : Arrival::after_loss)
                                   : Arrival::altered;
    m.previous = last;
    m.tick = tick;
    m.lost = started && tick > last + 1 ? tick - last - 1 : 0;
    if (m.arrival == Arrival::altered) {
        m.field = field_name(t.stream.layout(), chosen.first);
        m.expected = std::move(chosen.expected);
        m.got = std::move(chosen.got);
    }
    t.at = chosen_after;
    return m;
}

template <class Rng>
Matched ArrivalMatcher<Rng>::place(Entry &e, const Verdict &v, std::string_view text,
                                   long long now_ms) {
    Track<Rng> &t = *e.track;
    if (data_type_ != 0 && layout_of(data_type_) != v.layout) {
        Matched m;
        m.arrival = Arrival::altered;
        m.tick = t.at.next_tick;
        m.field = "layout";
        m.expected = layout_name(layout_of(data_type_));
        m.got = layout_name(v.layout);
        t.stream.pass(t.at);
        return m;
    }
    const std::uint32_t end = ahead_end(e, now_ms);
    if (!e.figures.started)
        return place_first(e, v, text, end);
    const std::uint32_t last = e.figures.last_tick;
    Matched m;
    m.previous = last;
    m.tick = last;
    if (hash_of(text) == t.last_hash) {
        m.arrival = Arrival::duplicate;
        return m;
    }
    // The next tick is by far the most common: just ahead first.
    std::optional<Hit<Rng>> ahead =
        search(t.stream, t.at, std::min(end, t.at.next_tick + NEAR_WINDOW), v, text);
    if (!ahead || ahead->tick != last + 1) {
        if (Cursor<Rng> c = t.stream.start();
            v.sequence == 0 && last > 0 && t.stream.is(c, v, text)) {
            m.arrival = Arrival::restart;
            m.tick = 0;
            t.at = c;
            t.behind.reset();
            return m;
        }
        if (!ahead)
            ahead = search(t.stream, t.at, end, v, text);
        const std::uint32_t span = ahead ? ahead->tick - last + 1 : BEHIND_WINDOW;
        if (std::optional<std::uint32_t> behind = search_behind(t, last, span, v, text)) {
            m.arrival = Arrival::duplicate;
            m.tick = *behind;
            return m;
        }
    }
    if (!ahead)
        return place_altered(t, last, end, text);
    m.arrival = ahead->tick == last + 1 ? Arrival::next : Arrival::after_loss;
    m.tick = ahead->tick;
    m.lost = ahead->tick - last - 1;
    t.at = ahead->after;
    return m;
}

// With extents, the ticks before a station's first message and after its last are lost, and a
// station with no message is missing (and all its ticks lost).
template <class Rng> void ArrivalMatcher<Rng>::finish(const Found &found) {
    for (Entry *e : table_.planned()) {
        StationFigures &f = e->figures;
        const auto lose = [&](std::uint32_t first, std::uint32_t last) {
            Matched m;
            m.arrival = Arrival::lost;
            m.tick = last + 1;
            m.lost = last - first + 1;
            count_placement(f, m);
            found(f.name, m);
        };
        this->found_missing(*e, found);
        if (!e->extent)
            continue;
        if (!f.started) {
            lose(e->extent->first_tick, e->extent->last_tick);
            continue;
        }
        if (f.first_tick > e->extent->first_tick)
            lose(e->extent->first_tick, f.first_tick - 1);
        if (f.last_tick < e->extent->last_tick)
            lose(f.last_tick + 1, e->extent->last_tick);
    }
}

} // namespace

std::unique_ptr<PlanMatcher> make_plan_matcher(const Plan &plan, const MatchOptions &options) {
    if (options.any_order)
        return make_any_order_matcher(plan, options.extents);
    if (plan.rand == RandKind::glibc)
        return std::make_unique<ArrivalMatcher<GlibcRand>>(plan, options.extents);
    return std::make_unique<ArrivalMatcher<MsvcrtRand>>(plan, options.extents);
}

} // namespace vandry::receiver

#include "receiver/any_order.h"

#include "receiver/station_table.h"

#include <algorithm>
#include <deque>
#include <unordered_map>

namespace vandry::receiver {

namespace {

// Texts kept in blocks that never move, so that a row's view of its text stays valid.
class TextArena {
  public:
    std::string_view keep(std::string_view text) {
        if (blocks_.empty() || blocks_.back().capacity() - blocks_.back().size() < text.size()) {
            blocks_.emplace_back();
            blocks_.back().reserve(std::max(BLOCK, text.size()));
        }
        std::string &block = blocks_.back();
        const std::size_t at = block.size();
        block.append(text);
        return {block.data() + at, text.size()};
    }

  private:
    static constexpr std::size_t BLOCK = std::size_t{1} << 20;
    std::deque<std::string> blocks_;
};

struct Row {
    std::uint64_t hash;
    std::string_view text;
    Layout layout;
};

// A station's rows, kept until every row is in.
struct HeldRows {
    std::vector<Row> rows;
    std::array<std::uint32_t, 4> layouts{}; // rows of each layout
};

// One text among a station's rows: how many rows hold it, how many of them are not placed yet,
// and whether (and first where) the stream holds it.
struct Record {
    std::string_view text;
    Layout layout = Layout::short_record;
    std::uint32_t rows = 0, unplaced = 0;
    bool in_stream = false;
    std::uint32_t first_tick = 0;
};

struct Altered {
    std::string_view text;
    Layout layout;
};

// A station's placements, in the order of their ticks once sorted.
struct Placements {
    std::vector<std::uint32_t> placed; // ticks that a row is, rising
    std::vector<Matched> others;       // duplicates and altered rows
    std::optional<Extent> span;        // where a tick that no row holds is lost
};

// The layout that most of a station's rows have (the plan's, when it names one): one layout for
// any order of the rows.
Layout layout_of_rows(const HeldRows &held, int data_type) {
    if (data_type != 0)
        return layout_of(data_type);
    std::size_t most = 1;
    for (std::size_t layout = 2; layout < held.layouts.size(); ++layout)
        most = held.layouts[layout] > held.layouts[most] ? layout : most;
    return static_cast<Layout>(most);
}

template <class Rng> class AnyOrderMatcher final : public TableMatcher<HeldRows> {
  public:
    AnyOrderMatcher(const Plan &plan, const Extents *extents)
        : TableMatcher(plan, extents), data_type_(plan.data_type) {}

    Matched match(const Verdict &v, std::string_view text, long long /*now_ms*/) override {
        auto *e = table_.find(v.station);
        if (e == nullptr)
            return table_.unknown(v.station);
        ++e->figures.messages;
        if (!e->track)
            e->track = std::make_unique<HeldRows>();
        e->track->rows.push_back({hash_of(text), arena_.keep(text), v.layout});
        ++e->track->layouts[static_cast<std::size_t>(v.layout)];
        Matched m;
        m.arrival = Arrival::held;
        return m;
    }

    void finish(const Found &found) override {
        for (Entry *e : table_.planned()) {
            found_missing(*e, found);
            Placements p = e->track ? place_station(*e) : Placements{};
            if (!e->track)
                p.span = e->extent;
            emit(e->figures, p, found);
            e->track.reset();
        }
    }

    [[nodiscard]] unsigned long long placed_behind() const override { return 0; }

  private:
    Placements place_station(const Entry &e);
    static std::vector<std::uint32_t> follow(PlannedStream<Rng> &stream,
                                             std::unordered_map<std::uint64_t, Record> &records,
                                             std::uint64_t unplaced,
                                             const std::optional<Extent> &extent);
    static void place_altered(PlannedStream<Rng> &stream, std::vector<Altered> altered,
                              Placements *p);
    static void emit(StationFigures &f, const Placements &p, const Found &found);

    TextArena arena_;
    int data_type_;
};

// Follows the stream from tick 0: each tick takes a row that is its text while one is left.
// Until the extent's end, then until ANY_ORDER_GAP ticks in a row take none.
template <class Rng>
std::vector<std::uint32_t>
AnyOrderMatcher<Rng>::follow(PlannedStream<Rng> &stream,
                             std::unordered_map<std::uint64_t, Record> &records,
                             std::uint64_t unplaced, const std::optional<Extent> &extent) {
    std::vector<std::uint32_t> placed;
    const std::uint64_t end = extent ? std::uint64_t{extent->last_tick} + 1 : 0;
    Cursor<Rng> c = stream.start();
    std::uint32_t gap = 0;
    while (((unplaced > 0 && gap < ANY_ORDER_GAP) || c.next_tick < end) &&
           c.next_tick < 0xffffffffU) {
        const std::uint32_t tick = c.next_tick;
        const std::string_view text = stream.text(c);
        const auto found = records.find(hash_of(text));
        if (found != records.end() && found->second.text == text) {
            Record &r = found->second;
            if (!r.in_stream)
                r.first_tick = tick;
            r.in_stream = true;
            if (r.unplaced > 0) {
                --r.unplaced;
                --unplaced;
                placed.push_back(tick);
                gap = 0;
                continue;
            }
        }
        ++gap;
    }
    return placed;
}

template <class Rng> Placements AnyOrderMatcher<Rng>::place_station(const Entry &e) {
    const HeldRows &held = *e.track;
    PlannedStream<Rng> stream(e.seed, e.figures.name, layout_of_rows(held, data_type_));
    std::unordered_map<std::uint64_t, Record> records;
    records.reserve(held.rows.size());
    std::vector<Altered> altered;
    for (const Row &row : held.rows) {
        Record &r = records[row.hash];
        if (r.rows > 0 && r.text != row.text) { // two texts of one hash: the second is kept apart
            altered.push_back({row.text, row.layout});
            continue;
        }
        r.text = row.text;
        r.layout = row.layout;
        ++r.rows;
        ++r.unplaced;
    }
    Placements p;
    p.placed = follow(stream, records, held.rows.size() - altered.size(), e.extent);
    for (const auto &[hash, r] : records)
        for (std::uint32_t copy = 0; copy < r.unplaced; ++copy) {
            if (!r.in_stream) {
                altered.push_back({r.text, r.layout});
                continue;
            }
            Matched m;
            m.arrival = Arrival::duplicate;
            m.tick = m.previous = r.first_tick;
            p.others.push_back(std::move(m));
        }
    if (e.extent)
        p.span = e.extent;
    else if (!p.placed.empty())
        p.span = Extent{p.placed.front(), p.placed.back()};
    if (!altered.empty())
        place_altered(stream, std::move(altered), &p);
    return p;
}

// The ticks that altered rows may take: the missing ticks of the span, the earliest first (at
// most MAX_ALTERED_PLACES), then those after every placed one, so that each row has one.
std::vector<std::uint32_t> places_for(const Placements &p, std::size_t rows) {
    std::vector<std::uint32_t> places;
    std::uint64_t top = 0;
    if (p.span) {
        std::uint64_t next = p.span->first_tick;
        auto placed = std::lower_bound(p.placed.begin(), p.placed.end(), p.span->first_tick);
        while (next <= p.span->last_tick && places.size() < MAX_ALTERED_PLACES) {
            const std::uint64_t until =
                placed != p.placed.end()
                    ? std::min<std::uint64_t>(*placed, p.span->last_tick + 1ULL)
                    : p.span->last_tick + 1ULL;
            for (; next < until && places.size() < MAX_ALTERED_PLACES; ++next)
                places.push_back(static_cast<std::uint32_t>(next));
            if (placed == p.placed.end())
                break;
            next = std::uint64_t{*placed++} + 1;
        }
        top = p.span->last_tick + 1ULL;
    }
    if (!p.placed.empty())
        top = std::max<std::uint64_t>(top, p.placed.back() + 1ULL);
    while (places.size() < rows && top < 0xffffffffU)
        places.push_back(static_cast<std::uint32_t>(top++));
    return places;
}

// Each altered row, in the order of their texts, takes the free place from which it differs in
// the fewest fields (the earliest of those); a row of another layout takes the first free one.
template <class Rng>
void AnyOrderMatcher<Rng>::place_altered(PlannedStream<Rng> &stream, std::vector<Altered> altered,
                                         Placements *p) {
    std::sort(altered.begin(), altered.end(),
              [](const Altered &a, const Altered &b) { return a.text < b.text; });
    const std::vector<std::uint32_t> places = places_for(*p, altered.size());
    std::vector<std::string> texts;
    Cursor<Rng> c = stream.start();
    for (const std::uint32_t tick : places) {
        stream.pass_to(c, tick);
        texts.emplace_back(stream.text(c));
    }
    const std::size_t name = stream.name().size() + 1;
    std::vector<bool> taken(places.size());
    for (const Altered &a : altered) {
        std::size_t best = places.size();
        Difference chosen;
        for (std::size_t j = 0; j < places.size() && (best == places.size() || chosen.fields > 1);
             ++j) {
            if (taken[j])
                continue;
            if (a.layout != stream.layout()) {
                best = j;
                break;
            }
            Difference d = differ(std::string_view(texts[j]).substr(name),
                                  a.text.substr(std::min(name, a.text.size())), stream.layout());
            if (best == places.size() || d.fields < chosen.fields) {
                best = j;
                chosen = std::move(d);
            }
        }
        if (best == places.size())
            break; // no tick is left for it
        taken[best] = true;
        Matched m;
        m.arrival = Arrival::altered;
        m.tick = places[best];
        const bool layout = a.layout != stream.layout();
        m.field = layout ? "layout" : field_name(stream.layout(), chosen.first);
        m.expected = layout ? layout_name(stream.layout()) : std::move(chosen.expected);
        m.got = layout ? layout_name(a.layout) : std::move(chosen.got);
        p->others.push_back(std::move(m));
    }
}

// Hands a station's placements to found in the order of their ticks, with the ticks of the span
// that no row holds as losses, and counts them.
template <class Rng>
void AnyOrderMatcher<Rng>::emit(StationFigures &f, const Placements &p, const Found &found) {
    std::vector<const Matched *> others;
    for (const Matched &m : p.others)
        others.push_back(&m);
    std::stable_sort(others.begin(), others.end(), [](const Matched *a, const Matched *b) {
        return a->tick != b->tick ? a->tick < b->tick : a->arrival == Arrival::altered;
    });
    std::uint64_t expected = p.span ? p.span->first_tick : 0;
    const auto lose_until = [&](std::uint64_t tick) { // the span's ticks before tick are lost
        const std::uint64_t end =
            p.span ? std::min<std::uint64_t>(tick, p.span->last_tick + 1ULL) : 0;
        if (end > expected) {
            Matched m;
            m.arrival = Arrival::lost;
            m.tick = static_cast<std::uint32_t>(end);
            m.lost = static_cast<std::uint32_t>(end - expected);
            count_placement(f, m);
            found(f.name, m);
        }
        expected = std::max(expected, tick + 1);
    };
    auto next = p.placed.begin();
    auto other = others.begin();
    while (next != p.placed.end() || other != others.end()) {
        const bool placed = next != p.placed.end() &&
                            (other == others.end() || *next < (*other)->tick ||
                             (*next == (*other)->tick && (*other)->arrival == Arrival::duplicate));
        const Matched *m = nullptr;
        Matched at;
        if (placed) {
            at.tick = *next++;
            m = &at;
        } else {
            m = *other++;
        }
        if (m->arrival != Arrival::duplicate)
            lose_until(m->tick);
        count_placement(f, *m);
        if (!placed)
            found(f.name, *m);
    }
    if (p.span)
        lose_until(std::uint64_t{p.span->last_tick} + 1);
}

template <class Rng> std::unique_ptr<PlanMatcher> make(const Plan &plan, const Extents *extents) {
    return std::make_unique<AnyOrderMatcher<Rng>>(plan, extents);
}

} // namespace

std::unique_ptr<PlanMatcher> make_any_order_matcher(const Plan &plan, const Extents *extents) {
    if (plan.rand == RandKind::glibc)
        return make<GlibcRand>(plan, extents);
    return make<MsvcrtRand>(plan, extents);
}

} // namespace vandry::receiver

// The stations that a matcher knows: the planned ones by name, each with its figures, its
// extent and the track that the matcher keeps for it once it has sent, and the unknown ones
// (at most MAX_UNKNOWN_NAMES by name, so that no sender can grow the table without bound).
#ifndef VANDRY_RECEIVER_STATION_TABLE_H
#define VANDRY_RECEIVER_STATION_TABLE_H

#include "receiver/plan_match.h"

#include <map>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

namespace vandry::receiver {

template <class Track> class StationTable {
  public:
    struct Entry {
        unsigned seed = 0;
        StationFigures figures;
        std::optional<Extent> extent;
        bool wrote_nothing = false; // a fleet's report says so: no message is expected
        std::unique_ptr<Track> track;
    };

    StationTable(const Plan &plan, const Extents *extents) {
        stations_.reserve(plan.stations.size());
        for (const PlannedStation &s : plan.stations) {
            Entry &e = stations_[s.name];
            e.seed = s.seed;
            e.figures.name = s.name;
            e.figures.planned = true;
            if (extents != nullptr) {
                e.extent = extents->of(s.name);
                e.wrote_nothing = extents->wrote_nothing(s.name);
            }
            order_.push_back(&e);
        }
    }

    Entry *find(const std::string &station) {
        const auto found = stations_.find(station);
        return found == stations_.end() ? nullptr : &found->second;
    }

    Matched unknown(const std::string &station) {
        Matched m;
        m.arrival = Arrival::unknown;
        auto known = unknown_.find(station);
        if (known == unknown_.end() && unknown_.size() >= MAX_UNKNOWN_NAMES) {
            ++unnamed_messages_;
            return m;
        }
        m.first = known == unknown_.end();
        if (m.first)
            known = unknown_.emplace(station, StationFigures{}).first;
        known->second.name = station;
        ++known->second.messages;
        return m;
    }

    void for_each(const std::function<void(const StationFigures &)> &visit) const {
        for (const Entry *e : order_)
            visit(e->figures);
        for (const auto &u : unknown_)
            visit(u.second);
    }

    [[nodiscard]] const std::vector<Entry *> &planned() const { return order_; }
    [[nodiscard]] unsigned long long unknown_stations() const { return unknown_.size(); }
    [[nodiscard]] unsigned long long unnamed_messages() const { return unnamed_messages_; }

  private:
    std::unordered_map<std::string, Entry> stations_;
    std::vector<Entry *> order_;
    std::map<std::string, StationFigures> unknown_;
    unsigned long long unnamed_messages_ = 0;
};

// What every matcher answers from its station table: the stations' figures, the unknown
// stations and the missing ones.
template <class Track> class TableMatcher : public PlanMatcher {
  public:
    TableMatcher(const Plan &plan, const Extents *extents) : table_(plan, extents) {}

    void for_each(const std::function<void(const StationFigures &)> &visit) const override {
        table_.for_each(visit);
    }
    [[nodiscard]] unsigned long long unknown_stations() const override {
        return table_.unknown_stations();
    }
    [[nodiscard]] unsigned long long unknown_unnamed_messages() const override {
        return table_.unnamed_messages();
    }
    [[nodiscard]] unsigned long long missing_stations() const override { return missing_; }

  protected:
    using Entry = typename StationTable<Track>::Entry;

    // A planned station with no message at all, though its unit may have sent some, is
    // counted and handed to found.
    void found_missing(const Entry &e, const Found &found) {
        if (e.figures.messages > 0 || e.wrote_nothing)
            return;
        ++missing_;
        Matched m;
        m.arrival = Arrival::missing;
        found(e.figures.name, m);
    }

    StationTable<Track> table_;

  private:
    unsigned long long missing_ = 0;
};

// Counts what a placement did to its station's figures.
inline void count_placement(StationFigures &f, const Matched &m) {
    f.lost += m.lost;
    f.duplicated += m.arrival == Arrival::duplicate ? 1 : 0;
    f.altered += m.arrival == Arrival::altered ? 1 : 0;
    f.restarts += m.arrival == Arrival::restart ? 1 : 0;
    if (m.arrival == Arrival::duplicate || m.arrival == Arrival::lost)
        return;
    if (!f.started || m.tick < f.first_tick)
        f.first_tick = m.tick;
    f.started = true;
    f.last_tick = m.tick;
}

} // namespace vandry::receiver

#endif

#include "receiver/sequences.h"

namespace vandry::receiver {

Observation SequenceTracker::observe(const std::string &station, int sequence,
                                     bool new_connection) {
    constexpr int SEQUENCE_COUNT = 16;
    const auto [it, first] = stations_.try_emplace(station);
    Station &s = it->second;
    StationFigures &f = s.figures;
    ++f.messages;
    Observation o;
    const int previous = s.last;
    s.last = sequence;
    if (first) {
        f.name = station;
        return o;
    }
    const int expected = (previous + 1) % SEQUENCE_COUNT;
    if (sequence == previous) {
        o.duplicate = true;
        ++f.duplicated;
    } else if (new_connection && sequence == 0) {
        o.restart = true;
        ++f.restarts;
    } else if (sequence != expected) {
        o.gap = Gap{expected, sequence, (sequence - expected + SEQUENCE_COUNT) % SEQUENCE_COUNT};
        f.lost += static_cast<unsigned long long>(o.gap->lost);
    }
    return o;
}

void SequenceTracker::for_each(const std::function<void(const StationFigures &)> &visit) const {
    for (const auto &s : stations_)
        visit(s.second.figures);
}

} // namespace vandry::receiver

// Following each station's sequence numbers (0 to 15, then 0 again) when no plan says which
// tick each message is: loss is then counted modulo 16, and may be more.
#ifndef VANDRY_RECEIVER_SEQUENCES_H
#define VANDRY_RECEIVER_SEQUENCES_H

#include "receiver/plan_match.h"

#include <functional>
#include <map>
#include <optional>
#include <string>

namespace vandry::receiver {

// A station's first message sets its start; a repeat of the number just seen is a duplicate,
// no gap; a new connection that begins at 0 is a restart, not a loss.
struct Gap {
    int expected;
    int got;
    int lost; // (got - expected) mod 16
};

struct Observation {
    std::optional<Gap> gap;
    bool duplicate = false;
    bool restart = false;
};

class SequenceTracker {
  public:
    Observation observe(const std::string &station, int sequence, bool new_connection);
    // Every station seen, in name order; no ticks are known.
    void for_each(const std::function<void(const StationFigures &)> &visit) const;

  private:
    struct Station {
        int last = 0;
        StationFigures figures;
    };
    std::map<std::string, Station> stations_;
};

} // namespace vandry::receiver

#endif

// The fleet's report for scripts: one JSON object with the run's figures, written when the run
// ends.
#ifndef VANDRY_FLEET_REPORT_H
#define VANDRY_FLEET_REPORT_H

#include "options.h"
#include "stats.h"

#include <ostream>

namespace vandry::fleet {

// The report: units, written, unconfirmed, failed, expected (the messages that the schedule
// holds until the end), connect failures, skipped slots, lateness, per kind of failure its count
// and the first one's line and reason, and stations: each unit's name, the first and last tick
// of the messages that it wrote whole, how many and how many of them unconfirmed. Written as a
// stream: a fleet may have a million units.
void write_fleet_report(std::ostream &out, const FleetResult &r, const FleetOptions &o);

} // namespace vandry::fleet

#endif

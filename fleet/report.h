// The fleet's report for scripts: one JSON object with the run's figures, written when the run
// ends.
#ifndef VANDRY_FLEET_REPORT_H
#define VANDRY_FLEET_REPORT_H

#include "fleet/options.h"
#include "fleet/stats.h"

#include <ostream>

namespace vandry::fleet {

// Writes the report: units, written, unconfirmed, failed, skipped, held, unsent, expected (the
// slots that the schedule holds until the end), connect failures, lateness, per kind of failure
// its count and the first one's line and reason, and then "stations": each unit's name, the
// ticks of its first and last message written whole (null when none), written and unconfirmed.
// The stations go out one by one, so that a fleet of any size needs no document of them all.
void write_fleet_report(std::ostream &out, const FleetResult &r, const FleetOptions &o);

} // namespace vandry::fleet

#endif

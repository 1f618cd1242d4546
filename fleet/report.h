// The fleet's report for scripts: one JSON object with the run's figures, written when the run
// ends.
#ifndef VANDRY_FLEET_REPORT_H
#define VANDRY_FLEET_REPORT_H

#include "stats.h"

#include <string>

namespace vandry::fleet {

// The report's text: units, written, unconfirmed, failed, expected (the messages that the
// schedule holds until the end), connect failures, skipped slots, lateness, and per kind of
// failure its count and the first one's line and reason.
std::string fleet_report(const FleetResult &r);

} // namespace vandry::fleet

#endif

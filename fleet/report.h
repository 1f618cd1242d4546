// The fleet's report for scripts: one JSON object with the run's figures, written when the run
// ends.
#ifndef VANDRY_FLEET_REPORT_H
#define VANDRY_FLEET_REPORT_H

#include "fleet/options.h"
#include "fleet/stats.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <functional>
#include <ostream>
#include <string>

namespace vandry::fleet {

using ReportJson = nlohmann::ordered_json;

// Writes the report: units, written, unconfirmed, failed, skipped, held, unsent, expected (the
// slots that the schedule holds until the end), connect failures, lateness, per kind of failure
// its count and the first one's line and reason, with TLS "tls" (handshakes full and resumed,
// failures by reason), "plan" (plan_json), "lateness"
// (lateness_json), and then "stations": each unit's name, the ticks of its first and last
// message written whole (null when none), written and unconfirmed. The stations go out one by
// one, so that a fleet of any size needs no document of them all.
void write_fleet_report(std::ostream &out, const FleetResult &r, const FleetOptions &o);

// What makes the units' messages what they are: {"type", "interval_ms", "seed", "name_prefix",
// "first_unit", "units", "rand", "count" (0: no limit), "faults" (as given, or null),
// "fault_seed" (or null)}.
ReportJson plan_json(const FleetOptions &o);

// The histogram exactly: {"count", "max_us", "buckets": [[low_us, count], ...]}.
ReportJson lateness_json(const LatenessHistogram &h);

// Milliseconds to the microsecond, as the report gives them: the histogram is no finer.
double report_ms(double ms);

// Writes head (an object without "stations"), its "lateness" on one line at the end, and then
// "stations", one station a line: station_text(k) is the k-th's JSON text.
void write_report_layout(std::ostream &out, const ReportJson &head, std::size_t stations,
                         const std::function<std::string(std::size_t)> &station_text);

} // namespace vandry::fleet

#endif

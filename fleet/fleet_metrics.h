// The fleet's figures for scrapers: what the status line and the report count, as Prometheus
// families without per-unit labels, and the buckets of the send lateness.
#ifndef VANDRY_FLEET_FLEET_METRICS_H
#define VANDRY_FLEET_FLEET_METRICS_H

#include "metrics/exposition.h"

#include <string>

namespace vandry::fleet {

struct FleetFigures;

// An empty histogram of send lateness in seconds, 100 us to 60 s.
metrics::Histogram lateness_seconds_histogram();

// The exposition text of the figures and the lateness.
std::string fleet_metrics_text(const FleetFigures &f, const metrics::Histogram &lateness);

} // namespace vandry::fleet

#endif

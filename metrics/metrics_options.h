// --metrics [ADDR:]PORT and --metrics-linger SECONDS, shared by the fleet and the receiver:
// where the endpoint listens and how long it serves the final figures after the run.
#ifndef VANDRY_METRICS_METRICS_OPTIONS_H
#define VANDRY_METRICS_METRICS_OPTIONS_H

#include "core/command_line.h"

#include <string>
#include <vector>

namespace vandry::metrics {

struct MetricsOptions {
    bool on = false;
    std::string address = "127.0.0.1";
    unsigned short port = 0; // 0: a free port
    long long linger_s = 0;  // after the run, the final figures are served this long
};

// "[ADDR:]PORT" (ADDR numeric, IPv6 in brackets) into out; the reason it is refused, or empty.
std::string parse_metrics_address(const std::string &text, MetricsOptions *out);

// The two options, for a program's table; --metrics refuses to be given twice.
std::vector<Option> metrics_options(MetricsOptions &o);

// --help's lines on the endpoint's limits.
extern const char METRICS_NOTES[];

} // namespace vandry::metrics

#endif

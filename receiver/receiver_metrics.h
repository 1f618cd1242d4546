// The receiver's figures for scrapers: connections, bytes, messages and the check's findings
// as Prometheus families; at the end, the same figures as the report's.
#ifndef VANDRY_RECEIVER_RECEIVER_METRICS_H
#define VANDRY_RECEIVER_RECEIVER_METRICS_H

#include "receiver/fault_explain.h"
#include "receiver/message_log.h"

#include <string>

namespace vandry::receiver {

// explained: the findings held against the fault log, once read; none before or without one.
std::string receiver_metrics_text(const MessageLog &log, const Explained *explained);

} // namespace vandry::receiver

#endif

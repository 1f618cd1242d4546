// The receiver's report for scripts: one JSON object with the run's figures and every
// station's, written when the run ends.
#ifndef VANDRY_CHECK_RECEIVER_REPORT_H
#define VANDRY_CHECK_RECEIVER_REPORT_H

#include "fault_explain.h"
#include "message_log.h"

#include <string>

namespace vandry::check {

// The report's text (pretty-printed JSON, bytes of station names that are no UTF-8 replaced);
// with a fault log, what was injected and what is unexplained.
std::string receiver_report(const MessageLog &log, const Explained *explained);

// Writes text to the file; false, said on standard error, when it cannot be written.
bool write_report(const std::string &path, const std::string &text);

} // namespace vandry::check

#endif

// The receiver's reports for scripts and CI, written as streams when the run ends (a plan may
// name a million stations): one JSON object with the run's figures, every station's and every
// finding; and JUnit XML, a test case per planned station.
#ifndef VANDRY_RECEIVER_RECEIVER_REPORT_H
#define VANDRY_RECEIVER_RECEIVER_REPORT_H

#include "receiver/extent.h"
#include "receiver/fault_explain.h"
#include "receiver/message_log.h"

#include <ostream>
#include <string>

namespace vandry::receiver {

struct RunOutcome {
    const MessageLog &log;
    const Explained *explained; // none: no fault log
    const Extents *extents;     // none: no fleets' reports
    bool clean;
};

// The JSON report (station names' bytes that are no UTF-8 replaced).
void write_receiver_report(std::ostream &out, const RunOutcome &run);

// JUnit XML: a test case per planned station, failing on its unexplained findings, and one each
// for unknown stations and malformed messages.
void write_junit(std::ostream &out, const RunOutcome &run);

// Writes a report to the file; false, said on standard error, when it cannot be written.
bool write_report_file(const std::string &path, const RunOutcome &run,
                       void (*write)(std::ostream &, const RunOutcome &));

} // namespace vandry::receiver

#endif

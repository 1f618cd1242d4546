// Holding what a receiver found against the faults that the units injected (their fault log),
// so that every finding is either explained by a fault or unexplained: did the collector lose or
// change anything that the units did not break themselves?
#ifndef VANDRY_RECEIVER_FAULT_EXPLAIN_H
#define VANDRY_RECEIVER_FAULT_EXPLAIN_H

#include "core/faults.h"
#include "receiver/extent.h"
#include "receiver/findings.h"

#include <array>
#include <string>
#include <unordered_map>

namespace vandry::receiver {

struct Explained {
    std::array<unsigned long long, FAULT_KINDS> injected{}; // by kind, from the log
    unsigned long long unconfirmed = 0;                     // rows of UNCONFIRMED_KIND
    unsigned long long unexplained_lost = 0, unexplained_duplicated = 0, unexplained_altered = 0,
                       unexplained_incomplete = 0, unexplained_findings = 0;
    std::string error; // the log cannot be read, or does not belong to the run
    [[nodiscard]] bool clean() const { return error.empty() && unexplained_findings == 0; }
};

// Where each planned station's messages were placed, first to last tick.
using PlacedTicks = std::unordered_map<std::string, Extent>;

// Marks every finding with what explains it, from the fault log's text (its header, then
// time,station,tick,kind,detail), splitting a finding where that changes: a lost tick is
// explained by a drop, a cut or an unconfirmed row at it, a duplicate by a duplicate, an altered
// message by a garble, incomplete fragments by cuts. A tick with an injected duplicate is
// expected twice: when one copy arrived and the other did not, that copy is a loss of its own.
// A log that claims drops at ticks that arrived belongs to another run: it explains nothing.
Explained explain(Findings &findings, const PlacedTicks &placed, const std::string &log_text);

// The same, reading the log from its file.
Explained explain_from_file(Findings &findings, const PlacedTicks &placed, const std::string &path);

} // namespace vandry::receiver

#endif

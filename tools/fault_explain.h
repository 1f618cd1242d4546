// Holding what a receiver saw against the faults that the units injected (their fault log), so
// that every loss, duplicate and alteration is either injected or unexplained: did the collector
// lose or change anything that the units did not break themselves?
#ifndef VANDRY_CHECK_FAULT_EXPLAIN_H
#define VANDRY_CHECK_FAULT_EXPLAIN_H

#include "faults.h"
#include "message_log.h"

#include <array>
#include <string>
#include <vector>

namespace vandry::check {

struct Explained {
    std::array<unsigned long long, FAULT_KINDS> injected{}; // by kind, from the log
    unsigned long long unexplained_lost = 0, unexplained_duplicated = 0, unexplained_altered = 0,
                       unexplained_incomplete = 0;
    std::string error; // the log cannot be read
    [[nodiscard]] bool clean() const {
        return error.empty() && unexplained_lost == 0 && unexplained_duplicated == 0 &&
               unexplained_altered == 0 && unexplained_incomplete == 0;
    }
};

// The events against the fault log's text (its header, then time,station,tick,kind,detail):
// a lost tick is explained by a drop or a cut at it, a duplicate by a duplicate, an altered
// message by a garble; incomplete fragments by cuts.
Explained explain(const std::vector<Event> &events, unsigned long long incomplete,
                  const std::string &log_text);

// The same, reading the log from its file.
Explained explain_from_file(const std::vector<Event> &events, unsigned long long incomplete,
                            const std::string &path);

} // namespace vandry::check

#endif

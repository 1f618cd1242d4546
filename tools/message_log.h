// Where every message goes, from a connection or a recording: checked, counted, printed,
// followed per station, and written to the CSV file if there is one.
#ifndef VANDRY_CHECK_MESSAGE_LOG_H
#define VANDRY_CHECK_MESSAGE_LOG_H

#include "framing.h"
#include "message_check.h"
#include "record_csv.h"
#include "sequences.h"

#include <string>

namespace vandry::check {

struct Totals {
    unsigned long long connections = 0; // accepted in all
    unsigned long long open = 0;
    unsigned long long messages = 0;
    unsigned long long malformed = 0;
    unsigned long long gaps = 0;
    unsigned long long lost = 0;
};

// "1 message", "2 messages"
std::string counted(unsigned long long n, const char *thing);

class MessageLog {
  public:
    MessageLog(bool quiet, CsvFile *csv) : quiet_(quiet), csv_(csv) {}

    // Handles one message that arrived on connection (0: read from a recording) from peer;
    // returns whether it is well formed. time: of its arrival, empty for a recording.
    bool handle(unsigned long long connection, const std::string &peer, const Message &m,
                const std::string &time);

    Totals &totals() { return totals_; }
    // False once a row could not be written: the recording is incomplete.
    [[nodiscard]] bool csv_ok() const { return csv_ == nullptr || csv_->ok(); }

  private:
    void write_row(unsigned long long connection, const Verdict &v, const Message &m,
                   const std::string &time);

    // With --quiet, the first lines of each kind are still shown, so that a user sees what is
    // wrong; the rest are counted only.
    bool shown_when_quiet(unsigned long long count, const char *what) const;

    bool quiet_;
    CsvFile *csv_;
    Totals totals_;
    SequenceTracker sequences_;
};

} // namespace vandry::check

#endif

// Where every message goes, from a connection or a recording: checked, counted, printed, placed
// in its station's stream (by its tick with a plan, by its sequence number without), and written
// to the CSV file if there is one.
#ifndef VANDRY_CHECK_MESSAGE_LOG_H
#define VANDRY_CHECK_MESSAGE_LOG_H

#include "framing.h"
#include "message_check.h"
#include "plan_match.h"
#include "record_csv.h"
#include "sequences.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vandry::check {

struct Totals {
    unsigned long long connections = 0; // accepted in all
    unsigned long long open = 0;
    unsigned long long messages = 0;
    unsigned long long malformed = 0;
    unsigned long long gaps = 0; // without a plan
    unsigned long long lost = 0;
    unsigned long long duplicated = 0;
    unsigned long long altered = 0;
    unsigned long long restarts = 0;
    unsigned long long incomplete = 0; // fragments that a reset cut short
};

// A loss, duplicate or alteration the log saw, by station and tick, to be held against the
// faults that were injected.
struct Event {
    enum class Kind { lost, duplicated, altered } kind;
    std::string station;
    std::uint32_t first_tick, last_tick;
};

// Where a message came from.
struct Source {
    unsigned long long connection = 0; // 0: read from a recording
    std::string peer;                  // the peer's address, or the recording's name
    std::string time;                  // of its arrival; empty for a recording
    bool new_connection = false;       // the first message of its connection
};

// "1 message", "2 messages"
std::string counted(unsigned long long n, const char *thing);

class MessageLog {
  public:
    // plan: none, or the plan whose stations' streams every message is placed in.
    MessageLog(bool quiet, CsvFile *csv, const Plan *plan);

    // Handles one message; returns whether it is well formed.
    bool handle(const Source &from, const Message &m);
    // What a reset left of a connection: true, counted as an incomplete fragment, when it is no
    // well-formed message (which the caller then handles as one).
    bool fragment(const Source &from, const Message &m);
    // Keeps every loss, duplicate and alteration for explain().
    void keep_events() { keep_events_ = true; }
    [[nodiscard]] const std::vector<Event> &events() const { return events_; }

    Totals &totals() { return totals_; }
    [[nodiscard]] const Totals &totals() const { return totals_; }
    // False once a row could not be written: the recording is incomplete.
    [[nodiscard]] bool csv_ok() const { return csv_ == nullptr || csv_->ok(); }
    [[nodiscard]] bool planned() const { return matcher_ != nullptr; }
    [[nodiscard]] unsigned long long unknown_stations() const;
    // Every station, with a plan every planned one, then those seen.
    void for_each_station(const std::function<void(const StationFigures &)> &visit) const;
    // The figures of a closing line: "5 messages, 1 malformed, 2 lost, ...".
    [[nodiscard]] std::string figures_text() const;
    // Nothing lost, altered or malformed.
    [[nodiscard]] bool clean() const;

  private:
    // With --quiet, the first lines of each kind are still shown, so that a user sees what is
    // wrong; the rest are counted only.
    bool shown_when_quiet(unsigned long long *count, const char *what) const;
    std::string place(const std::string &where, const Source &from, const Verdict &v,
                      const Message &m, std::string *tick);
    std::string place_by_tick(const std::string &where, const Verdict &v, const Message &m,
                              std::string *tick);
    std::string place_by_sequence(const std::string &where, const Source &from, const Verdict &v);

    void note(Event::Kind kind, const std::string &station, std::uint32_t first,
              std::uint32_t last);

    bool quiet_;
    CsvFile *csv_;
    bool keep_events_ = false;
    std::vector<Event> events_;
    std::unique_ptr<PlanMatcher> matcher_;
    Totals totals_;
    SequenceTracker sequences_;
    // Lines of each kind shown so far (of --quiet's first ten).
    unsigned long long shown_malformed_ = 0, shown_gaps_ = 0, shown_lost_ = 0,
                       shown_duplicates_ = 0, shown_altered_ = 0, shown_restarts_ = 0,
                       shown_unknown_ = 0, shown_incomplete_ = 0;
};

} // namespace vandry::check

#endif

// Where every message goes, from a connection or a recording: checked, counted, printed, placed
// in its station's stream (by its tick with a plan, by its sequence number without), and written
// to the CSV file if there is one.
#ifndef VANDRY_RECEIVER_MESSAGE_LOG_H
#define VANDRY_RECEIVER_MESSAGE_LOG_H

#include "receiver/fault_explain.h"
#include "receiver/findings.h"
#include "receiver/framing.h"
#include "receiver/message_check.h"
#include "receiver/plan_match.h"
#include "receiver/record_csv.h"
#include "receiver/sequences.h"
#include "tls/tls.h"

#include <array>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vandry::receiver {

// The handshakes of connections that speak TLS.
struct TlsTotals {
    bool on = false;                                // the connections speak TLS
    unsigned long long handshakes = 0, resumed = 0; // full ones, and resumed ones, as the fleet's
    std::array<unsigned long long, tls::FAILURE_KINDS> failures{}; // by tls::Failure
};

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
    unsigned long long incomplete = 0;      // fragments that a reset cut short
    unsigned long long bytes = 0;           // received on connections
    unsigned long long accept_failures = 0; // accepts that failed
    unsigned long long impostors = 0;       // messages of stations that their client may not send
    TlsTotals tls;
};

// Where a message came from.
struct Source {
    unsigned long long connection = 0; // 0: read from a recording
    std::string peer;                  // the peer's address, or the recording's name
    std::string time;                  // of its arrival; empty for a recording
    bool new_connection = false;       // the first message of its connection
    bool stored = false;               // a row of a collector's store: its framing is not known
    long long arrived_ms = -1;         // steady time of its arrival; negative: read from a file
    // With client certificates: the names of the client's, the stations that it may send.
    const std::vector<std::string> *names = nullptr;
};

struct LogOptions {
    bool quiet = false;
    bool only_unexplained = false; // no line per message or finding while the run goes on
    CsvFile *csv = nullptr;        // none: no CSV file
    const Plan *plan = nullptr;    // none, or the plan whose stations' streams messages are in
    MatchOptions match;            // with a plan, how messages are placed
    bool identities = false;       // clients' certificates name their stations: impostors count
};

// "1 message", "2 messages"
std::string counted(unsigned long long n, const char *thing);

class MessageLog {
  public:
    explicit MessageLog(const LogOptions &options);

    // Handles one message; returns whether it is well formed.
    bool handle(const Source &from, const Message &m);
    // What a reset left of a connection: true, counted as an incomplete fragment, when it is no
    // well-formed message (which the caller then handles as one).
    bool fragment(const Source &from, const Message &m);
    // The run has ended: what only its end can tell is found (losses at the ends of the
    // extents, missing and unknown stations, the placements of any order). where names the
    // recording, or is empty.
    void finish(const std::string &where);
    Findings &findings() { return findings_; }
    [[nodiscard]] const Findings &findings() const { return findings_; }
    // Where each planned station's messages were placed, first to last tick.
    [[nodiscard]] PlacedTicks placed_ticks() const;

    Totals &totals() { return totals_; }
    [[nodiscard]] const Totals &totals() const { return totals_; }
    // False once a row could not be written: the recording is incomplete.
    [[nodiscard]] bool csv_ok() const { return csv_ == nullptr || csv_->ok(); }
    [[nodiscard]] bool planned() const { return matcher_ != nullptr; }
    // Clients' certificates name their stations.
    [[nodiscard]] bool identities() const { return identities_; }
    [[nodiscard]] unsigned long long unknown_stations() const;
    [[nodiscard]] unsigned long long missing_stations() const;
    // Messages of unknown stations beyond the names kept.
    [[nodiscard]] unsigned long long unknown_unnamed_messages() const;
    // Every station, with a plan every planned one, then those seen.
    void for_each_station(const std::function<void(const StationFigures &)> &visit) const;
    // The figures of a closing line: "5 messages, 1 malformed, 2 lost, ...".
    [[nodiscard]] std::string figures_text() const;
    [[nodiscard]] std::string written_text() const;
    // With TLS: "; TLS: 5 handshakes (1 resumed), 2 failures (1 not_tls, 1 timed_out)".
    [[nodiscard]] std::string tls_text() const;
    // Nothing lost, altered or malformed, no station missing and no impostor.
    [[nodiscard]] bool clean() const;

  private:
    // With --quiet, the first lines of each kind are still shown, so that a user sees what is
    // wrong; the rest are counted only.
    bool shown_when_quiet(unsigned long long *count, const char *what) const;
    std::string place(const std::string &where, const Source &from, const Verdict &v,
                      const Message &m, std::string *tick);
    std::string place_by_tick(const std::string &where, const Source &from, const Verdict &v,
                              const Message &m, std::string *tick);
    // Counts and says what a placement found, and keeps it; returns what the CSV row's check
    // column says of it.
    std::string found(const std::string &where, const std::string &station, const Matched &t);
    void find(FindingKind kind, const std::string &station, std::uint32_t first, std::uint32_t last,
              unsigned long long count);
    std::string found_altered(const std::string &where, const std::string &station,
                              const Matched &t, const std::string &check);
    std::string place_by_sequence(const std::string &where, const Source &from, const Verdict &v);
    // A message of a station that its client's certificate does not name: counted and found,
    // never placed as that station's.
    std::string impostor(const std::string &where, const Source &from, const Verdict &v);

    bool quiet_;
    bool only_unexplained_;
    bool any_order_;
    bool identities_;
    const Extents *extents_;
    CsvFile *csv_;
    Findings findings_;
    std::unique_ptr<PlanMatcher> matcher_;
    Totals totals_;
    SequenceTracker sequences_;
    // Lines of each kind shown so far (of --quiet's first ten).
    unsigned long long shown_malformed_ = 0, shown_gaps_ = 0, shown_lost_ = 0,
                       shown_duplicates_ = 0, shown_altered_ = 0, shown_restarts_ = 0,
                       shown_unknown_ = 0, shown_incomplete_ = 0, shown_missing_ = 0,
                       shown_impostors_ = 0;
};

} // namespace vandry::receiver

#endif

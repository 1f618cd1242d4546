// What the fleet counts: messages, failures and how late each send started against its schedule.
#ifndef VANDRY_FLEET_STATS_H
#define VANDRY_FLEET_STATS_H

#include "core/faults.h"
#include "metrics/exposition.h"
#include "tls/tls.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vandry::fleet {

// Send lateness in microseconds, in log-scaled buckets (32 per octave, so within about 3%),
// exact below 32 us; a fixed size whatever the number of samples.
class LatenessHistogram {
  public:
    void add(long long us);
    void clear();
    void merge(const LatenessHistogram &other);
    [[nodiscard]] std::uint64_t count() const { return count_; }
    // The q-quantile (0 < q <= 1) in milliseconds, the middle of its bucket but never above the
    // largest sample; 0 without samples.
    [[nodiscard]] double quantile_ms(double q) const;
    [[nodiscard]] double max_ms() const { return static_cast<double>(max_us_) / 1000.0; }
    [[nodiscard]] std::uint64_t max_us() const { return max_us_; }
    // The buckets that hold samples, lowest first: each one's low bound in us and its count.
    // Adding them back (add_to_bucket, raise_max) gives this histogram again, exactly.
    [[nodiscard]] std::vector<std::pair<std::uint64_t, std::uint64_t>> buckets() const;
    // Adds count samples to the bucket whose low bound is low_us; false when none begins there.
    bool add_to_bucket(std::uint64_t low_us, std::uint64_t count);
    // The largest sample becomes us when that is larger.
    void raise_max(std::uint64_t us) { max_us_ = std::max(max_us_, us); }

  private:
    static constexpr int SUB_BITS = 5, SUB = 1 << SUB_BITS, OCTAVES = 40;
    static int bucket_of(std::uint64_t us);
    static std::uint64_t bucket_low(int bucket);
    std::array<std::uint64_t, static_cast<size_t>(SUB *(OCTAVES + 1))> buckets_{};
    std::uint64_t count_ = 0, max_us_ = 0;
};

// What can go wrong for a unit, each counted and its first occurrence kept with its reason; a
// TLS handshake's failures follow, one kind for each of their reasons.
enum class Failure {
    resolve,
    socket,
    bind,
    connect,
    send,
    reset,
    ended,
    tls_first,
    count = tls_first + static_cast<int>(tls::FAILURE_KINDS)
};

inline Failure tls_failure(tls::Failure reason) {
    return static_cast<Failure>(static_cast<int>(Failure::tls_first) + static_cast<int>(reason));
}

// "connect failure", "connection reset", ..., "TLS handshake failure (expired)"
const char *failure_name(Failure kind);

struct FleetFigures {
    long long units = 0;
    long long connected = 0; // connections standing now
    long long written = 0;   // messages handed whole to the kernel
    long long written_last_second = 0;
    long long unconfirmed = 0;      // written on a connection that then ended in a reset
    long long failed = 0;           // composed (their tick used up) but never written whole
    long long connect_failures = 0; // passes that ended before a connection stood
    long long connects = 0;         // connections that stood
    long long skipped = 0; // slots that passed without a message: a stall, a pause, a silence
    long long held = 0;    // slots that passed while the connect-rate cap held the unit back
    long long unsent = 0;  // slots whose message was not written at all when its connection
                           // failed or the run ended
    long long waiting = 0; // units waiting now for the connect-rate cap
    bool faulting = false; // field faults are injected
    bool tls = false;      // the units speak TLS
    long long tls_full = 0, tls_resumed = 0; // handshakes that finished, full or resumed
    long long faults_last_second = 0;
    std::array<long long, FAULT_KINDS> faults{}; // injected, by kind
    std::array<long long, static_cast<std::size_t>(Failure::count)> failures{};
    // The first failure of each kind: its console line and reason.
    std::array<std::string, static_cast<std::size_t>(Failure::count)> first_failure;
};

// A unit's messages written whole: the ticks of the first and last (none when written is 0),
// and how many were written on a connection that then failed.
struct StationFigures {
    std::uint32_t first_tick = 0, last_tick = 0, written = 0, unconfirmed = 0;
};

// How a run ended, with the figures for the summary.
struct FleetResult {
    FleetFigures figures;
    std::vector<StationFigures> stations; // in the units' order
    LatenessHistogram lateness;
    metrics::Histogram lateness_seconds; // the same sends in the scrapers' buckets
    double seconds = 0;
    // The slots that the schedule holds: each unit's from its first until the end (or, with a
    // count, until it sent its count); written + failed + skipped + held + unsent + the faults
    // that write no message whole (drop, cut).
    long long expected = 0;
    bool complete = false; // every unit sent what it should, and nothing failed
};

// The line of a second, without a line end: "fleet: t=12s units=... connected=... written/s=...
// written=... unconfirmed=... failed=... connect_failures=... skipped=... held=... unsent=...
// waiting=... late_ms p50=0.31 p99=4.12 max=12.05".
std::string status_line(long long seconds, const FleetFigures &f, const LatenessHistogram &h);

// The same within 80 columns, for a terminal.
std::string terminal_status_line(long long seconds, const FleetFigures &f,
                                 const LatenessHistogram &h);

// "fleet summary: duration=60.0s units=... connected=... written=... unconfirmed=... failed=...
// expected=... connect_failures=... skipped=... held=... unsent=... late_ms p50=... p99=...
// max=...\n", then a line for the first failure of each kind that happened.
std::string summary_line(double seconds, const FleetFigures &f, long long expected,
                         const LatenessHistogram &h);

} // namespace vandry::fleet

#endif

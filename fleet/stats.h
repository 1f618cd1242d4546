// What the fleet counts: messages, failures and how late each send started against its schedule.
#ifndef VANDRY_FLEET_STATS_H
#define VANDRY_FLEET_STATS_H

#include <array>
#include <cstdint>
#include <string>

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

  private:
    static constexpr int SUB_BITS = 5, SUB = 1 << SUB_BITS, OCTAVES = 40;
    static int bucket_of(std::uint64_t us);
    static std::uint64_t bucket_low(int bucket);
    std::array<std::uint64_t, static_cast<size_t>(SUB *(OCTAVES + 1))> buckets_{};
    std::uint64_t count_ = 0, max_us_ = 0;
};

struct FleetFigures {
    long long units = 0, connected = 0, sent = 0, sent_last_second = 0, send_errors = 0,
              connect_failures = 0;
};

// "fleet: t=12s units=... connected=... sent/s=... sent=... send_errors=... connect_failures=...
// late_ms p50=0.31 p99=4.12 max=12.05", without a line end.
std::string status_line(long long seconds, const FleetFigures &f, const LatenessHistogram &h);

// "fleet summary: duration=60.0s units=... connected=... sent=... expected=... send_errors=...
// connect_failures=... late_ms p50=... p99=... max=...\n"
std::string summary_line(double seconds, const FleetFigures &f, long long expected,
                         const LatenessHistogram &h);

} // namespace vandry::fleet

#endif

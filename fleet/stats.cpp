#include "fleet/stats.h"

#include "core/fixed_point.h"

#include <algorithm>
#include <cmath>

namespace vandry::fleet {

namespace {

std::string fixed(double value, int precision) {
    char text[FIXED_MAX + 1];
    format_fixed(text, static_cast<float>(value), 0, precision);
    return text;
}

std::string lateness_text(const LatenessHistogram &h) {
    return " late_ms p50=" + fixed(h.quantile_ms(0.5), 2) +
           " p99=" + fixed(h.quantile_ms(0.99), 2) + " max=" + fixed(h.max_ms(), 2);
}

} // namespace

int LatenessHistogram::bucket_of(std::uint64_t us) {
    if (us < SUB)
        return static_cast<int>(us);
    int top = 63;
    while ((us >> top) == 0)
        --top;
    const int shift = top - SUB_BITS;
    const int bucket = (shift + 1) * SUB + static_cast<int>((us >> shift) - SUB);
    return std::min(bucket, SUB * (OCTAVES + 1) - 1);
}

std::uint64_t LatenessHistogram::bucket_low(int bucket) {
    if (bucket < SUB)
        return static_cast<std::uint64_t>(bucket);
    const int shift = bucket / SUB - 1;
    return static_cast<std::uint64_t>(SUB + bucket % SUB) << shift;
}

void LatenessHistogram::add(long long us) {
    const std::uint64_t value = us > 0 ? static_cast<std::uint64_t>(us) : 0;
    ++buckets_[static_cast<size_t>(bucket_of(value))];
    ++count_;
    max_us_ = std::max(max_us_, value);
}

void LatenessHistogram::clear() {
    buckets_.fill(0);
    count_ = 0;
    max_us_ = 0;
}

void LatenessHistogram::merge(const LatenessHistogram &other) {
    for (size_t i = 0; i < buckets_.size(); ++i)
        buckets_[i] += other.buckets_[i];
    count_ += other.count_;
    max_us_ = std::max(max_us_, other.max_us_);
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> LatenessHistogram::buckets() const {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> held;
    for (size_t i = 0; i < buckets_.size(); ++i)
        if (buckets_[i] != 0)
            held.emplace_back(bucket_low(static_cast<int>(i)), buckets_[i]);
    return held;
}

bool LatenessHistogram::add_to_bucket(std::uint64_t low_us, std::uint64_t count) {
    const int bucket = bucket_of(low_us);
    if (bucket_low(bucket) != low_us)
        return false;
    buckets_[static_cast<size_t>(bucket)] += count;
    count_ += count;
    return true;
}

double LatenessHistogram::quantile_ms(double q) const {
    if (count_ == 0)
        return 0;
    const auto rank = static_cast<std::uint64_t>(std::ceil(q * static_cast<double>(count_)));
    std::uint64_t seen = 0;
    for (size_t i = 0; i < buckets_.size(); ++i) {
        seen += buckets_[i];
        if (seen >= rank && buckets_[i] != 0) {
            const auto bucket = static_cast<int>(i);
            const std::uint64_t low = bucket_low(bucket);
            const std::uint64_t width = bucket < SUB ? 1 : bucket_low(bucket + 1) - low;
            const double middle = static_cast<double>(low) + static_cast<double>(width - 1) / 2;
            return std::min(middle, static_cast<double>(max_us_)) / 1000.0;
        }
    }
    return max_ms();
}

const char *failure_name(Failure kind) {
    static const char *const NAMES[] = {"resolve failure",
                                        "socket failure",
                                        "bind failure",
                                        "connect failure",
                                        "send failure",
                                        "connection reset",
                                        "connection ended by the server"};
    static const std::array<std::string, tls::FAILURE_KINDS> TLS_NAMES = [] {
        std::array<std::string, tls::FAILURE_KINDS> names;
        for (std::size_t k = 0; k < names.size(); ++k)
            names[k] = std::string("TLS handshake failure (") +
                       tls::failure_name(static_cast<tls::Failure>(k)) + ")";
        return names;
    }();
    const auto k = static_cast<std::size_t>(kind);
    const auto first_tls = static_cast<std::size_t>(Failure::tls_first);
    return k < first_tls ? NAMES[k] : TLS_NAMES[k - first_tls].c_str();
}

namespace {

// Full and resumed handshakes, when the units speak TLS.
std::string tls_figures(const FleetFigures &f) {
    return f.tls ? " tls=" + std::to_string(f.tls_full) + "/" + std::to_string(f.tls_resumed)
                 : std::string();
}

} // namespace

std::string status_line(long long seconds, const FleetFigures &f, const LatenessHistogram &h) {
    return "fleet: t=" + std::to_string(seconds) + "s units=" + std::to_string(f.units) +
           " connected=" + std::to_string(f.connected) +
           " written/s=" + std::to_string(f.written_last_second) +
           " written=" + std::to_string(f.written) +
           " unconfirmed=" + std::to_string(f.unconfirmed) + " failed=" + std::to_string(f.failed) +
           " connect_failures=" + std::to_string(f.connect_failures) +
           " skipped=" + std::to_string(f.skipped) + " held=" + std::to_string(f.held) +
           " unsent=" + std::to_string(f.unsent) + " waiting=" + std::to_string(f.waiting) +
           (f.faulting ? " faults/s=" + std::to_string(f.faults_last_second) : std::string()) +
           tls_figures(f) + lateness_text(h);
}

std::string terminal_status_line(long long seconds, const FleetFigures &f,
                                 const LatenessHistogram &h) {
    std::string line = "t=" + std::to_string(seconds) + "s conn=" + std::to_string(f.connected) +
                       "/" + std::to_string(f.units) + " " + std::to_string(f.written_last_second) +
                       "/s written=" + std::to_string(f.written) +
                       " failures=" + std::to_string(f.unconfirmed + f.failed + f.connect_failures);
    if (f.waiting > 0)
        line += " waiting=" + std::to_string(f.waiting);
    if (f.faulting)
        line += " faults/s=" + std::to_string(f.faults_last_second);
    line += tls_figures(f);
    line += " p99=" + fixed(h.quantile_ms(0.99), 1) + "ms";
    constexpr std::size_t COLUMNS = 79; // the cursor stays on the line
    if (line.size() > COLUMNS)
        line.resize(COLUMNS);
    return line;
}

std::string summary_line(double seconds, const FleetFigures &f, long long expected,
                         const LatenessHistogram &h) {
    std::string text =
        "fleet summary: duration=" + fixed(seconds, 1) + "s units=" + std::to_string(f.units) +
        " connected=" + std::to_string(f.connected) + " written=" + std::to_string(f.written) +
        " unconfirmed=" + std::to_string(f.unconfirmed) + " failed=" + std::to_string(f.failed) +
        " expected=" + std::to_string(expected) +
        " connect_failures=" + std::to_string(f.connect_failures) +
        " skipped=" + std::to_string(f.skipped) + " held=" + std::to_string(f.held) +
        " unsent=" + std::to_string(f.unsent) + tls_figures(f) + lateness_text(h) + "\n";
    for (std::size_t kind = 0; kind < f.first_failure.size(); ++kind)
        if (!f.first_failure[kind].empty())
            text += "  first " + std::string(failure_name(static_cast<Failure>(kind))) + " (of " +
                    std::to_string(f.failures[kind]) + "): " + f.first_failure[kind] + "\n";
    return text;
}

} // namespace vandry::fleet

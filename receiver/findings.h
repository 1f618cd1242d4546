// What a check found, finding by finding: each loss (consecutive lost ticks make one), duplicate,
// altered message, incomplete fragment, missing station, unknown station and impostor, with what
// explains it once a fault log is read.
#ifndef VANDRY_RECEIVER_FINDINGS_H
#define VANDRY_RECEIVER_FINDINGS_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vandry::receiver {

enum class FindingKind : std::uint8_t {
    lost,
    duplicated,
    altered,
    incomplete,
    missing_station,
    unknown_station,
    impostor // a station's message from a client whose certificate does not name it
};
const char *finding_kind_name(FindingKind kind); // "lost", ..., "unknown_station", "impostor"

struct Finding {
    std::string station;
    FindingKind kind = FindingKind::lost;
    bool has_ticks = false; // no ticks: an incomplete fragment, a missing or unknown station
    std::uint32_t first_tick = 0, last_tick = 0;
    unsigned long long count = 1;
    std::string explained_by;         // a fault log's kind; empty: unexplained
    std::string field, expected, got; // altered: the first field that differs
    std::string certificate;          // impostor: the name of the client's certificate
};

// "LOST: station U00001 ticks 3-5 (3 lost) [unexplained]"
std::string finding_line(const Finding &f, bool with_explanation);

// The findings of a run, in the order found; a loss or duplicate that follows its station's
// previous one tick by tick joins it, and so does an impostor its like. At most MAX_FINDINGS are
// kept: the rest are counted.
class Findings {
  public:
    static constexpr std::size_t MAX_FINDINGS = 1000000;

    void add(Finding f);
    [[nodiscard]] const std::vector<Finding> &all() const { return list_; }
    std::vector<Finding> &all() { return list_; }
    // Findings beyond MAX_FINDINGS, and what they counted.
    [[nodiscard]] unsigned long long left_off() const { return left_off_; }
    [[nodiscard]] unsigned long long left_off_count() const { return left_off_count_; }

  private:
    std::vector<Finding> list_;
    unsigned long long left_off_ = 0, left_off_count_ = 0;
};

} // namespace vandry::receiver

#endif

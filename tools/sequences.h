// Following each station's sequence numbers (0 to 15, then 0 again) when no plan says which
// tick each message is.
#ifndef VANDRY_CHECK_SEQUENCES_H
#define VANDRY_CHECK_SEQUENCES_H

#include <optional>
#include <string>
#include <unordered_map>

namespace vandry::check {

// Follows the sequence numbers (0 to 15, then 0 again) of every station, across its
// connections, so that a message lost between two that arrived shows. A station's first
// message sets its start; a repeat of the number just seen is no gap.
struct Gap {
    int expected;
    int got;
    int lost; // (got - expected) mod 16
};

class SequenceTracker {
  public:
    std::optional<Gap> observe(const std::string &station, int sequence);

  private:
    std::unordered_map<std::string, int> last_;
};

} // namespace vandry::check

#endif

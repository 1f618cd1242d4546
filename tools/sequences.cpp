#include "sequences.h"

#include <utility>

namespace vandry::check {

std::optional<Gap> SequenceTracker::observe(const std::string &station, int sequence) {
    constexpr int SEQUENCE_COUNT = 16;
    const auto [it, first] = last_.try_emplace(station, sequence);
    if (first)
        return std::nullopt;
    const int previous = std::exchange(it->second, sequence);
    const int expected = (previous + 1) % SEQUENCE_COUNT;
    if (sequence == previous || sequence == expected)
        return std::nullopt;
    return Gap{expected, sequence, (sequence - expected + SEQUENCE_COUNT) % SEQUENCE_COUNT};
}

} // namespace vandry::check

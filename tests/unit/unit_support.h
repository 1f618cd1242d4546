// Shared by the unit tests: tanks from given draws, and exact float comparison.
#ifndef VANDRY_UNIT_SUPPORT_H
#define VANDRY_UNIT_SUPPORT_H

#include "../support/test_tank.h"
#include "core/message.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <iomanip>
#include <string>
#include <tuple>
#include <vector>

using namespace vandry;

// The tank of the eight draws, in draw order.
inline Tank tank_of(const std::vector<int> &draws) {
    return tank_from_draws(draws.data());
}

// Field by field, the levels as 32-bit patterns: the struct's padding bytes are not its value.
inline bool same_tank(const Tank &a, const Tank &b) {
    const auto bits = [](float f) {
        std::uint32_t u;
        std::memcpy(&u, &f, sizeof u);
        return u;
    };
    const auto fields = [&bits](const Tank &k) {
        return std::make_tuple(bits(k.height), bits(k.empty_distance), bits(k.min_level),
                               bits(k.max_level), k.fill_ticks, k.high_ticks, k.fall_ticks,
                               k.low_ticks, k.cycle_ticks, k.latitude_hemisphere,
                               k.longitude_hemisphere);
    };
    return fields(a) == fields(b);
}

// Equal as 32-bit patterns: no tolerance, and 0.0 differs from -0.0.
inline testing::AssertionResult same(float actual, float expected) {
    if (std::memcmp(&actual, &expected, sizeof actual) == 0)
        return testing::AssertionSuccess();
    return testing::AssertionFailure()
           << std::setprecision(9) << actual << " (" << std::hexfloat << actual << ") is not "
           << std::defaultfloat << expected << " (" << std::hexfloat << expected << ")";
}

#endif

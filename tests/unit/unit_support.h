// Shared by the unit tests: tanks from given draws, and exact float comparison.
#ifndef VANDRY_UNIT_SUPPORT_H
#define VANDRY_UNIT_SUPPORT_H

#include "../support/test_tank.h"
#include "message.h"

#include <gtest/gtest.h>

#include <cstring>
#include <iomanip>
#include <string>
#include <vector>

using namespace vandry;

// The tank of the eight draws, in draw order.
inline Tank tank_of(const std::vector<int> &draws) {
    return tank_from_draws(draws.data());
}

inline bool same_tank(const Tank &a, const Tank &b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
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

// Shared by the unit tests: tanks from given draws or from a seed, and exact float comparison.
#ifndef VANDRY_UNIT_SUPPORT_H
#define VANDRY_UNIT_SUPPORT_H

#include "../support/test_tank.h"
#include "simulation.h"
#include "transmission.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <string>
#include <vector>

// The tank of the eight draws, in draw order, with its hemisphere letters.
inline tank_parms tank_of(const std::vector<int> &draws) {
    return tank_of(draws.data());
}

// The tank that get_tank_parms draws right after seeding; printed receives its console lines.
inline tank_parms seeded_tank(unsigned seed, std::string *printed = nullptr) {
    std::srand(seed);
    tank_parms k{};
    testing::internal::CaptureStdout();
    get_tank_parms(&k.tank_height, &k.emp, &k.min_level, &k.max_level, &k.n_fill, &k.n_high,
                   &k.n_fall, &k.n_low, &k.n_tot, k.lat, k.lon);
    const std::string out = testing::internal::GetCapturedStdout();
    if (printed != nullptr)
        *printed = out;
    return k;
}

inline bool same_tank(const tank_parms &a, const tank_parms &b) {
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

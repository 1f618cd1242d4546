// Tanks for tests and measurements, made from given draws instead of the random stream.
#ifndef VANDRY_TEST_TANK_H
#define VANDRY_TEST_TANK_H

#include "core/tank.h"

// The draws 4, 6, 4, 5, 9, 16, 56, 32: a tank 2.30 high whose level cycle lasts 122 ticks.
constexpr int EXAMPLE_DRAWS[vandry::TANK_DRAWS] = {4, 6, 4, 5, 9, 16, 56, 32};

#endif

// Tanks for tests and measurements, made from given draws instead of the random stream.
#ifndef VANDRY_TEST_TANK_H
#define VANDRY_TEST_TANK_H

#include "simulation.h"

#include <cstring>

// The draws 4, 6, 4, 5, 9, 16, 56, 32: a tank 2.30 high whose level cycle lasts 122 ticks.
constexpr int EXAMPLE_DRAWS[TANK_DRAWS] = {4, 6, 4, 5, 9, 16, 56, 32};

// The tank of the eight draws, in draw order, with its hemisphere letters.
inline tank_parms tank_of(const int draws[TANK_DRAWS]) {
    tank_parms tank{};
    tank_from_draws(draws, &tank.tank_height, &tank.emp, &tank.min_level, &tank.max_level,
                    &tank.n_fill, &tank.n_high, &tank.n_fall, &tank.n_low, &tank.n_tot);
    std::strcpy(tank.lat, "N");
    std::strcpy(tank.lon, "E");
    return tank;
}

// Telemetry as start-up leaves it: no message and no tick yet.
inline telemetry fresh_telemetry() {
    telemetry tm{};
    tm.sms_status = -1;
    return tm;
}

#endif

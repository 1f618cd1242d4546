// The simulated tank: drawn once from the unit's random stream and only read afterwards.
#ifndef VANDRY_CORE_TANK_H
#define VANDRY_CORE_TANK_H

#include "core/random.h"

#include <string>

namespace vandry {

struct Tank {
    float height;         // the highest max_level that can be drawn
    float empty_distance; // the distance reading of the empty tank: distance = this - level
    float min_level, max_level;
    int fill_ticks, high_ticks, fall_ticks, low_ticks, cycle_ticks; // the phases of one cycle
    char latitude_hemisphere, longitude_hemisphere;
};

// The tank that eight draws give, in draw order: height, sensor, low and high level (each 0 to
// 10), then fill (0 to 19), fall (0 to 39), high (0 to 99) and low (0 to 79) phase lengths.
constexpr int TANK_DRAWS = 8;
constexpr int TANK_DRAW_SIZES[TANK_DRAWS] = {11, 11, 11, 11, 20, 40, 100, 80};
Tank tank_from_draws(const int draws[TANK_DRAWS]);

// A unit's tank: the first eight draws of its stream.
template <class Rng> Tank draw_tank(Rng &rng) noexcept {
    int draws[TANK_DRAWS];
    for (int i = 0; i < TANK_DRAWS; ++i)
        draws[i] = draw(rng, TANK_DRAW_SIZES[i]);
    return tank_from_draws(draws);
}

// The two report lines that start-up prints for the tank, each followed by an empty line.
std::string tank_report(const Tank &tank);

} // namespace vandry

#endif

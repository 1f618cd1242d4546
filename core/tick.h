// One tick of the simulation: the level cycle (fill, high, fall, low) advances one position, the
// GPS drift one step, and three draws give the noise, supply voltage and signal strength.
#ifndef VANDRY_CORE_TICK_H
#define VANDRY_CORE_TICK_H

#include "core/random.h"
#include "core/tank.h"

namespace vandry {

// What runs on from tick to tick for the life of a unit, across reconnections.
struct Telemetry {
    int sequence;       // of the last message, 0 to 15; -1 before the first
    int cycle_position; // 1 to the tank's cycle_ticks; 0 before the first tick
    int drift_step;     // 1 to 20; 0 before the first tick
    float distance, level, d1, volume, temp1, temp2, vin, rssi;
};

// A unit's telemetry at start-up: no message and no tick yet.
constexpr Telemetry START_TELEMETRY = {-1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

// A tick's three draws, each 0 to TICK_DRAW_SIZE - 1, drawn in this order.
struct TickDraws {
    int level_noise, supply, signal;
};
constexpr int TICK_DRAW_SIZE = 51;

template <class Rng> TickDraws draw_tick(Rng &rng) noexcept {
    TickDraws draws{};
    draws.level_noise = draw(rng, TICK_DRAW_SIZE);
    draws.supply = draw(rng, TICK_DRAW_SIZE);
    draws.signal = draw(rng, TICK_DRAW_SIZE);
    return draws;
}

// One tick with its draws: advances the cycle position and the drift step and stores the eight
// sample values. The sequence number is left alone.
void advance_tick(TickDraws draws, const Tank &tank, Telemetry &tm);

// Only the cycle position and the drift step of a tick: the samples are made afresh on every
// tick from its draws and position, so a tick that is passed over needs nothing more.
void advance_position(const Tank &tank, Telemetry &tm);

// The supply voltage and the signal strength that a tick's draw gives.
float supply_of(int draw);
float signal_of(int draw);

// The position of a drift step (1 to 20) in the degrees-and-minutes form of a GLL sentence,
// through the float stores that make some longitudes shift visibly.
struct Position {
    int latitude_units; // the latitude in units of 0.00001', before the last store
    float latitude;
    int longitude_units;
    float longitude;
};
Position drift_position(int drift_step);

} // namespace vandry

#endif

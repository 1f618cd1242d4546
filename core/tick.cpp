#include "core/tick.h"

#include <cmath>

namespace vandry {

namespace {

// The level of the profile at a cycle position, before noise. Intermediates stay double; the
// level is a float store.
float profile_level(const Tank &tank, int position) {
    const float pi = 3.1415927410125732421875f;
    const float min_level = tank.min_level;
    const float max_level = tank.max_level;
    const double span = static_cast<double>(max_level) - static_cast<double>(min_level);
    const int fill = tank.fill_ticks, high = tank.high_ticks, fall = tank.fall_ticks;
    if (position <= fill) {
        const auto t = static_cast<float>(static_cast<double>(position - 1) / (fill - 1));
        const double s = std::sin((pi / 2.0) * t);
        return static_cast<float>(min_level + (s * s) * span);
    }
    if (position <= fill + high)
        return max_level;
    if (position <= fill + high + fall) {
        const auto t =
            static_cast<float>(static_cast<double>(position - fill - high - 1) / (fall - 1));
        const double s = std::sin((pi / 2.0) * t);
        return static_cast<float>(max_level - (s * s) * span);
    }
    return min_level;
}

} // namespace

void advance_position(const Tank &tank, Telemetry &tm) {
    tm.cycle_position = tm.cycle_position + 1 > tank.cycle_ticks ? 1 : tm.cycle_position + 1;
    tm.drift_step = tm.drift_step + 1 > 20 ? 1 : tm.drift_step + 1;
}

float supply_of(int draw) {
    return static_cast<float>(14.4 - 0.5 * (draw / 50.0));
}

float signal_of(int draw) {
    return static_cast<float>(25.0 * (draw / 50.0) + 2.0);
}

void advance_tick(TickDraws draws, const Tank &tank, Telemetry &tm) {
    const float pi = 3.1415927410125732421875f;
    advance_position(tank, tm);
    const int position = tm.cycle_position;

    const double profile = profile_level(tank, position);
    const auto level = static_cast<float>(profile + 0.02 * ((draws.level_noise / 50.0) * profile));
    tm.level = level;
    tm.distance = static_cast<float>(static_cast<double>(tank.empty_distance) - level);

    const float root = std::sqrt(level); // float overload: the single-precision root
    tm.d1 = static_cast<float>(200.0f * (static_cast<double>(root) * level));
    tm.volume = static_cast<float>(4000.0 * level);

    const auto t = static_cast<float>(static_cast<double>(position - 1) / (tank.cycle_ticks - 1));
    const double s = std::sin(static_cast<double>(pi) * t);
    tm.temp1 = static_cast<float>(5.0 * s + 25.0);
    tm.temp2 = static_cast<float>(7.5 * s + 30.0);

    tm.vin = supply_of(draws.supply);
    tm.rssi = signal_of(draws.signal);
}

Position drift_position(int drift_step) {
    // Stores 2 and 4 pass through float on purpose: the longitude visibly shifts at some steps.
    auto latitude = static_cast<float>(0.001 * drift_step + 1301.4718);
    latitude = static_cast<float>(100000.0 * latitude);
    const int latitude_units = static_cast<int>(std::roundf(latitude));
    auto longitude = static_cast<float>(0.002 * drift_step + 7740.3722);
    longitude = static_cast<float>(100000.0 * longitude);
    const int longitude_units = static_cast<int>(std::roundf(longitude));
    return {latitude_units, static_cast<float>(latitude_units / 100000.0), longitude_units,
            static_cast<float>(longitude_units / 100000.0)};
}

} // namespace vandry

#include "core/tank.h"

#include "core/fixed_point.h"

namespace vandry {

Tank tank_from_draws(const int draws[TANK_DRAWS]) {
    Tank tank{};
    tank.height = static_cast<float>(0.5 + 0.45 * draws[0]);
    tank.empty_distance = static_cast<float>((tank.height + 0.15) + 0.15 * (draws[1] / 10.0));
    tank.min_level = static_cast<float>(0.2 * (draws[2] / 10.0));
    tank.max_level = static_cast<float>(tank.height - 0.3 * (draws[3] / 10.0));
    tank.fill_ticks = draws[4] + 3;
    tank.fall_ticks = draws[5] + 4;
    tank.high_ticks = draws[6] + 1;
    tank.low_ticks = draws[7] + 1;
    tank.cycle_ticks = tank.fill_ticks + tank.high_ticks + tank.fall_ticks + tank.low_ticks;
    tank.latitude_hemisphere = 'N';
    tank.longitude_hemisphere = 'E';
    return tank;
}

namespace {

std::string fixed(float value) {
    char text[FIXED_MAX + 1];
    format_fixed(text, value, 4, 2);
    return text;
}

} // namespace

std::string tank_report(const Tank &tank) {
    return "tank_height=" + fixed(tank.height) + "   emp=" + fixed(tank.empty_distance) +
           "  min_level = " + fixed(tank.min_level) + "  max_level=" + fixed(tank.max_level) +
           "  \n\nn_fill=" + std::to_string(tank.fill_ticks) +
           "   n_fall = " + std::to_string(tank.fall_ticks) +
           "  n_high=" + std::to_string(tank.high_ticks) +
           "  n_low=" + std::to_string(tank.low_ticks) + "   \n\n";
}

} // namespace vandry

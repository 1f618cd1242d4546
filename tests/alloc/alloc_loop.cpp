// Runs N ticks and N keep-open messages of each layout, for counting the process's heap calls
// under valgrind: the total must not depend on N.
#include "simulation.h"
#include "transmission.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv) {
    const long n = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 10;
    static constexpr int DRAWS[TANK_DRAWS] = {4, 6, 4, 5, 9, 16, 56, 32};
    tank_parms tank{};
    tank_from_draws(DRAWS, &tank.tank_height, &tank.emp, &tank.min_level, &tank.max_level,
                    &tank.n_fill, &tank.n_high, &tank.n_fall, &tank.n_low, &tank.n_tot);
    std::strcpy(tank.lat, "N");
    std::strcpy(tank.lon, "E");
    telemetry tm{};
    tm.sms_status = -1;
    char sendbuf[LARGE_SIZE] = {};
    std::srand(7);
    unsigned long bytes = 0;
    for (long i = 0; i < n; ++i) {
        get_sms_data(&tm.run_indx, &tm.gps_indx, tank.tank_height, tank.emp, tank.min_level,
                     tank.max_level, tank.n_fill, tank.n_high, tank.n_fall, tank.n_low, tank.n_tot,
                     &tm.distance, &tm.level, &tm.d1, &tm.volume, &tm.temp1, &tm.temp2, &tm.vin,
                     &tm.rssi, &tm.sms_status, tm.midbufs, tm.midbufl, tm.midbuflg, tank.lat,
                     tank.lon);
        bytes += std::strlen(tm.midbuflg);
        for (const int code : {10, 20, 30})
            bytes += static_cast<unsigned long>(assemble_message(sendbuf, "s1", code, &tank, &tm));
    }
    std::printf("%ld ticks, %ld messages, %lu bytes\n", n, 3 * n, bytes);
    return 0;
}

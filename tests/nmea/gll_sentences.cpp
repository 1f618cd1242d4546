// Prints the GLL sentence of every GPS record of the first N ticks (default 100: five drift
// cycles), one per line ended by CR LF, as an NMEA 0183 receiver reads them.
#include "simulation.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv) {
    const long ticks = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 100;
    const unsigned seed = argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : 1;
    static constexpr int DRAWS[TANK_DRAWS] = {4, 6, 4, 5, 9, 16, 56, 32};
    tank_parms tank{};
    tank_from_draws(DRAWS, &tank.tank_height, &tank.emp, &tank.min_level, &tank.max_level,
                    &tank.n_fill, &tank.n_high, &tank.n_fall, &tank.n_low, &tank.n_tot);
    std::strcpy(tank.lat, "N");
    std::strcpy(tank.lon, "E");
    telemetry tm{};
    tm.sms_status = -1;
    std::srand(seed);
    for (long i = 0; i < ticks; ++i) {
        tm.sms_status = tm.sms_status >= 15 ? 0 : tm.sms_status + 1;
        get_sms_data(&tm.run_indx, &tm.gps_indx, tank.tank_height, tank.emp, tank.min_level,
                     tank.max_level, tank.n_fill, tank.n_high, tank.n_fall, tank.n_low, tank.n_tot,
                     &tm.distance, &tm.level, &tm.d1, &tm.volume, &tm.temp1, &tm.temp2, &tm.vin,
                     &tm.rssi, &tm.sms_status, tm.midbufs, tm.midbufl, tm.midbuflg, tank.lat,
                     tank.lon);
        const char *sentence = std::strstr(tm.midbuflg, ",$GPGLL,");
        const size_t len = std::strlen(tm.midbuflg);
        if (sentence == nullptr || len == 0 || tm.midbuflg[len - 1] != '\n') {
            std::fprintf(stderr, "tick %ld: no GLL sentence ending the GPS record: %s\n", i + 1,
                         tm.midbuflg);
            return 1;
        }
        ++sentence; // past the comma
        std::printf("%.*s\r\n", static_cast<int>(tm.midbuflg + len - 1 - sentence), sentence);
    }
    return 0;
}

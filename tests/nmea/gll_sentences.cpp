// Prints the GLL sentence of every GPS record of the first N ticks (default 100: five drift
// cycles), one per line ended by CR LF, as an NMEA 0183 receiver reads them.
#include "../support/test_tank.h"
#include "simulation.h"
#include "transmission.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv) {
    const long ticks = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 100;
    const unsigned seed = argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : 1;
    const tank_parms tank = tank_of(EXAMPLE_DRAWS);
    telemetry tm = fresh_telemetry();
    std::srand(seed);
    for (long i = 0; i < ticks; ++i) {
        tm.sms_status = next_sequence(tm.sms_status);
        unit_tick(randgen_tick_draws(), &tank, &tm);
        char gps[MAX_RECORD_LENGTH + 1];
        write_record(gps, 3, &tm, &tank);
        const char *sentence = std::strstr(gps, ",$GPGLL,");
        const size_t len = std::strlen(gps);
        if (sentence == nullptr || len == 0 || gps[len - 1] != '\n') {
            std::fprintf(stderr, "tick %ld: no GLL sentence ending the GPS record: %s\n", i + 1,
                         gps);
            return 1;
        }
        ++sentence; // past the comma
        std::printf("%.*s\r\n", static_cast<int>(gps + len - 1 - sentence), sentence);
    }
    return 0;
}

// Prints the GLL sentence of every GPS record of the first N ticks (default 100: five drift
// cycles), one per line ended by CR LF, as an NMEA 0183 receiver reads them.
#include "core/message.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv) {
    const long ticks = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 100;
    const unsigned seed = argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : 1;
    vandry::UnitStream<vandry::StdRand> unit(seed);
    for (long i = 0; i < ticks; ++i) {
        char gps[vandry::MAX_MESSAGE_LENGTH + 1];
        const int length = unit.next(gps, "st", 31);
        const char *sentence = std::strstr(gps, ",$GPGLL,");
        if (sentence == nullptr || length == 0 || gps[length - 1] != '\n') {
            std::fprintf(stderr, "tick %ld: no GLL sentence ending the GPS record: %s\n", i + 1,
                         gps);
            return 1;
        }
        ++sentence; // past the comma
        std::printf("%.*s\r\n", static_cast<int>(gps + length - 1 - sentence), sentence);
    }
    return 0;
}

// Runs N composed messages and N keep-open messages of each layout, for counting the process's heap
// calls under valgrind: the total must not depend on N.
#include "../support/test_tank.h"
#include "simulation.h"
#include "transmission.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv) {
    const long n = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 10;
    const tank_parms tank = tank_of(EXAMPLE_DRAWS);
    telemetry tm = fresh_telemetry();
    char sendbuf[LARGE_SIZE] = {};
    static record_buffers buffers;
    std::srand(7);
    unsigned long bytes = 0;
    for (long i = 0; i < n; ++i) {
        bytes += static_cast<unsigned long>(
            compose_message(sendbuf, "s1", 30, &tank, &tm, randgen_tick_draws()));
        for (const int code : {10, 20, 30})
            bytes += static_cast<unsigned long>(
                assemble_message(sendbuf, "s1", code, &tank, &tm, &buffers));
    }
    std::printf("%ld messages, %lu bytes\n", 4 * n, bytes);
    return 0;
}

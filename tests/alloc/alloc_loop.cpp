// Composes N messages of each layout, for counting the process's heap calls under valgrind: the
// total must not depend on N.
#include "core/message.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv) {
    const long n = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 10;
    vandry::UnitStream<vandry::StdRand> unit(7);
    char out[vandry::MAX_MESSAGE_LENGTH + 1] = {};
    unsigned long bytes = 0;
    for (long i = 0; i < n; ++i)
        for (const int code : {10, 21, 30, 31})
            bytes += static_cast<unsigned long>(unit.next(out, "s1", code));
    std::printf("%ld messages, %lu bytes\n", 4 * n, bytes);
    return 0;
}

// Built only for Windows and run under Wine: MsvcrtRand against the C runtime's own srand and
// rand over 1000 seeds of 1000 draws each. Exits 0 when every draw agrees, 1 at the first that
// does not; either way with one line saying so.
#include "core/random.h"

#include <cstdio>
#include <cstdlib>

int main() {
    constexpr unsigned SEEDS = 1000;
    constexpr int DRAWS = 1000;
    for (unsigned i = 0; i < SEEDS; ++i) {
        // Small seeds, seeds like the clock's, seeds at the top of the unsigned range.
        const unsigned seed = i < 400   ? i
                              : i < 700 ? 1765000000u + 7919u * i
                                        : 0xFFFFFFFFu - 104729u * (i - 700);
        std::srand(seed);
        vandry::MsvcrtRand rng(seed);
        for (int draw = 0; draw < DRAWS; ++draw) {
            const int want = std::rand();
            const int got = rng.next();
            if (got != want) {
                std::printf("crt_rand_check: FAILED: seed %u, draw %d: MsvcrtRand gives %d, "
                            "rand gives %d\n",
                            seed, draw, got, want);
                return 1;
            }
        }
    }
    std::printf("crt_rand_check: MsvcrtRand matches srand/rand for %u seeds x %d draws\n", SEEDS,
                DRAWS);
    return 0;
}

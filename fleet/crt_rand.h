// Per-unit random streams that reproduce a C runtime's srand(seed) followed by rand() calls
// exactly, without the process-wide state of std::rand: every fleet unit owns one.
#ifndef VANDRY_FLEET_CRT_RAND_H
#define VANDRY_FLEET_CRT_RAND_H

#include "simulation.h"

#include <cstdint>
#include <cstring>

// The GNU C library's rand: an additive lagged-Fibonacci generator over 31 words (lags 31 and 3)
// seeded by a Lehmer sequence (16807 modulo 2^31 - 1). The first 310 outputs are discarded;
// each output is the newest word shifted right by one.
class glibc_rand {
  public:
    explicit glibc_rand(unsigned seed) noexcept {
        // A seed of 0 would make the Lehmer sequence all zeros; the C library takes 1 instead.
        // The first word is the seed as a signed 32-bit value, negative from 2^31 up.
        std::int64_t word = seed == 0 ? 1 : static_cast<std::int32_t>(seed);
        words_[0] = static_cast<std::uint32_t>(word);
        for (int i = 1; i < WORDS; ++i) {
            // 16807 * word mod (2^31 - 1) without overflow (Schrage's method).
            const std::int64_t hi = word / 127773;
            const std::int64_t lo = word % 127773;
            word = 16807 * lo - 2836 * hi;
            if (word < 0)
                word += 2147483647;
            words_[i] = static_cast<std::uint32_t>(word);
        }
        for (int i = 0; i < DISCARDED; ++i)
            next();
    }

    // Like rand(): 0 to 2^31 - 1.
    int next() noexcept {
        words_[front_] += words_[rear_];
        const auto result = static_cast<int>(words_[front_] >> 1);
        front_ = static_cast<std::uint8_t>(front_ + 1 == WORDS ? 0 : front_ + 1);
        rear_ = static_cast<std::uint8_t>(rear_ + 1 == WORDS ? 0 : rear_ + 1);
        return result;
    }

  private:
    static constexpr int WORDS = 31;
    static constexpr int DISCARDED = 310;
    std::uint32_t words_[WORDS];
    std::uint8_t front_ = 3; // the newest word is the sum of the words 31 and 3 places back
    std::uint8_t rear_ = 0;
};

// The Windows C runtime's rand (msvcrt): a linear congruential generator over 32 bits whose
// output is bits 16 to 30 of the state.
class msvcrt_rand {
  public:
    explicit msvcrt_rand(unsigned seed) noexcept : state_(seed) {}

    // Like rand(): 0 to 32767.
    int next() noexcept {
        state_ = state_ * 214013u + 2531011u;
        return static_cast<int>((state_ >> 16) & 0x7FFFu);
    }

  private:
    std::uint32_t state_;
};

// A unit's tank from its generator: the eight draws of get_tank_parms, in its order.
template <class Rng> tank_parms draw_tank(Rng &rng) noexcept {
    int draws[TANK_DRAWS];
    for (int i = 0; i < TANK_DRAWS; ++i)
        draws[i] = rng.next() % TANK_DRAW_SIZES[i];
    tank_parms tank{};
    tank_from_draws(draws, &tank.tank_height, &tank.emp, &tank.min_level, &tank.max_level,
                    &tank.n_fill, &tank.n_high, &tank.n_fall, &tank.n_low, &tank.n_tot);
    std::memcpy(tank.lat, "N", 2);
    std::memcpy(tank.lon, "E", 2);
    return tank;
}

// A tick's three draws from a unit's generator, in the order of get_sms_data.
template <class Rng> tick_draws draw_tick(Rng &rng) noexcept {
    tick_draws draws{};
    draws.r1 = rng.next() % TICK_DRAW_SIZE;
    draws.r2 = rng.next() % TICK_DRAW_SIZE;
    draws.r3 = rng.next() % TICK_DRAW_SIZE;
    return draws;
}

#endif

// The random streams a unit draws from. GlibcRand and MsvcrtRand reproduce a C runtime's
// srand(seed) followed by rand() calls exactly, without the process-wide state of std::rand, so
// that every fleet unit (and every stream a checker regenerates) owns one. StdRand is the
// process's own std::rand, for the single unit.
#ifndef VANDRY_CORE_RANDOM_H
#define VANDRY_CORE_RANDOM_H

#include "platform/platform.h"

#include <cstdint>
#include <cstdlib>

namespace vandry {

// The GNU C library's rand: an additive lagged-Fibonacci generator over 31 words (lags 31 and 3)
// seeded by a Lehmer sequence (16807 modulo 2^31 - 1). The first 310 outputs are discarded;
// each output is the newest word shifted right by one.
class GlibcRand {
  public:
    explicit GlibcRand(unsigned seed) noexcept {
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
class MsvcrtRand {
  public:
    explicit MsvcrtRand(unsigned seed) noexcept : state_(seed) {}

    // Like rand(): 0 to 32767.
    int next() noexcept {
        state_ = state_ * 214013u + 2531011u;
        return static_cast<int>((state_ >> 16) & 0x7FFFu);
    }

  private:
    std::uint32_t state_;
};

// The process's std::rand: seeding one seeds the C runtime's one stream.
class StdRand {
  public:
    explicit StdRand(unsigned seed) noexcept { std::srand(seed); }
    // NOLINTNEXTLINE(readability-convert-member-functions-to-static): a stream's interface
    int next() noexcept { return std::rand(); }
};

// Which C runtime's rand a stream reproduces.
enum class RandKind { glibc, msvcrt };

// This build's own C runtime: the default of a fleet, and the one a seeded vandry follows.
constexpr RandKind NATIVE_RAND = platform::IS_WINDOWS ? RandKind::msvcrt : RandKind::glibc;

// One draw of a given size (at least 1): the remainder of exactly one value of the stream.
template <class Rng> int draw(Rng &rng, int size) noexcept {
    return rng.next() % size;
}

inline const char *rand_name(RandKind kind) {
    return kind == RandKind::glibc ? "glibc" : "msvcrt";
}

} // namespace vandry

#endif

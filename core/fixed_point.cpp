#include "core/fixed_point.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace vandry {

namespace {

constexpr std::uint32_t POW10[] = {1,      10,      100,      1000,      10000,
                                   100000, 1000000, 10000000, 100000000, 1000000000};
constexpr int MAX_PRECISION = 9;
constexpr int MAX_WIDTH = FIXED_MAX - 4;

// Writes the decimal digits of v (no terminator); returns the end.
char *put_digits(char *out, std::uint64_t v) {
    char tmp[20];
    int n = 0;
    do {
        tmp[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n > 0)
        *out++ = tmp[--n];
    return out;
}

// Decimal digits of a float that is a whole number of any size (up to about 3.4e38).
char *put_whole_float_digits(char *out, float a) {
    if (a < 18446744073709551616.0f)
        return put_digits(out, static_cast<std::uint64_t>(a));
    int exp = 0;
    const float mant = std::frexp(a, &exp); // a = mant * 2^exp, 0.5 <= mant < 1
    auto m = static_cast<std::uint32_t>(std::ldexp(mant, 24));
    exp -= 24;
    // Little-endian decimal digits, doubled exp times.
    unsigned char digits[48] = {};
    int count = 0;
    for (; m != 0; m /= 10)
        digits[count++] = static_cast<unsigned char>(m % 10);
    for (; exp > 0; --exp) {
        int carry = 0;
        for (int i = 0; i < count; ++i) {
            const int d = digits[i] * 2 + carry;
            digits[i] = static_cast<unsigned char>(d % 10);
            carry = d / 10;
        }
        if (carry != 0)
            digits[count++] = static_cast<unsigned char>(carry);
    }
    while (count > 0)
        *out++ = static_cast<char>('0' + digits[--count]);
    return out;
}

// Left-pads the text body[0..len) to width with fill, keeping a leading sign in front of zeros.
char *pad(char *out, const char *body, int len, int width, char fill) {
    int pad_count = width > len ? width - len : 0;
    if (fill == '0' && len > 0 && body[0] == '-') {
        *out++ = *body++;
        --len;
    }
    while (pad_count-- > 0)
        *out++ = fill;
    std::memcpy(out, body, static_cast<size_t>(len));
    out += len;
    *out = '\0';
    return out;
}

} // namespace

char *format_fixed(char *out, float value, int width, int precision, char fill) {
    precision = precision < 0 ? 0 : (precision > MAX_PRECISION ? MAX_PRECISION : precision);
    width = width < 0 ? 0 : (width > MAX_WIDTH ? MAX_WIDTH : width);
    char body[FIXED_MAX];
    char *p = body;
    if (std::signbit(value))
        *p++ = '-';
    const float a = std::fabs(value);
    if (std::isnan(a) || std::isinf(a)) {
        std::memcpy(p, std::isnan(a) ? "nan" : "inf", 3);
        return pad(out, body, static_cast<int>(p + 3 - body), width, ' ');
    }
    std::uint32_t frac = 0;
    if (a < 16777216.0f) {
        // A float has 24 significant bits and 10^p at most 5^9 * 2^9 (21 + 9 bits), so the
        // product is exact in double and so is the split into whole part and remainder.
        const double scaled = static_cast<double>(a) * POW10[precision];
        const double floor_scaled = std::floor(scaled);
        auto n = static_cast<std::uint64_t>(floor_scaled);
        if (scaled - floor_scaled >= 0.5)
            ++n;
        frac = static_cast<std::uint32_t>(n % POW10[precision]);
        p = put_digits(p, n / POW10[precision]);
    } else {
        // Floats from 2^24 up are whole numbers: the fraction digits are all zero.
        p = put_whole_float_digits(p, a);
    }
    if (precision > 0) {
        *p++ = '.';
        for (int i = precision - 1; i >= 0; --i) {
            p[i] = static_cast<char>('0' + frac % 10);
            frac /= 10;
        }
        p += precision;
    }
    return pad(out, body, static_cast<int>(p - body), width, fill);
}

char *format_int(char *out, int value) {
    auto magnitude = static_cast<std::uint64_t>(value < 0 ? -static_cast<std::int64_t>(value)
                                                          : static_cast<std::int64_t>(value));
    if (value < 0)
        *out++ = '-';
    out = put_digits(out, magnitude);
    *out = '\0';
    return out;
}

} // namespace vandry

// The C library's text of a float under "%<width>.<precision>f" as the fixed-point conversion
// must print it: the same for every value that is not an exact half, rounded away from zero for
// one that is. Shared by the unit tests and the fuzz target.
#ifndef VANDRY_PRINTF_REFERENCE_H
#define VANDRY_PRINTF_REFERENCE_H

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

// True when value * 10^precision lies exactly halfway between two integers. The product is exact
// in double below 2^24: 24 bits of mantissa times 5^p (at most 21 bits for p <= 9). From 2^24 up
// floats are whole; infinities and not-a-number are no ties.
inline bool is_exact_tie(float value, int precision) {
    const double a = std::fabs(static_cast<double>(value));
    if (!(a < 16777216.0))
        return false;
    const double scaled = a * std::pow(10.0, precision);
    return scaled - std::floor(scaled) == 0.5;
}

// snprintf's "%*.*f", or "%0*.*f" when fill is '0', of the value. printf is exact on a double but
// rounds ties to even; a tie moved one double step away from zero rounds the way it must, and is
// still far from the next rounding boundary.
inline std::string printf_reference(float value, int width, int precision, char fill) {
    double d = value;
    if (is_exact_tie(value, precision))
        d = std::nextafter(d, std::copysign(std::numeric_limits<double>::infinity(), d));
    const auto print = [&](char *out, std::size_t size) {
        return std::snprintf(out, size, fill == '0' ? "%0*.*f" : "%*.*f", width, precision, d);
    };
    std::vector<char> out(static_cast<std::size_t>(print(nullptr, 0)) + 1);
    print(out.data(), out.size());
    return out.data();
}

#endif

// Fixed-point conversion: halves away from zero, otherwise exactly what printf prints.
#include "../support/printf_reference.h"
#include "core/fixed_point.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

using namespace vandry;

namespace {

std::string fixed(float value, int width, int precision, char fill = ' ') {
    char out[FIXED_MAX + 1];
    const char *end = format_fixed(out, value, width, precision, fill);
    EXPECT_EQ(end, out + std::strlen(out));
    return out;
}

TEST(FormatFixed, RoundsHalvesAwayFromZeroAndFillsToTheWidth) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float below = std::nextafter(0.25f, 0.0f), above = std::nextafter(0.25f, 1.0f);
    // Per conversion: the values and their texts, joined by '|'.
    const struct {
        const char *conversion;
        std::vector<float> values;
        const char *texts;
    } groups[] = {
        // Exact halves away from zero, their neighbours to the nearest, carries, signed zeros.
        {"%.1f", {0.25f, -0.25f, below, above, -below}, "0.3|-0.3|0.2|0.3|-0.2"},
        {"%.1f", {9.96f, -9.96f, 0.0f, -0.0f, -0.04f}, "10.0|-10.0|0.0|-0.0|-0.0"},
        {"%.0f", {2.5f, -2.5f, 0.5f, std::nextafter(2.5f, 0.0f), 0.0f}, "3|-3|1|2|0"},
        {"%.2f", {0.125f, -0.125f, 0.9999999f}, "0.13|-0.13|1.00"},
        {"%.3f", {0.0625f, -0.0625f, std::nextafter(0.0625f, 0.0f)}, "0.063|-0.063|0.062"},
        {"%.3f", {999.9999f}, "1000.000"},
        {"%.4f", {7740.40625f, std::nextafter(7740.40625f, 0.0f)}, "7740.4063|7740.4058"},
        {"%10.4f", {7740.40625f}, " 7740.4063"},
        {"%010.4f", {7740.40625f, -7740.40625f}, "07740.4063|-7740.4063"},
        // Widths: blank fill, zero fill after the sign, wider values printed whole.
        {"%4.1f", {6.5f, 14.3999996f, 2303.5f, -0.0f}, " 6.5|14.4|2303.5|-0.0"},
        {"%5.1f", {23.5f, 0.0f, 99.96f, 20400.0f}, " 23.5|  0.0|100.0|20400.0"},
        {"%7.1f", {-7.5f, 7.5f}, "   -7.5|    7.5"},
        {"%07.1f", {-7.5f, 7.5f, -0.0f}, "-0007.5|00007.5|-0000.0"},
        {"%03.2f", {-12345.678f}, "-12345.68"},
        // Large values: whole numbers from 2^24 up, to the largest float.
        {"%.1f", {1e7f, 16777216.0f, 1e10f}, "10000000.0|16777216.0|10000000000.0"},
        {"%12.0f", {16777218.0f, 18446744073709551616.0f}, "    16777218|18446744073709551616"},
        {"%.1f", {-FLT_MAX}, "-340282346638528859811704183484516925440.0"},
        // Not numbers: blank fill even where zero fill is asked for.
        {"%05.1f", {inf, -inf, nan}, "  inf| -inf|  nan"},
    };
    for (const auto &g : groups) {
        char *end = nullptr;
        const char fill = g.conversion[1] == '0' ? '0' : ' ';
        const int width = static_cast<int>(std::strtol(g.conversion + 1, &end, 10));
        const int precision = static_cast<int>(std::strtol(end + 1, nullptr, 10));
        std::string texts;
        for (float value : g.values)
            texts += (texts.empty() ? "" : "|") + fixed(value, width, precision, fill);
        EXPECT_EQ(texts, g.texts) << g.conversion;
    }
}

TEST(FormatFixed, MatchesPrintfExceptOnTies) {
    std::mt19937 gen(12345);
    std::uniform_int_distribution<std::uint32_t> bits;
    std::uniform_int_distribution<int> exponent(-12, 40), width(0, 60), precision(0, 9);
    std::uniform_real_distribution<float> mantissa(-2.0f, 2.0f);
    int ties = 0;
    for (int i = 0; i < 300000; ++i) {
        float value = 0.0f;
        const int p = precision(gen);
        switch (i % 3) {
        case 0: { // any bit pattern: tiny, huge, subnormal, infinite or not a number
            const std::uint32_t u = bits(gen);
            std::memcpy(&value, &u, sizeof value);
            break;
        }
        case 1: // the magnitudes the records print
            value = std::ldexp(mantissa(gen), exponent(gen));
            break;
        default: // an exact tie at this precision: an odd multiple of 2^-(p + 1)
            value = std::ldexp(static_cast<float>(2 * (bits(gen) % (1u << 22)) + 1), -(p + 1));
            if (bits(gen) % 2 == 0)
                value = -value;
            break;
        }
        const int w = width(gen);
        const char fill = i % 2 == 0 ? ' ' : '0';
        ties += is_exact_tie(value, p);
        ASSERT_EQ(fixed(value, w, p, fill), printf_reference(value, w, p, fill))
            << std::hexfloat << value << " %" << (fill == '0' ? "0" : "") << w << "." << p << "f";
    }
    EXPECT_GT(ties, 90000);
}

} // namespace

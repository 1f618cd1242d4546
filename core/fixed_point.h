// Numbers as text for the records and the figures: fixed-point conversion that rounds exact
// halves away from zero with a full stop as separator, whatever the locale, and plain integers.
#ifndef VANDRY_CORE_FIXED_POINT_H
#define VANDRY_CORE_FIXED_POINT_H

namespace vandry {

// Fixed-point conversion of a float like "%<width>.<precision>f", but exact halves of the
// widened value round away from zero and the separator is always a full stop. fill is ' ' or
// '0'. Writes at most FIXED_MAX bytes plus a terminating zero; returns the pointer to that zero.
constexpr int FIXED_MAX = 64;
char *format_fixed(char *out, float value, int width, int precision, char fill = ' ');

// Decimal text of an int, terminated; returns the pointer to the terminating zero.
char *format_int(char *out, int value);

} // namespace vandry

#endif

// libFuzzer target over the fixed-point conversion. Input: 4 bytes of float bits, then width,
// precision and fill as one byte each (7 bytes; more are ignored). Checks the output bound
// FIXED_MAX and, for widths and precisions the conversion supports, compares the text with the
// C library's: equal for every value that is not an exact half, and for an exact half equal to
// the C library's text of the value moved one double step away from zero (rounded up).
#include "core/fixed_point.h"
#include "printf_reference.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

using namespace vandry;

namespace {

constexpr int MAX_PRECISION = 9;
constexpr int MAX_WIDTH = FIXED_MAX - 4;

[[noreturn]] void fail(const char *what, float value, int width, int precision, char fill,
                       const char *got, const char *want) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    std::fprintf(stderr,
                 "fuzz_format_fixed: %s\nvalue %.9g (bits 0x%08x) width %d precision %d fill "
                 "'%c'\ngot  \"%s\"\nwant \"%s\"\n",
                 what, static_cast<double>(value), static_cast<unsigned>(bits), width, precision,
                 fill, got, want != nullptr ? want : "");
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 7)
        return 0;
    float value = 0.0f;
    std::memcpy(&value, data, sizeof value);
    const int width = static_cast<signed char>(data[4]);
    const int precision = static_cast<signed char>(data[5]);
    const char fill = (data[6] & 1) != 0 ? '0' : ' ';

    // Exactly the documented room, on the heap so that AddressSanitizer sees one byte more.
    std::unique_ptr<char[]> out(new char[FIXED_MAX + 1]);
    std::memset(out.get(), 0x5a, FIXED_MAX + 1);
    const char *end = format_fixed(out.get(), value, width, precision, fill);
    if (end < out.get() || end > out.get() + FIXED_MAX || *end != '\0')
        fail("end pointer outside the output or not at a terminator", value, width, precision, fill,
             "", nullptr);
    if (std::strlen(out.get()) != static_cast<size_t>(end - out.get()))
        fail("terminator before the returned end", value, width, precision, fill, out.get(),
             nullptr);

    if (width < 0 || width > MAX_WIDTH || precision < 0 || precision > MAX_PRECISION)
        return 0;

    const std::string want = printf_reference(value, width, precision, fill);
    if (want != out.get())
        fail("differs from the C library", value, width, precision, fill, out.get(), want.c_str());
    return 0;
}

// The console is the program's log and is often a pipe or a file: every report reaches it
// whole as soon as it is printed, through printf-like functions whose formats the compiler
// checks.
#ifndef VANDRY_CORE_CONSOLE_H
#define VANDRY_CORE_CONSOLE_H

#include <cstdarg>
#include <cstdio>

#if defined(__GNUC__) || defined(__clang__)
#define VANDRY_PRINTF_LIKE(format_index, first_arg)                                                \
    __attribute__((format(printf, format_index, first_arg)))
#else
#define VANDRY_PRINTF_LIKE(format_index, first_arg)
#endif

namespace vandry {

inline void report_args(FILE *console, const char *format, va_list args) {
    (void)std::vfprintf(console, format, args); // a console that fails has no one to tell
    std::fflush(console);
}

VANDRY_PRINTF_LIKE(2, 3) inline void report_to(FILE *console, const char *format, ...) {
    va_list args;
    va_start(args, format);
    report_args(console, format, args);
    va_end(args);
}

VANDRY_PRINTF_LIKE(1, 2) inline void report(const char *format, ...) {
    va_list args;
    va_start(args, format);
    report_args(stdout, format, args);
    va_end(args);
}

} // namespace vandry

#endif

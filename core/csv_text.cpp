#include "core/csv_text.h"

#include <chrono>
#include <cstdio>

namespace vandry {

namespace {

// Days since 1970-01-01 as a proleptic Gregorian date (H. Hinnant's civil_from_days).
void civil_from_days(long long days, long long *year, unsigned *month, unsigned *day) {
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const auto doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *day = doy - (153 * mp + 2) / 5 + 1;
    *month = mp < 10 ? mp + 3 : mp - 9;
    *year = static_cast<long long>(yoe) + era * 400 + (*month <= 2 ? 1 : 0);
}

} // namespace

std::string csv_field(std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos)
        return std::string(text);
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}

std::string iso8601_utc(long long ms) {
    const long long seconds = (ms >= 0 ? ms : ms - 999) / 1000;
    const long long days = (seconds >= 0 ? seconds : seconds - 86399) / 86400;
    const long long second_of_day = seconds - days * 86400;
    long long year = 0;
    unsigned month = 0, day = 0;
    civil_from_days(days, &year, &month, &day);
    char text[96];
    (void)std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02lld:%02lld:%02lld.%03lldZ", year,
                        month, day, second_of_day / 3600, second_of_day / 60 % 60,
                        second_of_day % 60, ms - seconds * 1000);
    return text;
}

long long utc_ms_now() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

} // namespace vandry

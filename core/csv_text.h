// Text for CSV files (RFC 4180) and their times, as the receiver's CSV and the fault log write
// them.
#ifndef VANDRY_CORE_CSV_TEXT_H
#define VANDRY_CORE_CSV_TEXT_H

#include <string>
#include <string_view>

namespace vandry {

// A field as RFC 4180 writes it: in double quotes, its own doubled, when it holds a comma, a
// double quote, CR or LF; otherwise as it is.
std::string csv_field(std::string_view text);

// Milliseconds since 1970-01-01 (UTC) in ISO 8601, e.g. "2026-12-09T01:02:03.456Z".
std::string iso8601_utc(long long ms);

// Now, in milliseconds since 1970-01-01 (UTC).
long long utc_ms_now();

} // namespace vandry

#endif

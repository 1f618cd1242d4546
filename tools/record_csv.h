// Messages as rows of a CSV file (RFC 4180: fields quoted where needed, rows ended by CR LF),
// one row per message, so that a recorded run can be read by a spreadsheet, a script or a plot.
#ifndef VANDRY_RECORD_CSV_H
#define VANDRY_RECORD_CSV_H

#include "message_check.h"

#include <string>
#include <string_view>

namespace vandry::check {

// The header row: time, connection, station, layout, mode, sequence, the eight values,
// latitude, longitude, error and message.
extern const char CSV_HEADER[];

// A field as RFC 4180 writes it: in double quotes, its own doubled, when it holds a comma, a
// double quote, CR or LF; otherwise as it is.
std::string csv_field(std::string_view text);

// The row of one checked message. The values are those that the record printed, without fill
// blanks; a malformed message has its reason under error and its bytes, escaped, under message.
// time and connection may be empty (a message read from a recording was never received).
std::string csv_row(std::string_view time, std::string_view connection, const Verdict &verdict,
                    std::string_view message);

// Milliseconds since 1970-01-01 (UTC) in ISO 8601, e.g. "2026-12-09T01:02:03.456Z".
std::string iso8601_utc(long long ms);

} // namespace vandry::check

#endif

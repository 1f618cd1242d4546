// Checking each message that a telemetry unit sends, byte for byte. Pure computation, no I/O.
//
// A message is the station name (1 to 30 bytes, no whitespace, commas allowed), ",", one
// record, and in keep-open mode "\r\n". Records (the name's commas make them parsed from the end):
//   short  "%4.3f,%4.3f,%2.1f,%5.1f,%3.1f,%3.1f,%d \n"            7 fields, blank and LF
//   long   "%4.3f,%4.3f,%2.1f,%5.1f,%3.1f,%3.1f,%4.1f,%4.1f,%d \n"  9 fields, blank and LF
//   gps    the long record's 9 fields without the blank, then
//          ",$GPGLL,ddmm.mmmm,N,dddmm.mmmm,E,hhmmss.sss,A,A*HH\n" (longitude zero-filled, HH the
//          exclusive-or of the bytes between '$' and '*' in upper-case hex)
// Keep-open messages follow one another on one connection, each ended by "\r\n"; a
// close-after-send message is the whole content of its connection, with nothing after the LF.
#ifndef VANDRY_RECEIVER_MESSAGE_CHECK_H
#define VANDRY_RECEIVER_MESSAGE_CHECK_H

#include "core/message.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vandry::receiver {

// The result of checking one message.
struct Verdict {
    bool ok = false;
    Mode mode = Mode::keep_open;          // the mode it was checked against
    Layout layout = Layout::short_record; // the rest is set only when ok
    std::string station;
    int sequence = -1;
    std::size_t text_length = 0; // bytes before the record's line end (" \n" or "\n")
    // The record's numbers as printed, without fill blanks: distance, level, d1, volume, temp1,
    // temp2, and for the long and GPS records vin and rssi, and for the GPS record latitude
    // (ddmm.mmmm) and longitude (dddmm.mmmm).
    std::vector<std::string> values;
    std::string error; // when not ok: what is malformed, in words
};

// Checks one message, its end mark included, against the framing of the given mode.
Verdict check_message(std::string_view message, Mode mode);

// The pieces of a record between commas, with the offset at which each begins.
struct Pieces {
    std::vector<std::string_view> text;
    std::vector<std::size_t> start;
};
Pieces split_commas(std::string_view s);

// Printable form of any bytes: \r, \n, \t, \\ and \xNN for every other byte outside 0x20-0x7e.
std::string escape(std::string_view bytes);

} // namespace vandry::receiver

#endif

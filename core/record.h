// The records of a tick: short, long, or GPS with an NMEA 0183 GLL sentence.
//   short  "%4.3f,%4.3f,%2.1f,%5.1f,%3.1f,%3.1f,%d \n"            distance, level, d1, volume,
//   long   "%4.3f,%4.3f,%2.1f,%5.1f,%3.1f,%3.1f,%4.1f,%4.1f,%d \n"  temp1, temp2, [vin, rssi,]
//   gps    the long record's fields, then ",$GPGLL,ddmm.mmmm,N,dddmm.mmmm,E,081359.129,A,A*HH\n"
// with the sequence number last before the line end, exact halves rounded away from zero.
#ifndef VANDRY_CORE_RECORD_H
#define VANDRY_CORE_RECORD_H

#include "core/tick.h"

#include <cstddef>

namespace vandry {

enum class Layout { short_record = 1, long_record = 2, gps_record = 3 };

// The longest record, its line end included, without the terminating zero.
constexpr int MAX_RECORD_LENGTH = 100;

// The record of the current tick, with its line end and a terminating zero; returns the pointer
// to that zero. out holds at least MAX_RECORD_LENGTH + 1 bytes.
char *write_record(char *out, Layout layout, const Telemetry &tm, const Tank &tank);

// NMEA 0183 checksum: exclusive-or of every byte of text[0..length).
unsigned nmea_checksum(const char *text, std::size_t length);

} // namespace vandry

#endif

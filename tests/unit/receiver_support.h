// Shared by the receiver's unit tests: the records of the example tank's first tick, and the
// two modes.
#ifndef VANDRY_RECEIVER_SUPPORT_H
#define VANDRY_RECEIVER_SUPPORT_H

#include "core/message.h"

#include <string>

// The records of the first tick of the example tank; the GPS one with its true checksum.
inline const std::string SHORT_REC = "2.459,0.081,4.6,323.8,25.0,30.0,0 \n";
inline const std::string LONG_REC = "2.459,0.081,4.6,323.8,25.0,30.0,14.3, 6.5,0 \n";
inline const std::string HEAD = "2.459,0.081,4.6,323.8,25.0,30.0,14.3, 6.5,0,";
inline const std::string GLL = "$GPGLL,1301.4728,N,07740.3735,E,081359.129,A,A*";
inline const std::string GPS_REC = HEAD + GLL + "59\n";
inline const std::string CRLF = "\r\n";

constexpr vandry::Mode OPEN = vandry::Mode::keep_open;
constexpr vandry::Mode CLOSE = vandry::Mode::close_after_send;

#endif

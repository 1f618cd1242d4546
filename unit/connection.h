// The single unit's connection loop: connect to the server, send one message per interval, keep
// or close the connection, and meet every network failure with its line, 5 s and a new try.
// Also the dry run, which writes the same messages to a stream at once.
#ifndef VANDRY_UNIT_CONNECTION_H
#define VANDRY_UNIT_CONNECTION_H

#include "core/config.h"
#include "core/faults.h"
#include "core/message.h"
#include "platform/platform.h"

#include <cstdint>
#include <cstdio>

namespace vandry {

// What a run sends and where to.
struct UnitRun {
    Config config;
    int interval_ms = 3000;
    long long count = 0; // messages to send before the run ends; 0: no end
    FaultRates faults;   // field faults to inject, per message
    std::uint64_t fault_seed = 0;
    FaultLogFile *fault_log = nullptr; // a row for every injected fault, or none
};

using UnitMessages = UnitStream<StdRand>;

// Sends all length bytes, continuing after partial sends and interrupted calls. Returns length,
// or SOCKET_FAILED when a call fails or the whole message has not gone within timeout_ms
// (last_socket_error() then tells why; ERROR_TIMED_OUT for the time-out).
int send_all(platform::socket_t s, const char *bytes, int length, int timeout_ms);

// Runs for ever, or with a count returns as soon as that many messages have been sent, the
// connection closed in order.
void run_connection_loop(const UnitRun &run, UnitMessages &messages);

// The messages that the loop would send, written to out one after another at once, each
// flushed whole: the run's count of them, or without end. False when out fails.
bool write_messages(FILE *out, const UnitRun &run, UnitMessages &messages);

} // namespace vandry

#endif

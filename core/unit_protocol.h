// The unit's rules, written once for the blocking single unit and the fleet's units on one event
// loop: the pauses and limits, the step of each message (draw its fault, compose it, apply the
// fault, log it) and the console lines that end a connection. Nothing here touches a socket or
// a clock; the drivers do, each in its own way.
#ifndef VANDRY_CORE_UNIT_PROTOCOL_H
#define VANDRY_CORE_UNIT_PROTOCOL_H

#include "core/faults.h"
#include "core/message.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

namespace vandry {

// After every failure the unit waits this long before it tries again.
inline constexpr std::chrono::milliseconds RETRY_PAUSE{5000};
// A send that cannot complete within this time (a server that stopped reading) fails.
inline constexpr std::chrono::milliseconds SEND_TIME_OUT{30000};
// The server's input is read and dropped as it comes, whatever it sends (acknowledgements,
// greetings), so that it never fills the connection; at most this much in one turn, so that a
// flooding server cannot hold the unit.
inline constexpr std::size_t DRAIN_PER_TURN = 65536;
inline constexpr std::size_t DRAIN_PIECE = 4096;

// What a unit's step needs beside its own streams: its faults, its type and its log.
struct StepContext {
    const FaultRates &rates;
    int data_type;
    FaultLogFile *log; // a row for every injected fault; nullptr: none
};

// One step of a unit: a silence, or the message of its next tick as it goes on the wire.
struct Step {
    FaultKind fault = FaultKind::none;
    std::uint32_t tick = 0;  // the message's tick; for a silence, the tick that waits for it
    int length = 0;          // the composed message's length; 0 for a silence
    Wire wire;               // what goes on the wire
    bool copy_apart = false; // a close-after-send duplicate: the second copy on a new connection
    [[nodiscard]] bool silent() const { return fault == FaultKind::silence; }
};

// The fault log's row of a fault drawn at the tick.
void log_fault(const StepContext &c, const char *name, const Step &step);

// The fault log's row of the message at the tick, written whole into a connection that then
// failed: it may never arrive, and the collector is not to blame.
void log_unconfirmed(FaultLogFile *log, const char *name, std::uint32_t tick);

// The unit's next step: one draw of its fault stream (when it injects faults); unless that is a
// silence, the next tick's message of the unit named name composed into message (at least
// MAX_MESSAGE_LENGTH + 1 bytes) and changed as the fault says; every fault logged.
template <class Rng>
Step next_step(const StepContext &c, const char *name, UnitStream<Rng> &messages,
               FaultStream &faults, char *message) {
    Step step;
    step.fault = c.rates.any() ? draw_fault(c.rates, faults) : FaultKind::none;
    if (step.silent()) {
        step.tick = messages.ticks();
        log_fault(c, name, step);
        return step;
    }
    step.length = messages.next(message, name, c.data_type);
    step.tick = messages.ticks() - 1;
    if (step.fault == FaultKind::none) {
        step.wire.bytes = step.length;
        return step;
    }
    step.wire = apply_fault(step.fault, message, step.length, std::strlen(name), faults);
    step.copy_apart = step.wire.copies == 2 && !keeps_connection(c.data_type);
    log_fault(c, name, step);
    return step;
}

// Why a unit's connection ends.
enum class ConnectionEnd {
    orderly,         // its message is sent (close-after-send), or its last one
    silence,         // it loses power
    copy_apart,      // the first copy of a close-after-send duplicate is sent
    send_failed,     // a send failed or ran out of time
    cut,             // a cut message: the link fails halfway through it
    ended_by_server, // the server ended the stream
    reset,           // the connection failed or was reset while the unit waited
};

// How the socket of an ending connection goes.
enum class CloseBy {
    shutdown, // the server's input read, the sending side shut down, then closed: an orderly end
    close,    // closed at once: the connection is over already
    reset,    // closed with a reset, as a link that fails
};

// How a connection ends for each reason: the line said at once (the driver adds the error
// code), how its socket goes, and whether "socket is closing" follows once the pause after the
// failure is over.
struct EndRule {
    std::optional<ConsoleLine> line;
    CloseBy close = CloseBy::shutdown;
    bool closing_after_pause = false;
};

EndRule end_rule(ConnectionEnd why, bool keep_open);

} // namespace vandry

#endif

#include "unit/connection.h"

#include "core/unit_protocol.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>

namespace vandry {

using namespace platform;

namespace {

constexpr int SEND_TIMEOUT_MS = static_cast<int>(SEND_TIME_OUT.count());

void sleep_ms(long long ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void sleep_retry_pause() {
    std::this_thread::sleep_for(RETRY_PAUSE);
}

// Closes the socket, once, and forgets its handle.
void close_connection(socket_t *s) {
    close_socket(*s);
    *s = NO_SOCKET;
}

} // namespace

int send_all(socket_t s, const char *bytes, int length, int timeout_ms) {
    using namespace std::chrono;
    // One clock for the whole message: a partial send does not start it again.
    const auto deadline = steady_clock::now() + milliseconds(timeout_ms);
    int sent = 0;
    while (sent < length) {
        const auto left = ceil<milliseconds>(deadline - steady_clock::now()).count();
        if (left <= 0) {
            set_last_socket_error(ERROR_TIMED_OUT);
            return SOCKET_FAILED;
        }
        set_send_timeout(s, static_cast<int>(left));
        const int result = send_some(s, bytes + sent, length - sent);
        if (result == SOCKET_FAILED) {
            const int error = last_socket_error();
            // A time-out that the platform's clock ends early is waited out to the end.
            if (error == ERROR_INTERRUPTED || error == ERROR_TIMED_OUT)
                continue;
            return SOCKET_FAILED;
        }
        sent += result;
    }
    return length;
}

namespace {

// What the server has done to a connection.
enum class Peer { open, ended, reset };

// Reads and throws away what the server has sent, without blocking and at most DRAIN_PER_TURN
// bytes at a time. Tells whether the server has ended the stream or the connection has failed.
Peer drain_input(socket_t s) {
    char scrap[DRAIN_PIECE];
    for (std::size_t taken = 0; taken < DRAIN_PER_TURN;) {
        const int got = receive_waiting(s, scrap, static_cast<int>(sizeof scrap));
        if (got == 0)
            return Peer::ended;
        if (got < 0) {
            const int error = last_socket_error();
            return error == ERROR_WOULD_BLOCK || error == ERROR_INTERRUPTED ? Peer::open
                                                                            : Peer::reset;
        }
        taken += static_cast<std::size_t>(got);
    }
    return Peer::open;
}

// The pause of a connected unit until the deadline, draining the server's input. Returns at
// once when the server ends the stream or the connection fails.
Peer pause_connected(socket_t s, std::chrono::steady_clock::time_point deadline) {
    using namespace std::chrono;
    for (;;) {
        const auto left = ceil<milliseconds>(deadline - steady_clock::now()).count();
        if (left <= 0)
            return Peer::open;
        if (wait_readable(s, static_cast<int>(left))) {
            if (const Peer peer = drain_input(s); peer != Peer::open)
                return peer;
        }
    }
}

// Closing a socket with unread bytes resets the connection, and the server may lose the
// message: the answers are read first and the sending side shut down, so the server sees an
// orderly end of the stream after the message.
void end_connection(socket_t *s) {
    drain_input(*s);
    shutdown(*s, SHUT_SENDING);
    close_connection(s);
}

// Start to Connect: starts the socket library, resolves the server and connects to its first
// address, retrying the connect every RETRY_PAUSE. Returns false, with the failure reported
// and everything released, when the pass must begin again at Start.
bool open_connection(const Config &config, socket_t *s) {
    int result = start_sockets();
    if (result != 0) {
        print_line(ConsoleLine::startup_failed, result);
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo *found = nullptr;
    result = getaddrinfo(config.address.c_str(), config.port.c_str(), &hints, &found);
    if (result != 0) {
        print_line(ConsoleLine::resolve_failed, result);
        stop_sockets();
        return false;
    }
    // A socket whose connect failed is in no defined state on every platform, so each attempt
    // gets a fresh one; the address stays the first one resolved.
    bool connected = false;
    for (;;) {
        *s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (*s == NO_SOCKET) {
            print_line(ConsoleLine::socket_failed, last_socket_error());
            break;
        }
        no_sigpipe(*s);
        if (connect(*s, found->ai_addr, static_cast<int>(found->ai_addrlen)) != SOCKET_FAILED) {
            connected = true;
            break;
        }
        print_line(ConsoleLine::connect_failed, last_socket_error());
        close_connection(s);
        sleep_retry_pause();
    }
    freeaddrinfo(found);
    if (!connected)
        stop_sockets();
    return connected;
}

// A run's unit on its connections: its messages, its own stream of fault draws and what its
// steps need.
struct Unit {
    Unit(const UnitRun &r, UnitMessages &m)
        : run(r), messages(m),
          faults(r.fault_seed), context{r.faults, r.config.data_type, r.fault_log},
          keep_open(keeps_connection(r.config.data_type)) {}
    const UnitRun &run;
    UnitMessages &messages;
    FaultStream faults;
    StepContext context;
    bool keep_open;
    [[nodiscard]] const char *name() const { return run.config.name.c_str(); }
};

// How a pass over one connection ended; after a failure, whether "socket is closing" is due
// once the pause is over.
struct PassEnd {
    enum Kind { failed, closed, all_sent } kind;
    bool closing_after_pause = false;
};

// Ends the connection for the reason, as the unit ends every one: its line (with code, the
// platform's error) and its socket closed as the reason says; the socket library stopped.
PassEnd end_pass(socket_t *s, const Unit &u, ConnectionEnd why, int code) {
    const EndRule rule = end_rule(why, u.keep_open);
    if (rule.line)
        print_line(*rule.line, code);
    switch (rule.close) {
    case CloseBy::shutdown:
        end_connection(s);
        break;
    case CloseBy::close:
        close_connection(s);
        break;
    case CloseBy::reset:
        reset_socket(*s);
        *s = NO_SOCKET;
        break;
    }
    stop_sockets();
    const bool failed = why != ConnectionEnd::orderly && why != ConnectionEnd::silence &&
                        why != ConnectionEnd::copy_apart;
    return {failed ? PassEnd::failed : PassEnd::closed, rule.closing_after_pause};
}

// Puts the message on the wire as the step says: false when a send fails.
bool send_wire(socket_t s, const char *message, const Step &step, FaultStream &faults) {
    const Wire &w = step.wire;
    if (w.slow) {
        for (int sent = 0; sent < w.bytes;) {
            const SlowPiece piece = slow_piece(w.bytes - sent, faults);
            if (send_all(s, message + sent, piece.bytes, SEND_TIMEOUT_MS) == SOCKET_FAILED)
                return false;
            sent += piece.bytes;
            if (sent < w.bytes)
                sleep_ms(piece.pause_ms);
        }
        return true;
    }
    for (int copy = 0; copy < w.copies; ++copy)
        if (w.bytes > 0 && send_all(s, message, w.bytes, SEND_TIMEOUT_MS) == SOCKET_FAILED)
            return false;
    return true;
}

// A unit that loses power: its connection ends in order, and it stays quiet for the silence.
PassEnd go_silent(socket_t *s, const Unit &u) {
    const PassEnd end = end_pass(s, u, ConnectionEnd::silence, 0);
    // Back after the silence, and never sooner than its next tick: a short silence drawn again
    // and again must not turn into a storm of connections.
    sleep_ms(std::max(u.run.faults.silence_s * 1000LL, static_cast<long long>(u.run.interval_ms)));
    return end;
}

// A connection that the server has ended or that has failed is not written into again. A reset
// may lose the last message written on it (written: its tick), which the fault log says.
PassEnd lost_connection(socket_t *s, const Unit &u, Peer peer,
                        std::optional<std::uint32_t> written) {
    if (peer == Peer::reset && written)
        log_unconfirmed(u.run.fault_log, u.name(), *written);
    const int code = peer == Peer::reset ? last_socket_error() : 0;
    return end_pass(
        s, u, peer == Peer::ended ? ConnectionEnd::ended_by_server : ConnectionEnd::reset, code);
}

// What became of one message: written whole (or not at all, as its fault says), or the pass
// ended with it.
struct Sent {
    bool whole = false;
    std::optional<PassEnd> end;
};

// A close-after-send unit that sends a message twice does so as one that retries it: the first
// copy on its own connection, closed as ever, the second on a new one. False when no new
// connection could be opened (said, everything released).
bool send_apart(socket_t *s, const Unit &u, const char *message, Step *step) {
    if (send_all(*s, message, step->wire.bytes, SEND_TIMEOUT_MS) == SOCKET_FAILED)
        return true; // the failed send is met as the caller meets it
    step->wire.copies = 1;
    print_echo(u.run.config.data_type, message, step->wire.bytes);
    end_pass(s, u, ConnectionEnd::copy_apart, 0);
    return open_connection(u.run.config, s);
}

// Puts the step's message on the wire; *s is a new connection after a duplicate sent apart.
Sent send_one(socket_t *s, Unit &u, Step step, const char *message) {
    // No new connection for the second copy: the pass fails as any other close-after-send one.
    if (step.copy_apart && !send_apart(s, u, message, &step))
        return {false, PassEnd{PassEnd::failed, true}};
    if (!send_wire(*s, message, step, u.faults))
        return {false, end_pass(s, u, ConnectionEnd::send_failed, last_socket_error())};
    if (step.wire.reset) // a cut message: the link fails halfway through it
        return {false, end_pass(s, u, ConnectionEnd::cut, 0)};
    for (int copy = 0; step.wire.bytes == step.length && copy < step.wire.copies; ++copy)
        print_echo(u.run.config.data_type, message, step.length);
    return {step.wire.bytes > 0, std::nullopt};
}

// After a message: the pause until the next tick on the connection, or the end of the pass
// (the last message, close-after-send, or a connection that the server ended); none while the
// pass goes on.
std::optional<PassEnd> after_message(socket_t *s, const Unit &u,
                                     std::optional<std::uint32_t> written, bool last) {
    if (!last) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(u.run.interval_ms);
        const Peer peer = pause_connected(*s, deadline);
        // After a close-after-send message the server may end the exchange itself.
        if (peer == Peer::reset || (peer == Peer::ended && u.keep_open))
            return lost_connection(s, u, peer, written);
        std::this_thread::sleep_until(deadline);
        if (u.keep_open)
            return std::nullopt;
    }
    const PassEnd end = end_pass(s, u, ConnectionEnd::orderly, 0);
    return last ? PassEnd{PassEnd::all_sent} : end;
}

// Sends one message per tick over an open connection until the pass ends: after the first
// message in close-after-send mode, at a failed send or a lost connection in either mode, or
// once the messages left to send (counting down from *left when it is above 0) are sent. The
// socket is closed and the socket library stopped on the way out.
PassEnd send_messages(socket_t s, Unit &u, long long *left) {
    std::optional<std::uint32_t> written; // the tick of the last message written whole on it
    char message[MAX_MESSAGE_LENGTH + 1];
    for (;;) {
        if (const Peer peer = drain_input(s); peer != Peer::open)
            return lost_connection(&s, u, peer, written);
        const Step step = next_step(u.context, u.name(), u.messages, u.faults, message);
        if (step.silent()) // powered off: no tick passes until it is back
            return go_silent(&s, u);
        const Sent sent = send_one(&s, u, step, message);
        if (sent.end)
            return *sent.end;
        if (sent.whole)
            written = step.tick;
        const bool last = sent.whole && *left > 0 && --*left == 0;
        if (const std::optional<PassEnd> end = after_message(&s, u, written, last))
            return *end;
    }
}

} // namespace

void run_connection_loop(const UnitRun &run, UnitMessages &messages) {
    long long left = run.count;
    Unit unit(run, messages);
    for (;;) { // one pass per connection; every failure is waited out, then tried again
        socket_t s = NO_SOCKET;
        if (!open_connection(run.config, &s)) {
            sleep_retry_pause();
            continue;
        }
        const PassEnd end = send_messages(s, unit, &left);
        if (end.kind == PassEnd::all_sent)
            return;
        if (end.kind == PassEnd::failed) {
            sleep_retry_pause();
            if (end.closing_after_pause)
                print_line(ConsoleLine::closing);
        }
    }
}

namespace {

// Writes the message as the fault says, without pauses: a slow message's pieces are drawn all
// the same, so that the faults after it are those of a run over the network.
bool write_wire(FILE *out, const char *message, const Wire &w, FaultStream &stream) {
    const auto put = [out, message](int from, int bytes) {
        return std::fwrite(message + from, 1, static_cast<size_t>(bytes), out) ==
               static_cast<size_t>(bytes);
    };
    if (w.slow) {
        for (int written = 0; written < w.bytes;) {
            const SlowPiece piece = slow_piece(w.bytes - written, stream);
            if (!put(written, piece.bytes))
                return false;
            written += piece.bytes;
        }
        return true;
    }
    for (int copy = 0; copy < w.copies; ++copy)
        if (!put(0, w.bytes))
            return false;
    return true;
}

} // namespace

bool write_messages(FILE *out, const UnitRun &run, UnitMessages &messages) {
    char message[MAX_MESSAGE_LENGTH + 1];
    Unit unit(run, messages);
    for (long long sent = 0; run.count == 0 || sent < run.count;) {
        const Step step = next_step(unit.context, unit.name(), messages, unit.faults, message);
        // A recording has no connection to reset: a cut message is left out, as a dropped one.
        if (step.silent() || step.wire.reset || step.wire.bytes == 0)
            continue;
        if (!write_wire(out, message, step.wire, unit.faults) || std::fflush(out) != 0)
            return false;
        ++sent;
    }
    return true;
}

} // namespace vandry

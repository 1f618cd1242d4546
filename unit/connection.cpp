#include "unit/connection.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>

namespace vandry {

using namespace platform;

namespace {

constexpr int RETRY_PAUSE_MS = 5000;
// A send that cannot complete within this time (a server that stopped reading) fails.
constexpr int SEND_TIMEOUT_MS = 30000;

void sleep_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
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

// Reads and throws away what the server has sent, without blocking and at most 64 KB at a
// time: whatever it sends (acknowledgements, greetings) must not fill the connection. Tells
// whether the server has ended the stream or the connection has failed.
Peer drain_input(socket_t s) {
    char scrap[4096];
    for (int taken = 0; taken < 65536;) {
        const int got = receive_waiting(s, scrap, static_cast<int>(sizeof scrap));
        if (got == 0)
            return Peer::ended;
        if (got < 0) {
            const int error = last_socket_error();
            return error == ERROR_WOULD_BLOCK || error == ERROR_INTERRUPTED ? Peer::open
                                                                            : Peer::reset;
        }
        taken += got;
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
// address, retrying the connect every RETRY_PAUSE_MS. Returns false, with the failure reported
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
        sleep_ms(RETRY_PAUSE_MS);
    }
    freeaddrinfo(found);
    if (!connected)
        stop_sockets();
    return connected;
}

// How a pass over one connection ended.
enum class PassEnd { failed, closed, all_sent };

// The unit's faults: the draws of its own stream, and the fault log.
class UnitFaults {
  public:
    explicit UnitFaults(const UnitRun &run) : run_(run), stream_(run.fault_seed) {}

    FaultKind draw() {
        return run_.faults.any() ? draw_fault(run_.faults, stream_) : FaultKind::none;
    }
    // What goes on the wire for the message, the fault written into the log.
    Wire apply(FaultKind kind, char *message, int length, std::uint32_t tick) {
        Wire w = apply_fault(kind, message, length, run_.config.name.size(), stream_);
        if (kind != FaultKind::none)
            log(kind, tick, w.detail);
        return w;
    }
    void log(FaultKind kind, std::uint32_t tick, const std::string &detail) {
        if (run_.fault_log != nullptr)
            run_.fault_log->write(run_.config.name, tick, fault_name(kind), detail);
    }
    // A message written whole into a connection that was then reset: it may never arrive.
    void log_unconfirmed(std::uint32_t tick) {
        if (run_.fault_log != nullptr)
            run_.fault_log->write(run_.config.name, tick, UNCONFIRMED_KIND,
                                  "written into a connection that then failed");
    }
    FaultStream &stream() { return stream_; }

  private:
    const UnitRun &run_;
    FaultStream stream_;
};

// Puts the message on the wire as the fault says: false when a send fails.
bool send_wire(socket_t s, const char *message, const Wire &w, FaultStream &stream) {
    if (w.slow) {
        for (int sent = 0; sent < w.bytes;) {
            const SlowPiece piece = slow_piece(w.bytes - sent, stream);
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
PassEnd go_silent(socket_t s, const UnitRun &run, UnitFaults &faults, std::uint32_t tick) {
    faults.log(FaultKind::silence, tick, silence_detail(run.faults));
    if (!keeps_connection(run.config.data_type))
        print_line(ConsoleLine::closing);
    end_connection(&s);
    stop_sockets();
    // Back after the silence, and never sooner than its next tick: a short silence drawn again
    // and again must not turn into a storm of connections.
    sleep_ms(std::max(run.faults.silence_s * 1000, run.interval_ms));
    return PassEnd::closed;
}

// A connection that the server has ended or that has failed is not written into again: its
// line, and the pass ends as after a failed send. A reset may lose the last message written on
// it (written: its tick), which the fault log says.
PassEnd lost_connection(socket_t s, Peer peer, UnitFaults &faults,
                        std::optional<std::uint32_t> written) {
    if (peer == Peer::reset && written)
        faults.log_unconfirmed(*written);
    if (peer == Peer::ended)
        print_line(ConsoleLine::ended_by_server);
    else
        print_line(ConsoleLine::receive_failed, last_socket_error());
    close_connection(&s);
    stop_sockets();
    return PassEnd::failed;
}

// What became of one message.
enum class Sent { whole, not_whole, failed, cut };

// A close-after-send unit that sends a message twice does so as one that retries it: the first
// copy on its own connection, closed as ever, the second on a new one. False when no new
// connection could be opened (said, everything released).
bool send_apart(socket_t *s, const UnitRun &run, const char *message, Wire *wire) {
    if (send_all(*s, message, wire->bytes, SEND_TIMEOUT_MS) == SOCKET_FAILED)
        return true; // the failed send is met as the caller meets it
    wire->copies = 1;
    print_echo(run.config.data_type, message, wire->bytes);
    print_line(ConsoleLine::closing);
    end_connection(s);
    stop_sockets();
    return open_connection(run.config, s);
}

// Composes the next message and puts it on the wire, as a fault says if one hits it; *s is
// a new connection after a duplicate sent apart.
Sent send_one(socket_t *s, const UnitRun &run, UnitMessages &messages, UnitFaults &faults,
              FaultKind fault) {
    char message[MAX_MESSAGE_LENGTH + 1];
    const int length = messages.next(message, run.config.name.c_str(), run.config.data_type);
    Wire wire = faults.apply(fault, message, length, messages.ticks() - 1);
    if (wire.copies == 2 && !keeps_connection(run.config.data_type) &&
        !send_apart(s, run, message, &wire))
        return Sent::failed;
    if (!send_wire(*s, message, wire, faults.stream())) {
        print_line(ConsoleLine::send_failed, last_socket_error());
        close_connection(s);
        stop_sockets();
        return Sent::failed;
    }
    if (wire.reset) { // a cut message: the link fails halfway through it
        reset_socket(*s);
        stop_sockets();
        return Sent::cut;
    }
    for (int copy = 0; wire.bytes == length && copy < wire.copies; ++copy)
        print_echo(run.config.data_type, message, length);
    return wire.bytes > 0 ? Sent::whole : Sent::not_whole;
}

// After a message: the pause until the next tick on the connection, or the end of the pass
// (the last message, close-after-send, or a connection that the server ended); none while the
// pass goes on.
std::optional<PassEnd> after_message(socket_t *s, const UnitRun &run, UnitFaults &faults,
                                     std::optional<std::uint32_t> written, bool last) {
    const bool keep_open = keeps_connection(run.config.data_type);
    if (!last) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(run.interval_ms);
        const Peer peer = pause_connected(*s, deadline);
        // After a close-after-send message the server may end the exchange itself.
        if (peer == Peer::reset || (peer == Peer::ended && keep_open))
            return lost_connection(*s, peer, faults, written);
        std::this_thread::sleep_until(deadline);
        if (keep_open)
            return std::nullopt;
    }
    if (!keep_open)
        print_line(ConsoleLine::closing);
    end_connection(s);
    stop_sockets();
    return last ? PassEnd::all_sent : PassEnd::closed;
}

// Sends one message per tick over an open connection until the pass ends: after the first
// message in close-after-send mode, at a failed send or a lost connection in either mode, or
// once the messages left to send (counting down from *left when it is above 0) are sent. The
// socket is closed and the socket library stopped on the way out.
PassEnd send_messages(socket_t s, const UnitRun &run, UnitMessages &messages, UnitFaults &faults,
                      long long *left) {
    std::optional<std::uint32_t> written; // the tick of the last message written whole on it
    for (;;) {
        if (const Peer peer = drain_input(s); peer != Peer::open)
            return lost_connection(s, peer, faults, written);
        const FaultKind fault = faults.draw();
        if (fault == FaultKind::silence) // powered off: no tick passes until it is back
            return go_silent(s, run, faults, messages.ticks());
        const Sent sent = send_one(&s, run, messages, faults, fault);
        if (sent == Sent::failed || sent == Sent::cut)
            return PassEnd::failed;
        if (sent == Sent::whole)
            written = messages.ticks() - 1;
        const bool last = sent == Sent::whole && *left > 0 && --*left == 0;
        if (const std::optional<PassEnd> end = after_message(&s, run, faults, written, last))
            return *end;
    }
}

} // namespace

void run_connection_loop(const UnitRun &run, UnitMessages &messages) {
    long long left = run.count;
    UnitFaults faults(run);
    for (;;) { // one pass per connection; every failure is waited out, then tried again
        socket_t s = NO_SOCKET;
        if (!open_connection(run.config, &s)) {
            sleep_ms(RETRY_PAUSE_MS);
            continue;
        }
        switch (send_messages(s, run, messages, faults, &left)) {
        case PassEnd::all_sent:
            return;
        case PassEnd::failed:
            sleep_ms(RETRY_PAUSE_MS);
            if (!keeps_connection(run.config.data_type))
                print_line(ConsoleLine::closing);
            break;
        case PassEnd::closed:
            break;
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
    UnitFaults faults(run);
    for (long long sent = 0; run.count == 0 || sent < run.count;) {
        const FaultKind fault = faults.draw();
        if (fault == FaultKind::silence) {
            faults.log(fault, messages.ticks(), silence_detail(run.faults));
            continue;
        }
        const int length = messages.next(message, run.config.name.c_str(), run.config.data_type);
        const Wire wire = faults.apply(fault, message, length, messages.ticks() - 1);
        // A recording has no connection to reset: a cut message is left out, as a dropped one.
        if (wire.reset || wire.bytes == 0)
            continue;
        if (!write_wire(out, message, wire, faults.stream()) || std::fflush(out) != 0)
            return false;
        ++sent;
    }
    return true;
}

} // namespace vandry

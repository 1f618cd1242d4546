#include "connection.h"

#include <chrono>
#include <cstring>
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

// Reads and throws away what the server has sent, without blocking: only as many bytes as
// have arrived are asked for. Returns how many were read.
unsigned long discard_waiting(socket_t s) {
    char scrap[4096];
    unsigned long discarded = 0;
    for (unsigned long waiting; (waiting = bytes_waiting(s)) > 0;) {
        const int want = static_cast<int>(waiting < sizeof scrap ? waiting : sizeof scrap);
        const int got = receive_some(s, scrap, want);
        if (got <= 0)
            break;
        discarded += static_cast<unsigned long>(got);
    }
    return discarded;
}

// The pause of a connected unit, never shorter than ms: whatever the server sends meanwhile
// (acknowledgements, greetings) is discarded, so that its answers cannot fill the connection.
void pause_connected(socket_t s, int ms) {
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + milliseconds(ms);
    for (;;) {
        const auto left = ceil<milliseconds>(deadline - steady_clock::now()).count();
        if (left <= 0)
            return;
        // Readable with nothing to read: the server ended its side or the connection failed;
        // the next send finds out which, after the rest of the pause.
        if (wait_readable(s, static_cast<int>(left)) && discard_waiting(s) == 0) {
            std::this_thread::sleep_until(deadline);
            return;
        }
    }
}

// Closing a socket with unread bytes resets the connection, and the server may lose the
// message: the answers are read first and the sending side shut down, so the server sees an
// orderly end of the stream after the message.
void end_connection(socket_t *s) {
    discard_waiting(*s);
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

// Sends one message per tick over an open connection until the pass ends: after the first
// message in close-after-send mode, at a failed send in either mode, or once the messages left
// to send (counting down from *left when it is above 0) are sent. The socket is closed and the
// socket library stopped on the way out.
PassEnd send_messages(socket_t s, const UnitRun &run, UnitMessages &messages, long long *left) {
    const int data_type = run.config.data_type;
    char message[MAX_MESSAGE_LENGTH + 1];
    for (;;) {
        const int length = messages.next(message, run.config.name.c_str(), data_type);
        if (send_all(s, message, length, SEND_TIMEOUT_MS) == SOCKET_FAILED) {
            print_line(ConsoleLine::send_failed, last_socket_error());
            close_connection(&s);
            stop_sockets();
            return PassEnd::failed;
        }
        print_echo(data_type, message, length);
        const bool last = *left > 0 && --*left == 0;
        if (!last)
            pause_connected(s, run.interval_ms);
        if (last || !keeps_connection(data_type)) {
            if (!keeps_connection(data_type))
                print_line(ConsoleLine::closing);
            end_connection(&s);
            stop_sockets();
            return last ? PassEnd::all_sent : PassEnd::closed;
        }
    }
}

} // namespace

void run_connection_loop(const UnitRun &run, UnitMessages &messages) {
    long long left = run.count;
    for (;;) { // one pass per connection; every failure is waited out, then tried again
        socket_t s = NO_SOCKET;
        if (!open_connection(run.config, &s)) {
            sleep_ms(RETRY_PAUSE_MS);
            continue;
        }
        switch (send_messages(s, run, messages, &left)) {
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

bool write_messages(FILE *out, const UnitRun &run, UnitMessages &messages) {
    char message[MAX_MESSAGE_LENGTH + 1];
    for (long long sent = 0; run.count == 0 || sent < run.count; ++sent) {
        const int length = messages.next(message, run.config.name.c_str(), run.config.data_type);
        if (std::fwrite(message, 1, static_cast<size_t>(length), out) !=
                static_cast<size_t>(length) ||
            std::fflush(out) != 0)
            return false;
    }
    return true;
}

} // namespace vandry

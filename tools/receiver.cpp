// vandry-receiver: a TCP server for the telemetry unit. It listens on an address and port,
// serves any number of connections at once from one thread (poll), and prints every message
// that arrives, checked byte for byte, with the connection that it came on.
//
//   vandry-receiver [--mode=auto|keep-open|close-after-send] [address [port]]
//
// Defaults: 127.0.0.1, port 5000. Port 0 takes a free port; the "listening on" line tells which.
// --mode says how connections are framed. auto (the default): every piece ended by CR LF is a
// keep-open message, and a connection that carried nothing else is one close-after-send message.
// close-after-send: the whole content of each connection is one message, so a stray CR LF shows.
// keep-open: bytes left when a connection closes are a keep-open message without its CR LF.
// Every line of output is flushed as soon as it is printed. SIGINT or SIGTERM ends it.

// ---- Platform: everything that differs between Windows and POSIX is in this section. ----
#if defined(_WIN32) && !defined(_WIN32_WINNT)
#define _WIN32_WINNT 0x0600 // WSAPoll and inet_ntop
#endif
#include "platform.h"

#ifdef _WIN32
using poll_count = ULONG;
inline int poll_sockets(pollfd *fds, poll_count count, int timeout_ms) {
    return WSAPoll(fds, count, timeout_ms);
}
// Windows lets SO_REUSEADDR take over a port that another program is listening on, and it
// needs no option to bind again at once after a restart: it is not set there.
inline void reuse_address(SOCKET) {}
inline std::string error_text(int code) {
    return "error " + std::to_string(code);
}
#else
#include <arpa/inet.h>
#include <cstring>
#include <poll.h>
using poll_count = nfds_t;
inline int poll_sockets(pollfd *fds, poll_count count, int timeout_ms) {
    return poll(fds, count, timeout_ms);
}
inline void reuse_address(SOCKET s) {
    const int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}
inline std::string error_text(int code) {
    return "error " + std::to_string(code) + " (" + std::strerror(code) + ")";
}
#endif
// ---- End of the platform section. ----

#include "message_check.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

using namespace vandry_check;

std::atomic<bool> stop_requested{false};

extern "C" void on_stop_signal(int) {
    stop_requested = true;
}

struct Connection {
    SOCKET socket;
    int id;
    std::string peer;
    Splitter splitter;
    unsigned long long messages = 0;
    unsigned long long malformed = 0;
    unsigned long long bytes = 0;
};

struct Totals {
    unsigned long long connections = 0;
    unsigned long long messages = 0;
    unsigned long long malformed = 0;
};

void print_message(Connection &c, const Message &m, Totals &totals) {
    const Verdict v = check_message(m.bytes, m.mode);
    ++c.messages;
    ++totals.messages;
    if (v.ok) {
        report("[conn %d %s] %s  (%s, %s, seq %d, %llu bytes)\n", c.id, c.peer.c_str(),
               escape(std::string_view(m.bytes).substr(0, v.text_length)).c_str(),
               layout_name(v.layout), mode_name(v.mode), v.sequence,
               static_cast<unsigned long long>(m.bytes.size()));
    } else {
        ++c.malformed;
        ++totals.malformed;
        report("MALFORMED on conn %d: %s: %s\n", c.id, v.error.c_str(), escape(m.bytes).c_str());
    }
}

// The connection has ended: its last message, if any bytes are left, then the closing line.
void close_connection(Connection &c, const char *how, Totals &totals) {
    if (std::optional<Message> last = c.splitter.finish())
        print_message(c, *last, totals);
    closesocket(c.socket);
    report("connection %d closed%s (%llu messages, %llu malformed, %llu bytes)\n", c.id, how,
           c.messages, c.malformed, c.bytes);
}

std::string peer_text(const sockaddr_in &addr) {
    char host[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &addr.sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(addr.sin_port));
}

SOCKET open_listener(const char *address, const char *port) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *result = nullptr;
    const int rc = getaddrinfo(address, port, &hints, &result);
    if (rc != 0) {
        std::fprintf(stderr, "vandry-receiver: cannot resolve %s port %s: %s\n", address, port,
                     gai_strerror(rc));
        return INVALID_SOCKET;
    }
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        std::fprintf(stderr, "vandry-receiver: socket: %s\n",
                     error_text(WSAGetLastError()).c_str());
        freeaddrinfo(result);
        return INVALID_SOCKET;
    }
    reuse_address(s);
    if (bind(s, result->ai_addr, static_cast<int>(result->ai_addrlen)) == SOCKET_ERROR ||
        listen(s, SOMAXCONN) == SOCKET_ERROR) {
        std::fprintf(stderr, "vandry-receiver: cannot listen on %s port %s: %s\n", address, port,
                     error_text(WSAGetLastError()).c_str());
        closesocket(s);
        s = INVALID_SOCKET;
    }
    freeaddrinfo(result);
    return s;
}

int usage(const char *why) {
    std::fprintf(stderr,
                 "vandry-receiver: %s\n"
                 "usage: vandry-receiver [--mode=auto|keep-open|close-after-send] "
                 "[address [port]]\n"
                 "  address defaults to 127.0.0.1, port to 5000 (0 takes a free port)\n",
                 why);
    return 2;
}

bool valid_port(const std::string &port) {
    if (port.empty() || port.size() > 5)
        return false;
    for (const char c : port)
        if (c < '0' || c > '9')
            return false;
    errno = 0;
    char *end = nullptr;
    const long value = std::strtol(port.c_str(), &end, 10);
    return errno == 0 && end != nullptr && *end == '\0' && value <= 65535;
}

struct Options {
    std::string address = "127.0.0.1";
    std::string port = "5000";
    std::optional<Mode> mode; // none: auto
};

// Fills in options from the command line. Returns 0 when the program is to go on, otherwise
// the exit status, once the usage has been printed.
int parse_arguments(int argc, char **argv, Options &options) {
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--mode=auto")
            options.mode.reset();
        else if (arg == "--mode=keep-open")
            options.mode = Mode::keep_open;
        else if (arg == "--mode=close-after-send")
            options.mode = Mode::close_after_send;
        else if (arg == "-h" || arg == "--help")
            return usage("prints every message that the telemetry unit sends, checked");
        else if (arg.rfind('-', 0) == 0)
            return usage(("unknown option " + arg).c_str());
        else
            positional.push_back(arg);
    }
    if (positional.size() > 2)
        return usage("too many arguments");
    if (!positional.empty())
        options.address = positional[0];
    if (positional.size() == 2)
        options.port = positional[1];
    if (!valid_port(options.port))
        return usage(("bad port " + options.port).c_str());
    return 0;
}

// SIGINT and SIGTERM ask the poll loop to stop. Should a handler not be taken, the signal keeps
// its default action: the receiver says so and goes on.
void catch_stop_signals() {
    if (std::signal(SIGINT, on_stop_signal) == SIG_ERR)
        std::fprintf(stderr, "vandry-receiver: cannot catch SIGINT\n");
    if (std::signal(SIGTERM, on_stop_signal) == SIG_ERR)
        std::fprintf(stderr, "vandry-receiver: cannot catch SIGTERM\n");
}

using Connections = std::vector<std::unique_ptr<Connection>>;

// Reads what has arrived on c and prints the messages that it completes. Returns true when the
// connection has ended and is closed.
bool receive(Connection &c, Totals &totals) {
    char buffer[4096];
    const auto n = recv(c.socket, buffer, static_cast<int>(sizeof buffer), 0);
    if (n > 0) {
        c.bytes += static_cast<unsigned long long>(n);
        for (const Message &m :
             c.splitter.feed(std::string_view(buffer, static_cast<std::size_t>(n))))
            print_message(c, m, totals);
        return false;
    }
    if (n == 0) {
        close_connection(c, "", totals);
        return true;
    }
    if (WSAGetLastError() != WSAEINTR) {
        close_connection(c, (" by " + error_text(WSAGetLastError())).c_str(), totals);
        return true;
    }
    return false;
}

void accept_connection(SOCKET listener, std::optional<Mode> mode, Connections &connections,
                       Totals &totals) {
    sockaddr_in peer{};
    socklen_t peer_len = sizeof peer;
    const SOCKET s = accept(listener, reinterpret_cast<sockaddr *>(&peer), &peer_len);
    if (s == INVALID_SOCKET) {
        report("accept failed: %s\n", error_text(WSAGetLastError()).c_str());
        pause_ms(100); // e.g. out of descriptors: do not spin on a listener kept ready
        return;
    }
    auto c = std::make_unique<Connection>(
        Connection{s, static_cast<int>(++totals.connections), peer_text(peer), Splitter(mode)});
    report("connection %d opened from %s\n", c->id, c->peer.c_str());
    connections.push_back(std::move(c));
}

// Serves the listener's connections until a stop is requested or poll fails, then closes those
// still open.
void serve(SOCKET listener, std::optional<Mode> mode, Totals &totals) {
    Connections connections;
    std::vector<pollfd> fds;
    while (!stop_requested) {
        fds.assign(1, pollfd{});
        fds[0].fd = listener;
        fds[0].events = POLLIN;
        for (const auto &c : connections) {
            pollfd p{};
            p.fd = c->socket;
            p.events = POLLIN;
            fds.push_back(p);
        }
        // A timeout, so that a stop request is seen even where a signal does not cut the wait.
        const int ready = poll_sockets(fds.data(), static_cast<poll_count>(fds.size()), 250);
        if (ready == SOCKET_ERROR) {
            if (WSAGetLastError() == WSAEINTR)
                continue;
            std::fprintf(stderr, "vandry-receiver: poll: %s\n",
                         error_text(WSAGetLastError()).c_str());
            break;
        }
        if (ready == 0)
            continue;

        // Connections first, in the order in which they were accepted; fds[i + 1] is
        // connections[i]. Closed ones are removed afterwards.
        std::vector<bool> ended(connections.size(), false);
        for (std::size_t i = 0; i < connections.size(); ++i)
            if ((fds[i + 1].revents & (POLLIN | POLLHUP | POLLERR)) != 0)
                ended[i] = receive(*connections[i], totals);
        for (std::size_t i = connections.size(); i-- > 0;)
            if (ended[i])
                connections.erase(connections.begin() + static_cast<std::ptrdiff_t>(i));

        if (fds[0].revents & POLLIN)
            accept_connection(listener, mode, connections, totals);
    }

    for (const auto &c : connections)
        close_connection(*c, " by the receiver", totals);
}

} // namespace

int main(int argc, char **argv) {
    Options options;
    if (const int status = parse_arguments(argc, argv, options); status != 0)
        return status;

    WSADATA wsaData;
    if (const int rc = WSAStartup(MAKEWORD(2, 2), &wsaData); rc != 0) {
        std::fprintf(stderr, "vandry-receiver: WSAStartup failed with error: %d\n", rc);
        return 1;
    }
    const SOCKET listener = open_listener(options.address.c_str(), options.port.c_str());
    if (listener == INVALID_SOCKET) {
        WSACleanup();
        return 1;
    }
    sockaddr_in bound{};
    socklen_t bound_len = sizeof bound;
    getsockname(listener, reinterpret_cast<sockaddr *>(&bound), &bound_len);
    catch_stop_signals();
    report("vandry-receiver listening on %s (framing: %s)\n", peer_text(bound).c_str(),
           options.mode ? mode_name(*options.mode) : "auto");

    Totals totals;
    serve(listener, options.mode, totals);

    closesocket(listener);
    WSACleanup();
    report("vandry-receiver stopped: %llu connections, %llu messages, %llu malformed\n",
           totals.connections, totals.messages, totals.malformed);
    return 0;
}

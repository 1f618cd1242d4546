// Where the fleet's host differs between Windows and POSIX: descriptor limits, the local port
// range, whether the console is a terminal, and socket details that Asio leaves to the caller.
#ifndef VANDRY_FLEET_PLATFORM_H
#define VANDRY_FLEET_PLATFORM_H

#include <cstdio>
#include <fstream>

#ifdef _WIN32
#include <io.h>
#include <winsock2.h>
#else
#include <cerrno>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

// Open files a process may hold after raising its soft limit as far as the hard one allows;
// -1 when there is no such limit (Windows: sockets are not counted against one).
inline long long raise_open_file_limit() {
#ifdef _WIN32
    return -1;
#else
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return limit.rlim_cur == RLIM_INFINITY ? -1 : static_cast<long long>(limit.rlim_cur);
#endif
}

constexpr const char RAISE_OPEN_FILE_LIMIT_HINT[] =
    "raise the hard limit (ulimit -Hn as root, LimitNOFILE= for a service, nofile in "
    "/etc/security/limits.conf) or split the fleet with --shard";

// Local ports available to outgoing connections from one address to one server.
inline long long local_port_count() {
#ifdef _WIN32
    return 16384; // 49152-65535
#else
    std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
    long long low = 0, high = 0;
    if (range >> low >> high && high >= low)
        return high - low + 1;
    return 28232;
#endif
}

// Seconds that a closed connection holds its local port.
constexpr int TIME_WAIT_SECONDS = 60;

inline bool console_is_terminal() {
#ifdef _WIN32
    return _isatty(_fileno(stdout)) != 0;
#else
    return isatty(fileno(stdout)) != 0;
#endif
}

// The code printed for a send that has not completed within the send time-out, as the single
// unit prints it.
#ifdef _WIN32
constexpr int SEND_TIMEOUT_ERROR = WSAETIMEDOUT;
#else
constexpr int SEND_TIMEOUT_ERROR = EAGAIN;
#endif

// A socket bound to a source address takes its port only at connect time, so that the port may
// be shared with connections to other servers (Linux); elsewhere there is nothing to do.
template <class NativeSocket> void bind_address_without_port([[maybe_unused]] NativeSocket s) {
#ifdef IP_BIND_ADDRESS_NO_PORT
    const int on = 1;
    setsockopt(s, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
#endif
}

#endif

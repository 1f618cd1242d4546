#include "platform/host.h"

#ifdef _WIN32
#include <io.h>
#include <stdio.h>
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#endif

namespace vandry::platform {

#ifdef _WIN32

long long raise_open_file_limit() {
    return -1; // sockets count against no open-file limit
}

long long local_port_count() {
    return 16384; // 49152-65535
}

bool console_is_terminal() {
    return _isatty(_fileno(stdout)) != 0;
}

std::string resolver_error_text(int code) {
    return gai_strerrorA(code);
}

void bind_address_without_port(std::uintptr_t) {}

bool reuse_listening_address() {
    return false;
}

int listen_backlog() {
    return SOMAXCONN;
}

#else

long long raise_open_file_limit() {
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
}

long long local_port_count() {
    std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
    long long low = 0, high = 0;
    if (range >> low >> high && high >= low)
        return high - low + 1;
    return 28232; // Linux's default, 32768-60999
}

bool console_is_terminal() {
    return isatty(fileno(stdout)) != 0;
}

std::string resolver_error_text(int code) {
    return gai_strerror(code);
}

void bind_address_without_port([[maybe_unused]] std::uintptr_t native_socket) {
#ifdef IP_BIND_ADDRESS_NO_PORT
    const int on = 1;
    setsockopt(static_cast<int>(native_socket), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on,
               sizeof on);
#endif
}

bool reuse_listening_address() {
    return true;
}

int listen_backlog() {
    std::ifstream limit("/proc/sys/net/core/somaxconn");
    int backlog = 0;
    return limit >> backlog && backlog > 0 ? backlog : SOMAXCONN;
}

#endif

} // namespace vandry::platform

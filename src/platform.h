// The one place where Windows and POSIX differ. The socket code is written against the
// Winsock 2 names; on POSIX systems they are mapped onto BSD sockets here, where starting and
// shutting down the socket library does nothing and succeeds.
#ifndef VANDRY_PLATFORM_H
#define VANDRY_PLATFORM_H

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <winsock2.h>
#include <ws2tcpip.h>

// Windows sockets raise no signal on a closed connection.
constexpr int SEND_FLAGS = 0;
inline void no_sigpipe(SOCKET) {}

// A Windows process gets its standard handles from its parent; none can be taken by a socket.
inline void ensure_standard_streams() {}

// Bytes pass a stream unchanged: text mode would turn each LF into CR LF (and stop reading at
// 0x1A), and the messages on it are to be exactly those of the wire.
inline void set_binary_mode(FILE *stream) {
    _setmode(_fileno(stream), _O_BINARY);
}

// Bytes received and not yet read; 0 when none, or when the socket cannot tell.
inline unsigned long bytes_waiting(SOCKET s) {
    u_long count = 0;
    return ioctlsocket(s, FIONREAD, &count) == 0 ? count : 0;
}

// Waits up to ms milliseconds for received bytes, an end of stream or an error.
inline bool wait_readable(SOCKET s, int ms) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval limit{ms / 1000, (ms % 1000) * 1000};
    return select(0, &readable, nullptr, nullptr, &limit) > 0;
}

// A blocking send gives up after ms milliseconds (at least 1) with WSAETIMEDOUT.
inline void set_send_timeout(SOCKET s, int ms) {
    const DWORD timeout = static_cast<DWORD>(ms);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char *>(&timeout),
               sizeof timeout);
}
// The error of a send that ran out of time.
constexpr int SEND_TIMED_OUT = WSAETIMEDOUT;

constexpr char DIR_SEPARATOR = '\\';

// The C runtime whose rand() this build's std::rand is: a fleet unit's stream by default.
constexpr const char NATIVE_CRT_RAND[] = "msvcrt";

// Sockets count against no open-file limit on Windows: -1, no limit.
inline long long raise_open_file_limit() {
    return -1;
}

// Local ports for outgoing connections from one address to one server: 49152-65535.
inline long long local_port_count() {
    return 16384;
}

inline bool console_is_terminal() {
    return _isatty(_fileno(stdout)) != 0;
}

// Windows lets SO_REUSEADDR take over a port that another program listens on, and needs no
// option to bind again at once after a restart.
constexpr bool REUSE_LISTENING_ADDRESS = false;

inline char *current_dir(char *buf, size_t size) {
    return _getcwd(buf, static_cast<int>(size));
}

#else

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>
#include <unistd.h>

using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;
constexpr int WSAEINTR = EINTR;

struct WSADATA {
    int unused;
};
inline unsigned short MAKEWORD(int low, int high) {
    return static_cast<unsigned short>((low & 0xff) | ((high & 0xff) << 8));
}
inline int WSAStartup(unsigned short, WSADATA *) {
    return 0;
}
inline int WSACleanup() {
    return 0;
}
inline int WSAGetLastError() {
    return errno;
}
inline int closesocket(SOCKET s) {
    return close(s);
}
constexpr int SD_SEND = SHUT_WR;

// Started with a standard descriptor closed, the program would hand that number to the next
// file or socket it opens, and the console would write into it: each closed one of 0, 1 and 2
// is opened on the null device before anything else is opened.
inline void ensure_standard_streams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free number, which is fd, since the ones below it are open by now.
        const int opened = open("/dev/null", O_RDWR);
        if (opened > 2)
            close(opened);
    }
}

// POSIX streams carry bytes unchanged.
inline void set_binary_mode(FILE *) {}

// Bytes received and not yet read; 0 when none, or when the socket cannot tell.
inline unsigned long bytes_waiting(SOCKET s) {
    int count = 0;
    return ioctl(s, FIONREAD, &count) == 0 && count > 0 ? static_cast<unsigned long>(count) : 0;
}

// Waits up to ms milliseconds for received bytes, an end of stream or an error.
inline bool wait_readable(SOCKET s, int ms) {
    pollfd p{s, POLLIN, 0};
    return poll(&p, 1, ms) > 0;
}

// A blocking send gives up after ms milliseconds (at least 1) with EAGAIN / EWOULDBLOCK.
inline void set_send_timeout(SOCKET s, int ms) {
    timeval timeout{};
    timeout.tv_sec = ms / 1000;
    timeout.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}
// The error of a send that ran out of time.
constexpr int SEND_TIMED_OUT = EAGAIN;
inline void WSASetLastError(int error) {
    errno = error;
}

// A write to a connection that the peer has closed must come back as an error, not as a
// SIGPIPE that ends the process.
#ifdef MSG_NOSIGNAL
constexpr int SEND_FLAGS = MSG_NOSIGNAL;
#else
constexpr int SEND_FLAGS = 0;
#endif
inline void no_sigpipe([[maybe_unused]] SOCKET s) {
#ifdef SO_NOSIGPIPE
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
}

constexpr char DIR_SEPARATOR = '/';

// The C runtime whose rand() a fleet unit reproduces by default (the GNU C library's on Linux).
constexpr const char NATIVE_CRT_RAND[] = "glibc";

// Every connection holds a descriptor: the soft limit of open files (often 1024) is raised to
// the hard limit. Returns the limit now in force, -1 when there is none.
inline long long raise_open_file_limit() {
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

// Local ports for outgoing connections from one address to one server.
inline long long local_port_count() {
    std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
    long long low = 0, high = 0;
    if (range >> low >> high && high >= low)
        return high - low + 1;
    return 28232; // Linux's default, 32768-60999
}

inline bool console_is_terminal() {
    return isatty(fileno(stdout)) != 0;
}

// A listener restarted at once must be able to bind its port again.
constexpr bool REUSE_LISTENING_ADDRESS = true;

inline char *current_dir(char *buf, size_t size) {
    return getcwd(buf, size);
}

#endif

// The working directory of the process, however long it is; empty when it cannot be had.
inline std::string working_directory() {
    std::string dir(256, '\0');
    for (;;) {
        if (current_dir(dir.data(), dir.size()) != nullptr) {
            dir.resize(std::char_traits<char>::length(dir.c_str()));
            return dir;
        }
        if (errno != ERANGE || dir.size() > (1u << 24))
            return std::string();
        dir.resize(dir.size() * 2);
    }
}

inline void pause_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// printf-like functions whose formats and arguments the compiler checks.
#if defined(__GNUC__) || defined(__clang__)
#define PRINTF_LIKE(format_index, first_arg)                                                       \
    __attribute__((format(printf, format_index, first_arg)))
#else
#define PRINTF_LIKE(format_index, first_arg)
#endif

// The console is the program's log and is often a pipe or a file: every report reaches it
// whole as soon as it is printed.
inline void report_args(FILE *console, const char *format, va_list args) {
    (void)std::vfprintf(console, format, args); // a console that fails has no one to tell
    std::fflush(console);
}

PRINTF_LIKE(2, 3) inline void report_to(FILE *console, const char *format, ...) {
    va_list args;
    va_start(args, format);
    report_args(console, format, args);
    va_end(args);
}

PRINTF_LIKE(1, 2) inline void report(const char *format, ...) {
    va_list args;
    va_start(args, format);
    report_args(stdout, format, args);
    va_end(args);
}

// Seconds that a closed connection holds its local port (TIME_WAIT).
constexpr int TIME_WAIT_SECONDS = 60;

// A socket bound to a source address takes its port only at connect time, so that the port may
// be shared with connections to other servers (Linux); elsewhere there is nothing to do.
template <class NativeSocket> void bind_address_without_port([[maybe_unused]] NativeSocket s) {
#ifdef IP_BIND_ADDRESS_NO_PORT
    const int on = 1;
    setsockopt(s, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
#endif
}

#endif

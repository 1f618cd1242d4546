// The one place where Windows and POSIX differ for the unit: the socket calls under neutral
// names, and the few process facts that differ (standard streams, binary mode, the working
// directory). Winsock needs starting and stopping; on POSIX both do nothing and succeed.
#ifndef VANDRY_PLATFORM_PLATFORM_H
#define VANDRY_PLATFORM_PLATFORM_H

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX // std::min and std::max, not the macros
#endif
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#endif

namespace vandry::platform {

// A file as the system knows it, whatever name it is reached by.
struct FileId {
    unsigned long long device = 0, number = 0;
};

#ifdef _WIN32

using socket_t = SOCKET;
constexpr bool IS_WINDOWS = true;
constexpr char DIR_SEPARATOR = '\\';
constexpr int SEND_FLAGS = 0; // Windows sockets raise no signal on a closed connection
constexpr int SHUT_SENDING = SD_SEND;
constexpr int ERROR_INTERRUPTED = WSAEINTR;
constexpr int ERROR_TIMED_OUT = WSAETIMEDOUT;     // a send that ran out of time
constexpr int ERROR_WOULD_BLOCK = WSAEWOULDBLOCK; // nothing to receive yet

inline int start_sockets() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
}
inline void stop_sockets() {
    WSACleanup();
}
inline int last_socket_error() {
    return WSAGetLastError();
}
inline void set_last_socket_error(int error) {
    WSASetLastError(error);
}
inline void close_socket(socket_t s) {
    closesocket(s);
}
inline void no_sigpipe(socket_t) {}

// Receives at most length bytes without waiting: the count, 0 at the end of the stream, or
// SOCKET_FAILED (ERROR_WOULD_BLOCK when nothing has arrived).
inline int receive_waiting(socket_t s, char *bytes, int length) {
    u_long on = 1;
    u_long off = 0;
    ioctlsocket(s, FIONBIO, &on);
    const int got = recv(s, bytes, length, 0);
    const int error = WSAGetLastError();
    ioctlsocket(s, FIONBIO, &off);
    WSASetLastError(error);
    return got;
}

// Waits up to ms milliseconds for received bytes, an end of stream or an error.
inline bool wait_readable(socket_t s, int ms) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval limit{ms / 1000, (ms % 1000) * 1000};
    return select(0, &readable, nullptr, nullptr, &limit) > 0;
}

// A blocking send gives up after ms milliseconds (at least 1) with ERROR_TIMED_OUT.
inline void set_send_timeout(socket_t s, int ms) {
    const DWORD timeout = static_cast<DWORD>(ms);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char *>(&timeout),
               sizeof timeout);
}

// A Windows process gets its standard handles from its parent; none can be taken by a socket.
inline void ensure_standard_streams() {}

// A write past a file-size limit fails with an error (there is no such signal here).
inline void file_size_limit_fails_writes() {}

// Bytes pass the stream unchanged: text mode would turn each LF into CR LF.
inline void set_binary_mode(FILE *stream) {
    _setmode(_fileno(stream), _O_BINARY);
}

inline char *current_dir(char *buf, size_t size) {
    return _getcwd(buf, static_cast<int>(size));
}

// Which file a path names: the volume and the file's index, the same under every name.
inline bool file_id(const std::string &path, FileId *id) {
    const HANDLE file =
        CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = GetFileInformationByHandle(file, &info) != 0;
    CloseHandle(file);
    if (!known)
        return false;
    id->device = info.dwVolumeSerialNumber;
    id->number = (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

#else

using socket_t = int;
constexpr socket_t INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;
constexpr bool IS_WINDOWS = false;
constexpr char DIR_SEPARATOR = '/';
// A write to a connection that the peer has closed comes back as an error, not as SIGPIPE.
#ifdef MSG_NOSIGNAL
constexpr int SEND_FLAGS = MSG_NOSIGNAL;
#else
constexpr int SEND_FLAGS = 0;
#endif
constexpr int SHUT_SENDING = SHUT_WR;
constexpr int ERROR_INTERRUPTED = EINTR;
constexpr int ERROR_TIMED_OUT = EAGAIN;
constexpr int ERROR_WOULD_BLOCK = EWOULDBLOCK;

inline int start_sockets() {
    return 0;
}
inline void stop_sockets() {}
inline int last_socket_error() {
    return errno;
}
inline void set_last_socket_error(int error) {
    errno = error;
}
inline void close_socket(socket_t s) {
    close(s);
}
inline void no_sigpipe([[maybe_unused]] socket_t s) {
#ifdef SO_NOSIGPIPE
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
}

inline int receive_waiting(socket_t s, char *bytes, int length) {
    return static_cast<int>(recv(s, bytes, static_cast<size_t>(length), MSG_DONTWAIT));
}

inline bool wait_readable(socket_t s, int ms) {
    pollfd p{s, POLLIN, 0};
    return poll(&p, 1, ms) > 0;
}

inline void set_send_timeout(socket_t s, int ms) {
    timeval timeout{};
    timeout.tv_sec = ms / 1000;
    timeout.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

// Started with a standard descriptor closed, the program would hand that number to the next
// file or socket it opens, and the console would write into it: each closed one of 0, 1 and 2
// is opened on the null device before anything else is opened.
inline void ensure_standard_streams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        const int opened = open("/dev/null", O_RDWR); // the lowest free number: fd
        if (opened > 2)
            close(opened);
    }
}

inline void set_binary_mode(FILE *) {}

// A write past a file-size limit (ulimit -f) fails with EFBIG, to be said, instead of SIGXFSZ
// ending the program without a word.
inline void file_size_limit_fails_writes() {
    (void)std::signal(SIGXFSZ, SIG_IGN);
}

inline char *current_dir(char *buf, size_t size) {
    return getcwd(buf, size);
}

// Which file a path names: its device and number, the same under every name.
inline bool file_id(const std::string &path, FileId *id) {
    struct stat facts {};
    if (stat(path.c_str(), &facts) != 0)
        return false;
    id->device = static_cast<unsigned long long>(facts.st_dev);
    id->number = static_cast<unsigned long long>(facts.st_ino);
    return true;
}

#endif

constexpr socket_t NO_SOCKET = INVALID_SOCKET;
constexpr int SOCKET_FAILED = SOCKET_ERROR;

// Closes the socket with a reset (RST) instead of an orderly end, as a failing link does.
inline void reset_socket(socket_t s) {
    linger abort{};
    abort.l_onoff = 1;
    abort.l_linger = 0;
    setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&abort), sizeof abort);
    close_socket(s);
}

// Sends at most length bytes; the count, or SOCKET_FAILED.
inline int send_some(socket_t s, const char *bytes, int length) {
    return static_cast<int>(send(s, bytes, length, SEND_FLAGS));
}

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

} // namespace vandry::platform

#endif

// Loaded with LD_PRELOAD: every connect starts 200 ms late, as to a server that far away, so
// that a program's handshakes take that long on loopback.
#include <dlfcn.h>
#include <sys/socket.h>

#include <ctime>

extern "C" int connect(int fd, const struct sockaddr *address, socklen_t length) {
    using Connect = int (*)(int, const struct sockaddr *, socklen_t);
    static const auto next_connect = reinterpret_cast<Connect>(dlsym(RTLD_NEXT, "connect"));
    const timespec pause{0, 200 * 1000 * 1000};
    nanosleep(&pause, nullptr);
    return next_connect(fd, address, length);
}

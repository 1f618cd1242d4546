// Facts of the host that the fleet and the receiver need to hold thousands of connections: the
// open-file limit, the local port range, TIME_WAIT, whether the console is a terminal, and the
// socket options that differ between Linux and Windows.
#ifndef VANDRY_PLATFORM_HOST_H
#define VANDRY_PLATFORM_HOST_H

#include <cstdint>
#include <string>

namespace vandry::platform {

// Every connection holds a descriptor: the soft limit of open files (often 1024) is raised to
// the hard limit. Returns the limit now in force, -1 when there is none (Windows).
long long raise_open_file_limit();

// Local ports for outgoing connections from one address to one server.
long long local_port_count();

// Seconds that a closed connection holds its local port (TIME_WAIT).
constexpr int TIME_WAIT_SECONDS = 60;

bool console_is_terminal();

// The resolver's own words for a code that getaddrinfo returned.
std::string resolver_error_text(int code);

// A socket bound to a source address takes its port only at connect time, so that the port may
// be shared with connections to other servers (Linux); elsewhere nothing is done.
void bind_address_without_port(std::uintptr_t native_socket);

// The longest accept queue that the kernel allows a listener.
int listen_backlog();

// Whether a listener sets SO_REUSEADDR: on POSIX it lets a restarted listener bind its port
// again at once; on Windows it would let another program take over a port that is listened on.
bool reuse_listening_address();

} // namespace vandry::platform

#endif

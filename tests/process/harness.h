// Runs the real program as a child process in a scratch working directory and talks to it
// through real TCP listeners on 127.0.0.1. Which program runs is decided by the environment:
//   VANDRY_EXE           the executable (default: the one built with these tests)
//   VANDRY_FLEET_EXE     the fleet's executable, run by the same launcher (default: the one built)
//   VANDRY_LAUNCHER      optional command put before it, split at blanks (e.g. "wine")
//   VANDRY_CRLF_CONSOLE  1: the console writes "\r\n" for "\n"; captured output is normalised
//   VANDRY_WINSOCK_CODES 1: error lines carry Winsock codes instead of errno values
#ifndef VANDRY_PROCESS_HARNESS_H
#define VANDRY_PROCESS_HARNESS_H

#include <sys/types.h>

#include <nlohmann/json.hpp>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace proc {

struct Target {
    std::vector<std::string> argv; // launcher words, then the executable
    bool crlf_console = false;
    bool winsock_codes = false;
    bool launched() const { return argv.size() > 1; }
    static const Target &get();
    static const Target &fleet(); // vandry-fleet, with the same launcher and console
};

// Error numbers that the program prints, as the target platform gives them.
int refused_code();                 // a connect to a port that nobody listens on
std::vector<int> send_lost_codes(); // a send on a connection that the peer has closed

// Replaces every "\r\n" by "\n", in one pass, when the target's console needs it.
std::string normalise_console(const std::string &raw);

// An owned file descriptor.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd &&other) noexcept : fd_(other.release()) {}
    Fd &operator=(Fd &&other) noexcept;
    ~Fd();
    int get() const { return fd_; }
    int release();

  private:
    int fd_;
};

// A fresh directory under $TMPDIR (or /tmp), removed with all its contents at the end. With a
// minimum length, nested subdirectories are added until the path is at least that long.
class ScratchDir {
  public:
    explicit ScratchDir(size_t min_path_length = 0);
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    const std::string &path() const { return path_; }
    // Writes the file whole and then renames it into place, so it never appears half written.
    void write_file(const std::string &name, const std::string &content) const;

  private:
    std::string root_, path_;
};

// The five tokens of cfg.txt on one line.
std::string cfg_text(const std::string &name, const std::string &ip, int port, int data_type,
                     int smst);

// Seconds on a steady clock, to time the program's pauses.
double seconds_now();

// Seeing an event through a pipe or a socket may come a little after it: a pause of the program
// is asserted to last at least its length less this.
constexpr double SEEN_LATE = 0.2;

// A TCP connection accepted by a Listener; everything it receives collects in data().
class Connection {
  public:
    Connection() = default;
    explicit Connection(Fd fd) : fd_(std::move(fd)) {}
    const std::string &data() const { return data_; }
    bool closed() const { return closed_; }   // the peer closed it (recv returned 0) or reset it
    bool was_reset() const { return reset_; } // it ended in an error, not an orderly end
    // Receives until ready(data()) holds or the connection ends; false when that is too late.
    bool wait_for(const std::function<bool(const std::string &)> &ready, double seconds);
    bool wait_closed(double seconds);
    // Sends all bytes, receiving meanwhile; false when the peer has not taken them in time.
    bool write(const std::string &bytes, double seconds);
    // Closes it at once with a reset (RST) instead of an orderly close.
    void reset();

  private:
    bool receive(int timeout_ms);
    Fd fd_;
    std::string data_;
    bool closed_ = false;
    bool reset_ = false;
};

// A port on 127.0.0.1, free when it was chosen, that is listened on or refuses at will. Unless
// told otherwise it listens at once; while it does not listen, connections to it are refused.
// A second socket bound to the port that never listens keeps it reserved all the time (on Linux
// a port with no listening socket refuses connections), so that stop_listening() can close the
// listening socket and listen() can bind a new one, both with SO_REUSEADDR.
class Listener {
  public:
    explicit Listener(bool listening = true);
    void listen();         // does nothing when it listens already
    void stop_listening(); // connections waiting to be accepted are reset
    int port() const { return port_; }
    // Accepts one connection into out; false on time-out or when it does not listen.
    bool accept(Connection *out, double seconds);
    // Accepts one connection and hands over its descriptor; none on time-out.
    Fd take(double seconds);
    bool pending(double seconds) const; // a connection is waiting to be accepted

  private:
    Fd hold_, fd_;
    int port_ = 0;
    bool listening_ = false;
};

// The program, started in its own process group in the given working directory with standard
// output on a pipe (standard error is left to the test run). When this goes away the group gets
// SIGTERM, and SIGKILL if the program has not ended within 10 s: a launcher such as valgrind
// writes its report on the way out. On Linux the program is also killed when the test process
// dies.
// closed: started with descriptor 1 closed, output lost; merged: standard error on the pipe too.
enum class Console { piped, closed, merged };

class Program {
  public:
    // The target's command followed by args; with an empty Target{}, args is the whole
    // command line (e.g. the receiver's).
    explicit Program(const std::string &dir, const std::vector<std::string> &args = {},
                     const Target &target = Target::get(), Console console = Console::piped);
    ~Program();
    Program(const Program &) = delete;
    Program &operator=(const Program &) = delete;
    pid_t pid() const { return pid_; }
    bool running();
    std::string status(); // "running", "exited with N" or "killed by signal N"
    // Reads the console until the program has ended; false when it runs on past the time.
    bool wait_exit(double seconds);
    // Everything printed so far, normalised.
    std::string output();
    // Everything printed so far, byte for byte (a dry run's messages).
    const std::string &raw_output();
    // Reads the console until ready(output()) holds; false when it does not within the time.
    bool wait_for(const std::function<bool(const std::string &)> &ready, double seconds);
    bool wait_for(const std::string &text, double seconds, size_t times = 1);
    bool wait_for_regex(const std::string &pattern, double seconds);
    // Reads the console for the whole time.
    void idle(double seconds);
    int open_fds() const; // entries of /proc/<pid>/fd, -1 when they cannot be read

  private:
    bool read_once(int timeout_ms);
    pid_t pid_ = -1;
    int wait_status_ = 0;
    bool reaped_ = false;
    Fd out_;
    std::string raw_;
};

// A connection to 127.0.0.1:port; invalid when it cannot be made.
Fd connect_to(int port);

// The whole response to an HTTP/1.0 GET of the target from 127.0.0.1:port, read until the
// server closes the connection; empty when none comes within the time.
std::string http_get(int port, const std::string &target, double seconds);

// Sends all bytes at once; false when the connection did not take them whole.
bool send_whole(const Fd &fd, const std::string &bytes);

// The port that a receiver says it listens on, with auto framing; 0 when it says nothing.
int listening_port(Program &receiver);

size_t count_of(const std::string &text, const std::string &needle);

// The port of the metrics endpoint that the program says it serves on; 0 when it says nothing.
int metrics_port(Program &program);

// Sends the request and reads the answer until the endpoint closes the connection; what came
// back, empty when it did not close in time.
std::string http_exchange(int port, const std::string &request, double seconds);

// The value of a series ("name" or "name{labels}") in an exposition text; -1 when it is absent.
double series_value(const std::string &exposition, const std::string &series);

// What does not add up in a fleet's report (empty when all does): its expected slots against
// written + failed + skipped + held + unsent + drops + cuts, its stations against its units,
// written and unconfirmed, and each station's ticks against its messages written.
std::string fleet_report_mismatch(const std::string &path);

// The JSON document in the file; a discarded value when there is none.
nlohmann::json json_file(const std::string &path);

// The text as a regular expression that matches exactly it.
std::string quote(const std::string &text);

// The shape of the tank report that start-up prints after the configuration echo.
extern const char TANK_REPORT[];

// What the console shows after the configuration echo and the tank report; empty until both
// have been printed.
std::string after_startup(const std::string &output);

} // namespace proc

#endif

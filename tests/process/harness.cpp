#include "harness.h"

#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#ifndef VANDRY_DEFAULT_EXE
#error "VANDRY_DEFAULT_EXE must name the program under test"
#endif
#ifndef VANDRY_DEFAULT_FLEET_EXE
#error "VANDRY_DEFAULT_FLEET_EXE must name the fleet under test"
#endif

namespace fs = std::filesystem;

namespace proc {

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string &what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

bool env_flag(const char *name) {
    const char *value = std::getenv(name);
    return value != nullptr && std::string(value) == "1";
}

// Milliseconds left until the deadline, at least 0.
int remaining_ms(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

Clock::time_point after(double seconds) {
    return Clock::now() + std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

bool readable(int fd, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    int n;
    while ((n = poll(&p, 1, timeout_ms)) < 0 && errno == EINTR) {
    }
    return n > 0;
}

// A TCP socket with SO_REUSEADDR bound to 127.0.0.1 and the port (0: a free one).
Fd bound_socket(int port) {
    Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
    if (fd.get() < 0)
        fail("socket");
    const int on = 1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        fail("binding 127.0.0.1:" + std::to_string(port));
    return fd;
}

} // namespace

namespace {

Target make_target(const char *exe_variable, const char *default_exe) {
    Target t;
    if (const char *launcher = std::getenv("VANDRY_LAUNCHER")) {
        std::istringstream words(launcher);
        for (std::string word; words >> word;)
            t.argv.push_back(word);
    }
    const char *exe = std::getenv(exe_variable);
    const fs::path program = exe != nullptr && *exe != '\0' ? exe : default_exe;
    t.argv.push_back(fs::absolute(program).string());
    t.crlf_console = env_flag("VANDRY_CRLF_CONSOLE");
    t.winsock_codes = env_flag("VANDRY_WINSOCK_CODES");
    return t;
}

} // namespace

const Target &Target::get() {
    static const Target target = make_target("VANDRY_EXE", VANDRY_DEFAULT_EXE);
    return target;
}

const Target &Target::fleet() {
    static const Target target = make_target("VANDRY_FLEET_EXE", VANDRY_DEFAULT_FLEET_EXE);
    return target;
}

int refused_code() {
    return Target::get().winsock_codes ? 10061 : ECONNREFUSED;
}

std::vector<int> send_lost_codes() {
    if (Target::get().winsock_codes)
        return {10053, 10054}; // WSAECONNABORTED, WSAECONNRESET
    return {EPIPE, ECONNRESET};
}

std::string normalise_console(const std::string &raw) {
    if (!Target::get().crlf_console)
        return raw;
    std::string text;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n')
            ++i;
        text += raw[i];
    }
    return text;
}

std::string quote(const std::string &text) {
    static const std::regex meta(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(text, meta, R"(\$&)");
}

const char TANK_REPORT[] =
    R"(tank_height=\d\.\d\d   emp=\d\.\d\d  min_level = \d\.\d\d  max_level=\d\.\d\d  \n\n)"
    R"(n_fill=\d+   n_fall = \d+  n_high=\d+  n_low=\d+   \n\n)";

std::string after_startup(const std::string &output) {
    static const std::regex startup(std::string(R"(cfg: [^\n]* \n)") + TANK_REPORT);
    std::smatch m;
    return std::regex_search(output, m, startup) ? m.suffix().str() : std::string();
}

Fd connect_to(int port) {
    Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        return Fd();
    return fd;
}

std::string http_get(int port, const std::string &target, double seconds) {
    return http_exchange(port, "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n", seconds);
}

bool send_whole(const Fd &fd, const std::string &bytes) {
    return send(fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
}

int listening_port(Program &receiver) {
    const std::string listening =
        "listening on 127\\.0\\.0\\.1:([0-9]+) \\(framing: auto[^)]*\\)\n";
    std::smatch found;
    const std::string head =
        receiver.wait_for_regex(listening, 10) ? receiver.output() : std::string();
    return std::regex_search(head, found, std::regex(listening)) ? std::stoi(found[1]) : 0;
}

int metrics_port(Program &program) {
    const std::string line = "metrics on http://127\\.0\\.0\\.1:([0-9]+)/metrics\n";
    std::smatch found;
    const std::string head = program.wait_for_regex(line, 10) ? program.output() : std::string();
    return std::regex_search(head, found, std::regex(line)) ? std::stoi(found[1]) : 0;
}

std::string http_exchange(int port, const std::string &request, double seconds) {
    Connection c(connect_to(port));
    c.write(request, seconds); // the endpoint may close before taking all of it
    return c.wait_closed(seconds) ? c.data() : std::string();
}

double series_value(const std::string &exposition, const std::string &series) {
    const size_t at = exposition.find("\n" + series + " ");
    return at == std::string::npos ? -1 : std::stod(exposition.substr(at + series.size() + 2));
}

size_t count_of(const std::string &text, const std::string &needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size()))
        ++n;
    return n;
}

Fd &Fd::operator=(Fd &&other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            close(fd_);
        fd_ = other.release();
    }
    return *this;
}

Fd::~Fd() {
    if (fd_ >= 0)
        close(fd_);
}

int Fd::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

ScratchDir::ScratchDir(size_t min_path_length) {
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vandry-process-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr)
        fail("mkdtemp");
    root_ = path_ = pattern;
    for (int i = 0; path_.size() < min_path_length; ++i)
        path_ += "/" + std::to_string(i) + std::string(200, 'd');
    fs::create_directories(path_);
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

void ScratchDir::write_file(const std::string &name, const std::string &content) const {
    const std::string part = path_ + "/." + name + ".part";
    {
        std::ofstream out(part, std::ios::binary);
        out << content;
        if (!out.flush())
            fail("writing " + part);
    }
    fs::rename(part, path_ + "/" + name);
}

std::string cfg_text(const std::string &name, const std::string &ip, int port, int data_type,
                     int smst) {
    return name + " " + ip + " " + std::to_string(port) + " " + std::to_string(data_type) + " " +
           std::to_string(smst) + "\n";
}

double seconds_now() {
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

bool Connection::receive(int timeout_ms) {
    if (closed_ || !readable(fd_.get(), timeout_ms))
        return false;
    char buf[4096];
    const ssize_t n = recv(fd_.get(), buf, sizeof buf, 0);
    if (n > 0) {
        data_.append(buf, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
        closed_ = true;
        reset_ = n < 0;
    }
    return true;
}

bool Connection::write(const std::string &bytes, double seconds) {
    // A send buffer of fixed size, that does not grow to hold what the peer leaves unread.
    const int buffer = 64 << 10;
    setsockopt(fd_.get(), SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    const auto deadline = after(seconds);
    size_t sent = 0;
    while (sent < bytes.size() && !closed_) {
        pollfd p{fd_.get(), POLLIN | POLLOUT, 0};
        if (poll(&p, 1, remaining_ms(deadline)) <= 0 && remaining_ms(deadline) == 0)
            return false;
        if ((p.revents & (POLLIN | POLLHUP | POLLERR)) != 0)
            receive(0);
        if ((p.revents & POLLOUT) != 0) {
            const ssize_t n = send(fd_.get(), bytes.data() + sent, bytes.size() - sent,
                                   MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0)
                sent += static_cast<size_t>(n);
        }
    }
    return sent == bytes.size();
}

bool Connection::wait_for(const std::function<bool(const std::string &)> &ready, double seconds) {
    const auto deadline = after(seconds);
    while (!ready(data_)) {
        const int left = remaining_ms(deadline);
        if (closed_ || left == 0 || !receive(left))
            return ready(data_);
    }
    return true;
}

bool Connection::wait_closed(double seconds) {
    const auto deadline = after(seconds);
    while (!closed_ && receive(remaining_ms(deadline))) {
    }
    return closed_;
}

void Connection::reset() {
    const linger abort{1, 0};
    setsockopt(fd_.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    fd_ = Fd();
    closed_ = true;
}

Listener::Listener(bool listening) : hold_(bound_socket(0)) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (getsockname(hold_.get(), reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        fail("getsockname");
    port_ = ntohs(addr.sin_port);
    if (listening)
        listen();
}

void Listener::listen() {
    if (listening_)
        return;
    fd_ = bound_socket(port_);
    if (::listen(fd_.get(), 16) != 0)
        fail("listen");
    listening_ = true;
}

void Listener::stop_listening() {
    fd_ = Fd();
    listening_ = false;
}

bool Listener::pending(double seconds) const {
    return listening_ && readable(fd_.get(), static_cast<int>(seconds * 1000));
}

Fd Listener::take(double seconds) {
    if (!pending(seconds))
        return Fd();
    Fd fd(accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (fd.get() < 0)
        fail("accept");
    return fd;
}

bool Listener::accept(Connection *out, double seconds) {
    Fd fd = take(seconds);
    if (fd.get() < 0)
        return false;
    *out = Connection(std::move(fd));
    return true;
}

Program::Program(const std::string &dir, const std::vector<std::string> &args, const Target &target,
                 Console console) {
    std::vector<char *> argv;
    for (const std::string &w : target.argv)
        argv.push_back(const_cast<char *>(w.c_str()));
    for (const std::string &w : args)
        argv.push_back(const_cast<char *>(w.c_str()));
    argv.push_back(nullptr);

    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0)
        fail("pipe");
    out_ = Fd(pipe_fds[0]);
    Fd write_end(pipe_fds[1]);
    std::fflush(nullptr);
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0)
        fail("fork");
    if (pid_ == 0) {
        // Only async-signal-safe calls from here on.
        setpgid(0, 0);
#ifdef __linux__
        // Dies with the test process, even when that is killed; it may have died already.
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent)
            _exit(125);
#else
        (void)parent;
#endif
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        sigaction(SIGPIPE, &dfl, nullptr);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        const int null_fd = open("/dev/null", O_RDONLY);
        const int out = console == Console::closed ? close(1) : dup2(write_end.get(), 1);
        const int err = console == Console::merged ? dup2(write_end.get(), 2) : 2;
        if (null_fd < 0 || dup2(null_fd, 0) < 0 || out < 0 || err < 0 || chdir(dir.c_str()) != 0)
            _exit(126);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    setpgid(pid_, pid_);
}

Program::~Program() {
    if (pid_ <= 0)
        return;
    if (!reaped_) {
        // Until it is reaped the program keeps its process id, and with it that of its group.
        kill(-pid_, SIGTERM);
        kill(pid_, SIGTERM);
        const auto deadline = after(10);
        for (;;) {
            siginfo_t info{};
            if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
                info.si_pid != 0 || remaining_ms(deadline) == 0)
                break;
            read_once(0); // a full pipe must not hold it up on its way out
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    kill(-pid_, SIGKILL); // whatever is left of the group
    kill(pid_, SIGKILL);
    if (!reaped_)
        waitpid(pid_, nullptr, 0);
}

bool Program::running() {
    if (!reaped_ && waitpid(pid_, &wait_status_, WNOHANG) == pid_)
        reaped_ = true;
    return !reaped_;
}

std::string Program::status() {
    if (running())
        return "running";
    if (WIFSIGNALED(wait_status_))
        return "killed by signal " + std::to_string(WTERMSIG(wait_status_));
    return "exited with " + std::to_string(WEXITSTATUS(wait_status_));
}

bool Program::wait_exit(double seconds) {
    const auto deadline = after(seconds);
    while (running()) {
        if (remaining_ms(deadline) == 0)
            return false;
        if (!read_once(std::min(remaining_ms(deadline), 50)))
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    output();
    return true;
}

bool Program::read_once(int timeout_ms) {
    if (!readable(out_.get(), timeout_ms))
        return false;
    char buf[4096];
    const ssize_t n = read(out_.get(), buf, sizeof buf);
    if (n > 0)
        raw_.append(buf, static_cast<size_t>(n));
    return n > 0 || (n < 0 && errno == EINTR);
}

std::string Program::output() {
    return normalise_console(raw_output());
}

const std::string &Program::raw_output() {
    while (read_once(0)) {
    }
    return raw_;
}

bool Program::wait_for(const std::function<bool(const std::string &)> &ready, double seconds) {
    const auto deadline = after(seconds);
    for (;;) {
        if (ready(output()))
            return true;
        const int left = remaining_ms(deadline);
        if (left == 0 || !read_once(left))
            return ready(output());
    }
}

bool Program::wait_for(const std::string &text, double seconds, size_t times) {
    return wait_for([&](const std::string &out) { return count_of(out, text) >= times; }, seconds);
}

bool Program::wait_for_regex(const std::string &pattern, double seconds) {
    const std::regex re(pattern);
    return wait_for([&](const std::string &out) { return std::regex_search(out, re); }, seconds);
}

void Program::idle(double seconds) {
    const auto deadline = after(seconds);
    for (int left; (left = remaining_ms(deadline)) > 0;)
        if (!read_once(left) && remaining_ms(deadline) > 0)
            break; // the pipe closed: nothing more can come
}

int Program::open_fds() const {
    std::error_code ec;
    int n = 0;
    for (fs::directory_iterator it("/proc/" + std::to_string(pid_) + "/fd", ec), end;
         !ec && it != end; it.increment(ec))
        ++n;
    return ec ? -1 : n;
}

nlohmann::json json_file(const std::string &path) {
    std::ifstream in(path);
    return nlohmann::json::parse(in, nullptr, false);
}

std::string fleet_report_mismatch(const std::string &path) {
    const nlohmann::json r = json_file(path);
    if (r.is_discarded())
        return "no report in " + path;
    const nlohmann::json faults = r.value("faults", nlohmann::json::object());
    long long slots = faults.value("drop", 0LL) + faults.value("cut", 0LL), written = 0,
              unconfirmed = 0;
    for (const char *figure : {"written", "failed", "skipped", "held", "unsent"})
        slots += r[figure].get<long long>();
    std::string text;
    for (const nlohmann::json &s : r["stations"]) {
        written += s["written"].get<long long>();
        unconfirmed += s["unconfirmed"].get<long long>();
        if (s["written"] > 0 &&
            s["last_tick"].get<long long>() - s["first_tick"].get<long long>() + 1 < s["written"])
            text += " fewer ticks than written: " + s.dump();
    }
    if (slots != r["expected"])
        text += "slots counted " + std::to_string(slots) + ", expected " + r["expected"].dump();
    if (r["stations"].size() != r["units"] || written != r["written"] ||
        unconfirmed != r["unconfirmed"])
        text += " stations: " + r["stations"].dump();
    return text;
}

} // namespace proc

#include "metrics/endpoint.h"

#include "platform/host.h"

#include <asio/signal_set.hpp>
#include <asio/write.hpp>

#include <csignal>

#include <array>
#include <deque>

namespace vandry::metrics {

using asio::ip::tcp;

std::size_t request_head_length(std::string_view received) {
    const size_t crlf = received.find("\r\n\r\n"), lf = received.find("\n\n");
    if (crlf != std::string_view::npos && (lf == std::string_view::npos || crlf + 2 <= lf))
        return crlf + 4;
    return lf == std::string_view::npos ? 0 : lf + 2;
}

namespace {

// One line of the head from at, without its line end; at moves past it.
std::string_view next_line(std::string_view head, size_t &at) {
    const size_t end = std::min(head.find('\n', at), head.size());
    std::string_view line = head.substr(at, end - at);
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    at = end + 1;
    return line;
}

} // namespace

int request_status(std::string_view head) {
    size_t at = 0;
    const std::string_view line = next_line(head, at);
    const size_t first = line.find(' '), second = line.find(' ', first + 1);
    if (first == std::string_view::npos || second == std::string_view::npos)
        return 400;
    const std::string_view method = line.substr(0, first),
                           target = line.substr(first + 1, second - first - 1),
                           version = line.substr(second + 1);
    if (method != "GET" || target.empty() || target[0] != '/' || version.size() != 8 ||
        version.substr(0, 7) != "HTTP/1." || version[7] < '0' || version[7] > '9')
        return 400;
    for (std::string_view h = next_line(head, at); !h.empty(); h = next_line(head, at))
        if (h.find(':') == std::string_view::npos)
            return 400;
    const std::string_view path = target.substr(0, target.find('?'));
    return path == "/metrics" ? 200 : 404;
}

std::string response_text(int status, const std::string &body) {
    const char *reason = status == 200   ? "OK"
                         : status == 404 ? "Not Found"
                         : status == 431 ? "Request Header Fields Too Large"
                                         : "Bad Request";
    const char *type =
        status == 200 ? "text/plain; version=0.0.4; charset=utf-8" : "text/plain; charset=utf-8";
    return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
           body;
}

// What the endpoint and its connections share, so that either may go first.
struct Endpoint::Shared {
    Render render;
    int open = 0;
    // The connections in the order they came, those that may still be waiting for a request.
    std::deque<std::weak_ptr<Connection>> arrivals;
};

struct Endpoint::Connection {
    Connection(tcp::socket s, std::shared_ptr<Shared> sh)
        : socket(std::move(s)), deadline(socket.get_executor()), shared(std::move(sh)) {
        ++shared->open;
    }
    ~Connection() { --shared->open; }
    tcp::socket socket;
    asio::steady_timer deadline;
    std::shared_ptr<Shared> shared;
    std::array<char, MAX_REQUEST_HEAD> head{};
    std::size_t received = 0;
    std::string reply;
    bool answering = false;
};

// Makes room for a newcomer when every place is taken: the oldest connection that has not yet
// sent its request is closed, so that clients holding connections open without asking keep no
// scraper out. False when every place is taken by an answer under way.
bool Endpoint::evict_oldest_waiting(Shared &shared) {
    auto &arrivals = shared.arrivals;
    while (!arrivals.empty()) {
        const std::shared_ptr<Connection> c = arrivals.front().lock();
        arrivals.pop_front();
        if (c && !c->answering) {
            asio::error_code ignored;
            c->socket.close(ignored);
            return true;
        }
    }
    return false;
}

// Forgets the arrivals at the front that are gone or answered: the list holds no more than the
// connections of the last few seconds.
void Endpoint::prune(Shared &shared) {
    auto &arrivals = shared.arrivals;
    while (!arrivals.empty()) {
        const std::shared_ptr<Connection> c = arrivals.front().lock();
        if (c && !c->answering)
            return;
        arrivals.pop_front();
    }
}

Endpoint::Endpoint(asio::io_context &io, Render render)
    : io_(io), acceptor_(io), retry_(io), shared_(std::make_shared<Shared>()) {
    shared_->render = std::move(render);
}

// The timer cancels its own wait as it goes; nothing here may throw.
Endpoint::~Endpoint() {
    asio::error_code ignored;
    acceptor_.close(ignored);
}

std::string Endpoint::listen(const MetricsOptions &o) {
    asio::error_code ec;
    const tcp::endpoint at(asio::ip::make_address(o.address, ec), o.port);
    if (!ec)
        acceptor_.open(at.protocol(), ec);
    // Where the platform lets a second listener take the port, it is not asked for.
    if (!ec && platform::reuse_listening_address())
        acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec)
        acceptor_.bind(at, ec);
    if (!ec)
        acceptor_.listen(tcp::acceptor::max_listen_connections, ec);
    if (ec) {
        close();
        return "cannot listen on " + o.address + " port " + std::to_string(o.port) + ": " +
               ec.message();
    }
    resume();
    return std::string();
}

std::string Endpoint::url() const {
    asio::error_code ec;
    const tcp::endpoint at = acceptor_.local_endpoint(ec);
    const std::string address = at.address().to_string();
    return "http://" + (at.address().is_v6() ? "[" + address + "]" : address) + ":" +
           std::to_string(at.port()) + "/metrics";
}

void Endpoint::pause() {
    accepting_ = false;
    asio::error_code ignored;
    acceptor_.cancel(ignored);
    retry_.cancel();
}

void Endpoint::resume() {
    if (!accepting_ && acceptor_.is_open()) {
        accepting_ = true;
        accept();
    }
}

void Endpoint::close() {
    pause();
    asio::error_code ignored;
    acceptor_.close(ignored);
}

void Endpoint::serve_for(long long seconds) {
    if (seconds > 0 && acceptor_.is_open()) {
        resume();
        asio::steady_timer linger(io_, std::chrono::seconds(seconds));
        // Ctrl-C or SIGTERM ends the linger early.
        asio::signal_set signals(io_, SIGINT, SIGTERM);
        linger.async_wait([this, &signals](const asio::error_code &) {
            asio::error_code ignored;
            signals.cancel(ignored);
            close();
        });
        signals.async_wait([&linger](const asio::error_code &, int) { linger.cancel(); });
        io_.restart();
        io_.run();
    }
    close();
}

void Endpoint::accept() {
    acceptor_.async_accept([this](const asio::error_code &ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !accepting_)
            return;
        if (ec) { // e.g. out of descriptors: try again shortly rather than spin
            retry_.expires_after(std::chrono::milliseconds(100));
            retry_.async_wait([this](const asio::error_code &wait_ec) {
                if (!wait_ec && accepting_)
                    accept();
            });
            return;
        }
        accept();
        prune(*shared_);
        if (shared_->open >= MAX_SCRAPERS && !evict_oldest_waiting(*shared_))
            return; // the socket closes as it goes out of scope
        auto c = std::make_shared<Connection>(std::move(socket), shared_);
        shared_->arrivals.push_back(c);
        c->deadline.expires_after(REQUEST_HEAD_TIME);
        c->deadline.async_wait([c](const asio::error_code &wait_ec) {
            asio::error_code ignored;
            if (!wait_ec)
                c->socket.close(ignored);
        });
        read_head(c);
    });
}

void Endpoint::read_head(const std::shared_ptr<Connection> &c) {
    const auto room = asio::buffer(c->head.data() + c->received, c->head.size() - c->received);
    c->socket.async_read_some(room, [c](const asio::error_code &ec, std::size_t n) {
        if (ec) {
            c->deadline.cancel();
            return;
        }
        c->received += n;
        const std::string_view got(c->head.data(), c->received);
        const std::size_t length = request_head_length(got);
        if (length > 0)
            answer(c, request_status(got.substr(0, length)));
        else if (c->received == c->head.size())
            answer(c, 431);
        else
            read_head(c);
    });
}

void Endpoint::answer(const std::shared_ptr<Connection> &c, int status) {
    c->answering = true;
    c->reply = response_text(status, status == 200 ? c->shared->render() : std::string());
    asio::async_write(c->socket, asio::buffer(c->reply), [c](const asio::error_code &ec, size_t) {
        asio::error_code ignored;
        if (ec) {
            c->socket.close(ignored);
            c->deadline.cancel();
            return;
        }
        // The rest of what the client sends is read and dropped until it closes or the deadline
        // comes: closing with input unread would reset the connection and lose the answer.
        c->socket.shutdown(tcp::socket::shutdown_send, ignored);
        discard_until_end(c);
    });
}

void Endpoint::discard_until_end(const std::shared_ptr<Connection> &c) {
    c->socket.async_read_some(asio::buffer(c->head), [c](const asio::error_code &ec, size_t) {
        if (!ec) {
            discard_until_end(c);
            return;
        }
        asio::error_code ignored;
        c->socket.close(ignored);
        c->deadline.cancel();
    });
}

} // namespace vandry::metrics

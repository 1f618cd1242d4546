// A minimal HTTP/1.x server for scrapers on a program's own Asio loop: each connection's request
// head is read into a bounded buffer under a deadline, answered with the figures rendered at
// that moment (GET /metrics) or an error status, and the connection is closed.
#ifndef VANDRY_METRICS_ENDPOINT_H
#define VANDRY_METRICS_ENDPOINT_H

#include "metrics/metrics_options.h"

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace vandry::metrics {

constexpr std::size_t MAX_REQUEST_HEAD = 8192;
constexpr auto REQUEST_HEAD_TIME = std::chrono::seconds(5);
constexpr int MAX_SCRAPERS = 16;

// The length of a request head that ends in an empty line, 0 while it has not ended.
std::size_t request_head_length(std::string_view received);

// The status that answers a complete request head: 200 for GET /metrics, 404 for another
// path, 400 for anything else (not HTTP/1.x, another method, a header line without a colon).
int request_status(std::string_view head);

// The whole response: status line, Connection: close, the body.
std::string response_text(int status, const std::string &body);

class Endpoint {
  public:
    using Render = std::function<std::string()>;
    Endpoint(asio::io_context &io, Render render);
    ~Endpoint();
    Endpoint(const Endpoint &) = delete;
    Endpoint &operator=(const Endpoint &) = delete;

    // Listens and accepts; the reason it cannot, or empty.
    std::string listen(const MetricsOptions &o);
    // "http://ADDR:PORT/metrics" with the port bound.
    [[nodiscard]] std::string url() const;
    // No accepting while paused: new scrapers wait in the listening queue.
    void pause();
    void resume();
    // Accepts again, runs the loop for this long (or until SIGINT or SIGTERM), then stops
    // listening and lets the last scrapes end.
    void serve_for(long long seconds);
    void close();

  private:
    struct Shared;
    struct Connection;
    static bool evict_oldest_waiting(Shared &shared);
    static void prune(Shared &shared);
    void accept();
    static void read_head(const std::shared_ptr<Connection> &c);
    static void answer(const std::shared_ptr<Connection> &c, int status);
    static void discard_until_end(const std::shared_ptr<Connection> &c);

    asio::io_context &io_;
    asio::ip::tcp::acceptor acceptor_;
    asio::steady_timer retry_;
    std::shared_ptr<Shared> shared_;
    bool accepting_ = false;
};

} // namespace vandry::metrics

#endif

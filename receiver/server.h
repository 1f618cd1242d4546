// The receiver's server: listens on one address and port, serves any number of connections at
// once from one thread (an Asio event loop: the cost of a message does not grow with the number
// of connections) and hands every message to the message log. With reader threads, the
// connections are read on those, each by a Server of its own, and their messages are checked on
// the accepting thread.
#ifndef VANDRY_RECEIVER_SERVER_H
#define VANDRY_RECEIVER_SERVER_H

#include "receiver/framing.h"
#include "receiver/message_log.h"
#include "receiver/readers.h"
#include "receiver/receiver_options.h"
#include "tls/tls.h"

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>

#include <array>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>

namespace vandry::receiver {

using asio::ip::tcp;

// The listening socket on the address and port given; on failure, says why and is closed.
tcp::acceptor open_listener(asio::io_context &io, const ReceiverOptions &options);

// "address:port"
std::string endpoint_text(const tcp::endpoint &endpoint);

// One accepted connection. Its pending wait owns it; the server knows it until it closes. No
// read buffer of its own: it waits until bytes are ready, and they are read into the server's
// one buffer; the messages that they complete wait in pending until handled, which the next
// read waits for. With reader threads, the reader's fields are the socket, the splitter,
// pending, bytes and the handing over; the checking thread's messages and malformed.
struct Connection : std::enable_shared_from_this<Connection> {
    Connection(tcp::socket s, unsigned long long connection_id, std::string from,
               std::optional<Mode> mode)
        : socket(std::move(s)), id(connection_id), peer(std::move(from)), splitter(mode) {}
    tcp::socket socket;
    unsigned long long id;
    std::string peer;
    Splitter splitter;
    std::deque<Message> pending;
    unsigned long long messages = 0;
    unsigned long long malformed = 0;
    unsigned long long bytes = 0;
    bool closed = false;
    bool handed_over = false;            // its messages wait for the checking: no reading
    unsigned long long bytes_handed = 0; // of bytes, those counted by the checking
    // With TLS: the session, started at the accept; the handshake's start and whether it goes
    // on; the client certificate's names; what the session waits for before it reads on.
    tls::Session session;
    std::chrono::steady_clock::time_point accepted;
    bool handshaking = false;
    std::vector<std::string> names;
    tcp::socket::wait_type waits_for = tcp::socket::wait_read;
};

class Server {
  public:
    Server(asio::io_context &io, tcp::acceptor acceptor, const ReceiverOptions &options,
           MessageLog &log);
    // A reader of the connections that checker accepts, on a thread of its own (--threads).
    Server(asio::io_context &io, Server &checker);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Accepts, and with --quiet prints the summary every second, until SIGINT or SIGTERM.
    void start();
    // Every connection speaks TLS in this context, which outlives the server; names: the
    // clients' certificates name the stations that they may send.
    void use_tls(const tls::Context &context, bool names);
    // Called when SIGINT or SIGTERM ends the serving, before the open connections close.
    std::function<void()> on_stop;

  private:
    friend class ReaderThreads;
    enum class Read { more, drained, ended };
    struct Ending {
        std::string how;
        bool reset = false;
        std::optional<Message> last; // the bytes left, if any
    };
    // What a reader hands the checking thread of one connection in one post, in order.
    struct Handover {
        std::deque<Message> messages;
        unsigned long long bytes = 0; // read since the last handover
        std::optional<Ending> end;    // the connection has ended
    };

    void accept();
    void accept_waiting();
    asio::error_code accept_one();
    void pause_accepting(const asio::error_code &ec);
    void opened(tcp::socket socket, Server &reader);
    void adopt(std::shared_ptr<Connection> c);
    void wait_for_bytes(std::shared_ptr<Connection> c);
    void read_ready(std::shared_ptr<Connection> c);
    Read receive(Connection &c);
    Read receive_tls(Connection &c);
    Read take(Connection &c, std::size_t n);
    void begin(std::shared_ptr<Connection> c);
    // Counts a handshake that succeeded (no failure) or failed.
    void count_tls(std::optional<tls::Failure> failure, bool resumed);
    // A reader's TLS is its checker's.
    [[nodiscard]] const tls::Context *tls() const {
        return checker_ != nullptr ? checker_->tls_ : tls_;
    }
    [[nodiscard]] bool identities() const {
        return checker_ != nullptr ? checker_->identities_ : identities_;
    }
    void start_handshake(std::shared_ptr<Connection> c);
    // Starts c's TLS session: false when it cannot (c is closed).
    bool open_session(Connection &c);
    void handshake(std::shared_ptr<Connection> c);
    tls::Progress advance_handshake(Connection &c);
    void handshake_failed(Connection &c, tls::Failure why, const std::string &text);
    // Once a second: the handshakes that have taken too long fail.
    void sweep_handshakes();
    // Handles c's pending messages until none is left (true) or the turn's time is up.
    bool handle_pending(Connection &c, std::chrono::steady_clock::time_point turn_end);
    void handle(Connection &c, const Message &m);
    // reset: the connection failed rather than ended in order.
    void close(Connection &c, const std::string &how, bool reset = false);
    void ended(Connection &c, const Ending &end);
    void hand_over(Connection &c, std::optional<Ending> end = std::nullopt);
    void check(Server *reader, const std::shared_ptr<Connection> &c, const Handover &h);
    void take_handover(Connection &c, const Handover &h);
    void take_held();
    [[nodiscard]] Source source_of(const Connection &c) const;
    void schedule_summary();
    void stop(Stop how);
    void take_waiting_connections();
    void read_what_arrived(Connection &c);

    // The server reads into one buffer for all connections.
    static constexpr std::size_t READ_BUFFER_BYTES = 16384;

    tcp::acceptor acceptor_;
    asio::steady_timer accept_pause_;
    asio::steady_timer summary_timer_;
    asio::steady_timer handshake_sweep_;
    const tls::Context *tls_ = nullptr;
    bool identities_ = false;
    bool sweeping_ = false; // a reader's sweep of its handshakes runs
    asio::signal_set signals_;
    std::optional<Mode> mode_;
    bool quiet_;
    MessageLog &log_;
    Totals &totals_;
    bool with_times_;
    bool csv_failed_ = false;
    bool stopping_ = false;
    std::unordered_set<Connection *> open_;
    std::array<char, READ_BUFFER_BYTES> buffer_{};
    unsigned long long failed_accepts_ = 0;
    std::chrono::steady_clock::time_point started_;
    unsigned seconds_ = 0;
    unsigned long long messages_last_second_ = 0;
    // The checker's, while the serving ends: the readers' events, until the last is in.
    struct Held {
        std::shared_ptr<Connection> connection;
        Handover handover;
    };
    std::vector<Held> held_;
    // A reader's: where its connections' events go. The checker's: its readers, if it has any.
    Server *checker_ = nullptr;
    std::unique_ptr<ReaderThreads> readers_;
};

} // namespace vandry::receiver

#endif

#include "receiver/server.h"

#include "core/console.h"
#include "platform/host.h"
#include "receiver/record_csv.h"

#include <asio/buffer.hpp>
#include <asio/post.hpp>

#include <algorithm>

namespace vandry::receiver {

namespace {

// While accepting fails (e.g. out of descriptors, the pending connection stays queued and the
// listener stays ready), accepting pauses this long instead of spinning.
constexpr std::chrono::milliseconds ACCEPT_PAUSE{100};
// A turn of the event loop accepts at most this many connections, and reads a connection at
// most this many times (into a buffer of READ_BUFFER_BYTES): every connection gets its turn.
constexpr int ACCEPTS_PER_TURN = 256;
constexpr int READS_PER_TURN = 2;
// How long one connection's messages may hold the loop before the others have their turn.
constexpr std::chrono::milliseconds TURN_TIME{5};
// A TLS handshake must end this long after its accept; the sweep finds those that do not.
constexpr std::chrono::seconds HANDSHAKE_TIME{10};
constexpr std::chrono::seconds HANDSHAKE_SWEEP{1};
// At the end of the run, a connection is read at most this many times more (a peer that still
// sends cannot hold the end up).
constexpr int READS_AT_STOP = 64;

std::string error_text(const asio::error_code &ec) {
    return "error " + std::to_string(ec.value()) + " (" + ec.message() + ")";
}

// The time of now for a CSV row.
std::string now_text() {
    using namespace std::chrono;
    return iso8601_utc(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

} // namespace

std::string endpoint_text(const tcp::endpoint &endpoint) {
    return endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
}

Server::Server(asio::io_context &io, tcp::acceptor acceptor, const ReceiverOptions &options,
               MessageLog &log)
    : acceptor_(std::move(acceptor)), accept_pause_(io), summary_timer_(io), handshake_sweep_(io),
      signals_(io, SIGINT, SIGTERM), mode_(options.mode), quiet_(options.quiet), log_(log),
      totals_(log.totals()), with_times_(!options.csv.empty()) {
    if (const unsigned readers = reader_count(options.threads); readers > 1)
        readers_ = std::make_unique<ReaderThreads>(*this, io, readers);
}

Server::Server(asio::io_context &io, Server &checker)
    : acceptor_(io), accept_pause_(io), summary_timer_(io), handshake_sweep_(io), signals_(io),
      mode_(checker.mode_), quiet_(checker.quiet_), log_(checker.log_), totals_(checker.totals_),
      with_times_(checker.with_times_), checker_(&checker) {}

Server::~Server() = default;

void Server::start() {
    signals_.async_wait([this](const asio::error_code &ec, int) {
        if (!ec)
            stop(Stop::taking_what_arrived);
    });
    if (readers_)
        readers_->start();
    accept();
    if (tls() != nullptr && !readers_) // readers sweep their own connections
        sweep_handshakes();
    if (quiet_) {
        started_ = std::chrono::steady_clock::now();
        schedule_summary();
    }
}

void Server::accept() {
    acceptor_.async_wait(tcp::acceptor::wait_read, [this](const asio::error_code &ec) {
        if (stopping_)
            return;
        if (ec)
            pause_accepting(ec);
        else
            accept_waiting();
    });
}

// Takes the connections that wait, until none is left: a full accept queue drops new ones. A
// batch at a time, so that reads of the open connections are not starved meanwhile.
void Server::accept_waiting() {
    for (int n = 0; n < ACCEPTS_PER_TURN; ++n) {
        const asio::error_code ec = accept_one();
        if (ec == asio::error::would_block || ec == asio::error::try_again) {
            accept();
            return;
        }
        if (ec) {
            pause_accepting(ec);
            return;
        }
    }
    asio::post(acceptor_.get_executor(), [this] {
        if (!stopping_)
            accept_waiting();
    });
}

// Takes one waiting connection and opens it, or says why not.
asio::error_code Server::accept_one() {
    asio::error_code ec;
    // The socket is taken on the loop of the thread that reads it.
    Server &reader = readers_ ? readers_->next() : *this;
    tcp::socket next = acceptor_.accept(reader.acceptor_.get_executor(), ec);
    if (!ec)
        opened(std::move(next), reader);
    return ec;
}

void Server::pause_accepting(const asio::error_code &ec) {
    ++totals_.accept_failures;
    if (failed_accepts_++ == 0)
        report("accept failed: %s; accepting pauses\n", error_text(ec).c_str());
    accept_pause_.expires_after(ACCEPT_PAUSE);
    accept_pause_.async_wait([this](const asio::error_code &wait_ec) {
        if (!wait_ec && !stopping_)
            accept();
    });
}

void Server::opened(tcp::socket socket, Server &reader) {
    if (failed_accepts_ != 0) {
        report("accepting again after %llu failed accepts\n", failed_accepts_);
        failed_accepts_ = 0;
    }
    asio::error_code ec;
    socket.non_blocking(true, ec);
    const tcp::endpoint peer = socket.remote_endpoint(ec);
    auto c = std::make_shared<Connection>(std::move(socket), ++totals_.connections,
                                          ec ? std::string("?") : endpoint_text(peer), mode_);
    ++totals_.open;
    if (!quiet_)
        report("connection %llu opened from %s\n", c->id, c->peer.c_str());
    reader.adopt(std::move(c));
}

// Reads c from now on on this server's loop: a reader's, after the connections handed to it
// before. A reader sweeps its own handshakes.
//
// A reader begins c only after its loop has dispatched what its other connections were ready
// for when c was accepted on the checking thread: an older connection's end (a unit closes one
// connection, then opens the next) is handed over before c's messages, as on one thread. The
// first wait for writable is that turn of the loop: it adds c to the readiness that the system
// reports, behind what is reported already, and a new socket is writable at once.
void Server::adopt(std::shared_ptr<Connection> c) {
    if (checker_ == nullptr) {
        open_.insert(c.get());
        begin(std::move(c));
        return;
    }
    asio::post(acceptor_.get_executor(), [this, c = std::move(c)]() mutable {
        open_.insert(c.get());
        if (tls() != nullptr && !sweeping_) {
            sweeping_ = true;
            sweep_handshakes();
        }
        Connection &ref = *c;
        ref.socket.async_wait(tcp::socket::wait_write,
                              [this, c = std::move(c)](const asio::error_code &) mutable {
                                  if (c->closed)
                                      return;
                                  // The bytes may be in already, their readiness reported
                                  // before: read before any wait.
                                  if (tls() != nullptr)
                                      start_handshake(std::move(c));
                                  else
                                      read_ready(std::move(c));
                              });
    });
}

// The connection's first step: its handshake, or at once its bytes.
void Server::begin(std::shared_ptr<Connection> c) {
    if (tls() != nullptr)
        start_handshake(std::move(c));
    else
        wait_for_bytes(std::move(c));
}

// The TLS figures are the checking's: a reader hands them over, before the connection's events.
void Server::count_tls(std::optional<tls::Failure> failure, bool resumed) {
    auto count = [owner = checker_ != nullptr ? checker_ : this, failure, resumed] {
        TlsTotals &t = owner->totals_.tls;
        if (failure) {
            ++t.failures[static_cast<std::size_t>(*failure)];
            return;
        }
        ++(resumed ? t.resumed : t.handshakes);
    };
    if (checker_ == nullptr)
        count();
    else
        asio::post(checker_->acceptor_.get_executor(), count);
}

void Server::use_tls(const tls::Context &context, bool names) {
    tls_ = &context;
    identities_ = names;
    totals_.tls.on = true;
}

void Server::start_handshake(std::shared_ptr<Connection> c) {
    if (open_session(*c))
        handshake(std::move(c));
}

bool Server::open_session(Connection &c) {
    c.accepted = std::chrono::steady_clock::now();
    c.handshaking = true;
    if (c.session.start_server(*tls(), c.socket.native_handle()))
        return true;
    handshake_failed(c, tls::Failure::other, c.session.failure_text());
    return false;
}

// A step of the handshake, as far as it goes without waiting; then the wait for the socket.
void Server::handshake(std::shared_ptr<Connection> c) {
    const tls::Progress progress = advance_handshake(*c);
    if (progress == tls::Progress::want_read || progress == tls::Progress::want_write) {
        Connection &ref = *c;
        ref.socket.async_wait(progress == tls::Progress::want_read ? tcp::socket::wait_read
                                                                   : tcp::socket::wait_write,
                              [this, c = std::move(c)](const asio::error_code &ec) mutable {
                                  if (c->closed)
                                      return;
                                  if (ec)
                                      handshake_failed(*c, tls::Failure::closed, error_text(ec));
                                  else
                                      handshake(std::move(c));
                              });
        return;
    }
    // Messages may have come with the handshake's last flight: read them now.
    if (progress == tls::Progress::done)
        read_ready(std::move(c));
}

// The handshake as far as it goes without waiting: done, failed (and c closed), or waiting for
// the socket.
tls::Progress Server::advance_handshake(Connection &c) {
    const tls::Progress progress = c.session.handshake();
    switch (progress) {
    case tls::Progress::want_read:
    case tls::Progress::want_write:
        break;
    case tls::Progress::ended:
        handshake_failed(c, tls::Failure::closed, "the client ended the connection");
        break;
    case tls::Progress::failed:
        handshake_failed(c, c.session.failure(), c.session.failure_text());
        break;
    case tls::Progress::done:
        c.handshaking = false;
        count_tls(std::nullopt, c.session.resumed());
        if (identities())
            c.names = c.session.peer_names();
        break;
    }
    return progress;
}

void Server::handshake_failed(Connection &c, tls::Failure why, const std::string &text) {
    count_tls(why, false);
    close(c,
          std::string(" by TLS handshake failure (") + tls::failure_name(why) + ": " + text + ")");
}

void Server::sweep_handshakes() {
    handshake_sweep_.expires_after(HANDSHAKE_SWEEP);
    handshake_sweep_.async_wait([this](const asio::error_code &ec) {
        if (ec || stopping_)
            return;
        const auto late = std::chrono::steady_clock::now() - HANDSHAKE_TIME;
        std::vector<Connection *> timed_out;
        for (Connection *c : open_)
            if (c->handshaking && c->accepted <= late)
                timed_out.push_back(c);
        for (Connection *c : timed_out)
            handshake_failed(*c, tls::Failure::timed_out, "no handshake within 10 s of the accept");
        sweep_handshakes();
    });
}

void Server::wait_for_bytes(std::shared_ptr<Connection> c) {
    Connection &ref = *c;
    ref.socket.async_wait(ref.waits_for,
                          [this, c = std::move(c)](const asio::error_code &ec) mutable {
                              if (c->closed)
                                  return;
                              if (ec)
                                  close(*c, " by " + error_text(ec), true);
                              else
                                  read_ready(std::move(c));
                          });
}

// Readiness is reported once per arrival (epoll is edge-triggered under Asio): a connection
// is read until nothing is left, but after READS_PER_TURN reads the others have their turn
// first.
void Server::read_ready(std::shared_ptr<Connection> c) {
    const auto turn_end = std::chrono::steady_clock::now() + TURN_TIME;
    for (int reads = 0; reads < READS_PER_TURN && handle_pending(*c, turn_end); ++reads) {
        switch (receive(*c)) {
        case Read::drained:
            if (!handle_pending(*c, turn_end))
                break;
            wait_for_bytes(std::move(c));
            return;
        case Read::ended:
            return;
        case Read::more:
            continue;
        }
        break;
    }
    // Handed over, c is read again when the checking has taken its messages.
    if (c->handed_over)
        return;
    asio::post(acceptor_.get_executor(), [this, c = std::move(c)]() mutable {
        if (!c->closed)
            read_ready(std::move(c));
    });
}

// Reads once what has arrived on c and handles the messages that it completes.
Server::Read Server::receive(Connection &c) {
    if (c.session.started())
        return receive_tls(c);
    asio::error_code ec;
    const std::size_t n = c.socket.read_some(asio::buffer(buffer_), ec);
    if (ec == asio::error::would_block || ec == asio::error::try_again)
        return Read::drained;
    if (ec == asio::error::interrupted)
        return Read::more;
    if (ec) {
        const bool reset = ec != asio::error::eof;
        close(c, reset ? " by " + error_text(ec) : std::string(), reset);
        return Read::ended;
    }
    return take(c, n);
}

// n bytes have come into the buffer for c: the messages that they complete wait in pending.
Server::Read Server::take(Connection &c, std::size_t n) {
    c.bytes += n;
    if (checker_ == nullptr) // a reader's bytes are counted by the checking, as it takes them
        totals_.bytes += n;
    for (Message &m : c.splitter.feed(std::string_view(buffer_.data(), n)))
        c.pending.push_back(std::move(m));
    return Read::more;
}

// Reads once through c's TLS session; a session may wait for the socket to be writable (a key
// update it answers) before it reads on.
Server::Read Server::receive_tls(Connection &c) {
    std::size_t n = 0;
    const tls::Progress progress = c.session.read(buffer_.data(), buffer_.size(), &n);
    c.waits_for =
        progress == tls::Progress::want_write ? tcp::socket::wait_write : tcp::socket::wait_read;
    switch (progress) {
    case tls::Progress::want_read:
    case tls::Progress::want_write:
        return Read::drained;
    case tls::Progress::ended:
        close(c, std::string());
        return Read::ended;
    case tls::Progress::failed:
        close(c,
              std::string(" by TLS failure (") + tls::failure_name(c.session.failure()) + ": " +
                  c.session.failure_text() + ")",
              true);
        return Read::ended;
    case tls::Progress::done:
        break;
    }
    return take(c, n);
}

bool Server::handle_pending(Connection &c, std::chrono::steady_clock::time_point turn_end) {
    if (checker_ != nullptr && !c.pending.empty()) {
        hand_over(c);
        return false;
    }
    while (!c.pending.empty() && !c.closed) {
        if (std::chrono::steady_clock::now() >= turn_end)
            return false;
        const Message m = std::move(c.pending.front());
        c.pending.pop_front();
        handle(c, m);
    }
    return true;
}

Source Server::source_of(const Connection &c) const {
    Source from;
    from.connection = c.id;
    from.peer = c.peer;
    from.time = with_times_ ? now_text() : std::string();
    from.new_connection = c.messages == 0;
    from.arrived_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
    from.names = identities() ? &c.names : nullptr;
    return from;
}

void Server::handle(Connection &c, const Message &m) {
    const Source from = source_of(c);
    ++c.messages;
    if (!log_.handle(from, m))
        ++c.malformed;
    // A recording that cannot be written ends the run, but not here: the connection being
    // read is still in use.
    if (!log_.csv_ok() && !csv_failed_) {
        csv_failed_ = true;
        asio::post(acceptor_.get_executor(), [this] {
            if (!stopping_)
                stop(Stop::at_once);
        });
    }
}

// The connection has ended: its last message, if any bytes are left, then the closing line.
void Server::close(Connection &c, const std::string &how, bool reset) {
    c.closed = true;
    if (c.session.started()) {
        if (!reset && !c.handshaking)
            c.session.close_notify();
        c.session.end();
    }
    Ending end{how, reset, c.splitter.finish()};
    asio::error_code ignored;
    c.socket.close(ignored);
    open_.erase(&c);
    if (checker_ != nullptr)
        hand_over(c, std::move(end));
    else
        ended(c, end);
}

// The checking's side of a connection's end: the messages that wait, what is left, the closing
// line.
void Server::ended(Connection &c, const Ending &end) {
    for (; !c.pending.empty(); c.pending.pop_front())
        handle(c, c.pending.front());
    if (end.last) {
        // What a reset leaves unfinished is a fragment, not a message.
        if (!end.reset || !log_.fragment(source_of(c), *end.last))
            handle(c, *end.last);
    }
    --totals_.open;
    const std::string &how = end.how;
    if (!quiet_)
        report("connection %llu closed%s (%s, %llu malformed, %s)\n", c.id, how.c_str(),
               counted(c.messages, "message").c_str(), c.malformed,
               counted(c.bytes, "byte").c_str());
}

// A reader's: c's messages that wait, and its end if it has ended, go to the checking thread in
// one post; until they are taken, c is not read, so that a flood waits in the socket rather
// than in memory.
void Server::hand_over(Connection &c, std::optional<Ending> end) {
    Handover h{std::move(c.pending), c.bytes - c.bytes_handed, std::move(end)};
    c.pending.clear();
    c.bytes_handed = c.bytes;
    c.handed_over = true;
    asio::post(checker_->acceptor_.get_executor(),
               [checker = checker_, reader = this, c = c.shared_from_this(), h = std::move(h)] {
                   checker->check(reader, c, h);
               });
}

// The checking thread takes a connection's events in the order of its reader, then lets the
// reader read it again. While the serving ends, the events wait for the readers' last ones.
void Server::check(Server *reader, const std::shared_ptr<Connection> &c, const Handover &h) {
    if (stopping_) {
        held_.push_back({c, h});
        return;
    }
    take_handover(*c, h);
    if (h.end)
        return;
    asio::post(reader->acceptor_.get_executor(), [reader, c] {
        c->handed_over = false;
        if (!c->closed)
            reader->read_ready(c);
    });
}

void Server::take_handover(Connection &c, const Handover &h) {
    totals_.bytes += h.bytes;
    for (const Message &m : h.messages)
        handle(c, m);
    if (h.end)
        ended(c, *h.end);
}

// Every reader has stopped: the events held meanwhile, in the order in which their connections
// were accepted, as one thread reads them at its end (a unit that closes one connection and
// opens the next has both end at once).
void Server::take_held() {
    std::stable_sort(held_.begin(), held_.end(), [](const Held &a, const Held &b) {
        return a.connection->id < b.connection->id;
    });
    for (const Held &held : held_)
        take_handover(*held.connection, held.handover);
    held_.clear();
}

void Server::schedule_summary() {
    // After a stall, the next whole second from the start rather than a burst of lines.
    const auto now = std::chrono::steady_clock::now();
    seconds_ = std::max<unsigned>(
        seconds_, static_cast<unsigned>((now - started_) / std::chrono::seconds(1)));
    summary_timer_.expires_at(started_ + std::chrono::seconds(seconds_ + 1));
    summary_timer_.async_wait([this](const asio::error_code &ec) {
        if (ec || stopping_)
            return;
        ++seconds_;
        const std::string losses =
            log_.planned()
                ? " lost=" + std::to_string(totals_.lost) +
                      " duplicated=" + std::to_string(totals_.duplicated) +
                      " altered=" + std::to_string(totals_.altered)
                : " gaps=" + std::to_string(totals_.gaps) + " lost=" + std::to_string(totals_.lost);
        report("receiver: t=%us connections=%llu messages/s=%llu total=%llu malformed=%llu%s\n",
               seconds_, totals_.open, totals_.messages - messages_last_second_, totals_.messages,
               totals_.malformed, losses.c_str());
        messages_last_second_ = totals_.messages;
        schedule_summary();
    });
}

// Everything ends: no more accepts or summaries, and the open connections are closed, so
// that the event loop runs out of work. At a signal, the connections that wait to be accepted
// are taken first, and what has arrived on every connection is read before it closes: a
// message that a unit sent before the end is counted, not lost.
void Server::stop(Stop how) {
    stopping_ = true;
    if (on_stop)
        on_stop();
    if (how == Stop::taking_what_arrived)
        take_waiting_connections();
    asio::error_code ignored;
    acceptor_.close(ignored);
    accept_pause_.cancel();
    summary_timer_.cancel();
    handshake_sweep_.cancel();
    signals_.cancel(ignored);
    // In the order of their accepts, as the stations opened them.
    std::vector<std::shared_ptr<Connection>> still_open;
    for (Connection *c : open_)
        still_open.push_back(c->shared_from_this());
    std::sort(still_open.begin(), still_open.end(),
              [](const auto &a, const auto &b) { return a->id < b->id; });
    for (const std::shared_ptr<Connection> &c : still_open) {
        if (how == Stop::taking_what_arrived)
            read_what_arrived(*c);
        if (!c->closed)
            close(*c, " by the receiver");
    }
    if (readers_)
        readers_->stop(how);
}

// What the listening queue holds, at most: clients that still connect cannot hold the end up.
void Server::take_waiting_connections() {
    if (!acceptor_.is_open())
        return;
    for (int taken = 0; taken < platform::listen_backlog(); ++taken)
        if (accept_one())
            return;
}

// Reads c, without waiting, as far as its bytes have arrived: the rest of its handshake, then
// its messages.
void Server::read_what_arrived(Connection &c) {
    if (tls() != nullptr) {
        if (!c.session.started() && !open_session(c))
            return;
        if (c.handshaking && advance_handshake(c) != tls::Progress::done)
            return;
    }
    for (int reads = 0; reads < READS_AT_STOP && !c.closed; ++reads) {
        const Read read = receive(c);
        handle_pending(c, std::chrono::steady_clock::time_point::max());
        if (read != Read::more)
            return;
    }
}

// The listening socket on the address and port given; on failure, says why and is closed.
tcp::acceptor open_listener(asio::io_context &io, const ReceiverOptions &options) {
    tcp::acceptor acceptor(io);
    asio::error_code ec;
    tcp::resolver resolver(io);
    const auto found =
        resolver.resolve(tcp::v4(), options.address, options.port,
                         tcp::resolver::passive | tcp::resolver::numeric_service, ec);
    if (ec || found.empty()) {
        std::fprintf(stderr, "vandry-receiver: cannot resolve %s port %s: %s\n",
                     options.address.c_str(), options.port.c_str(), error_text(ec).c_str());
        return acceptor;
    }
    const tcp::endpoint endpoint = found.begin()->endpoint();
    acceptor.open(endpoint.protocol(), ec);
    if (!ec && platform::reuse_listening_address())
        acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec)
        acceptor.bind(endpoint, ec);
    if (!ec)
        acceptor.listen(platform::listen_backlog(), ec);
    if (!ec)
        acceptor.non_blocking(true, ec); // the receiver takes waiting connections in a batch
    if (ec) {
        std::fprintf(stderr, "vandry-receiver: cannot listen on %s port %s: %s\n",
                     options.address.c_str(), options.port.c_str(), error_text(ec).c_str());
        asio::error_code ignored;
        acceptor.close(ignored);
    }
    return acceptor;
}

} // namespace vandry::receiver

// vandry-receiver: a TCP server for the telemetry unit. It listens on an address and port,
// serves any number of connections at once from one thread (an Asio event loop: the cost of a
// message does not grow with the number of connections), and prints every message that
// arrives, checked byte for byte, with the connection that it came on.
//
//   vandry-receiver [--mode=auto|keep-open|close-after-send] [--quiet] [address [port]]
//
// Defaults: 127.0.0.1, port 5000. Port 0 takes a free port; the "listening on" line tells which.
// --mode (also "--mode X") says how connections are framed. auto (the default): every piece
// ended by CR LF is a keep-open message, and a connection that carried nothing else is one
// close-after-send message. close-after-send: the whole content of each connection is one
// message, and a piece ending in CR LF is reported as a malformed one when it arrives.
// keep-open: bytes left when a connection closes are a keep-open message without its CR LF.
// Per station, across connections, the sequence numbers are followed: a message lost between
// two that arrived is reported as a gap. --quiet prints no line per message or connection, but
// one summary line per second. Every line is flushed as soon as it is printed. SIGINT or
// SIGTERM ends it with a final summary.
// --csv FILE also writes each message as a row of FILE, flushed at once. --read FILE checks a
// recording (the unit's --dry-run output, "-" for standard input) the same way, without
// listening, and ends when it is read.

#include "platform.h"

#include "message_check.h"
#include "receiver_options.h"
#include "record_csv.h"

#include <asio.hpp>

#include <array>
#include <chrono>
#include <memory>
#include <unordered_set>

namespace {

using namespace vandry_check;
using asio::ip::tcp;

// While accepting fails (e.g. out of descriptors, the pending connection stays queued and the
// listener stays ready), accepting pauses this long instead of spinning.
constexpr std::chrono::milliseconds ACCEPT_PAUSE{100};
// A turn of the event loop accepts at most this many connections, and reads a connection at
// most this many times (into a buffer of READ_BUFFER_BYTES): every connection gets its turn.
constexpr int ACCEPTS_PER_TURN = 64;
constexpr int READS_PER_TURN = 2;
constexpr std::size_t READ_BUFFER_BYTES = 16384;
// With --quiet, the first malformed messages are still shown, so that a user sees what is
// wrong; the rest are counted only.
constexpr unsigned long long MALFORMED_LINES_WHEN_QUIET = 10;

std::string error_text(const asio::error_code &ec) {
    return "error " + std::to_string(ec.value()) + " (" + ec.message() + ")";
}

std::string endpoint_text(const tcp::endpoint &endpoint) {
    return endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
}

struct Totals {
    unsigned long long connections = 0; // accepted in all
    unsigned long long open = 0;
    unsigned long long messages = 0;
    unsigned long long malformed = 0;
    unsigned long long gaps = 0;
    unsigned long long lost = 0;
};

// Where every message goes, from a connection or a recording: checked, counted, printed and
// followed per station, and written to the CSV file if there is one.
class MessageLog {
  public:
    MessageLog(bool quiet, FILE *csv) : quiet_(quiet), csv_(csv) {}

    // Handles one message that arrived on connection (0: read from a recording) from peer;
    // returns whether it is well formed. time: of its arrival, empty for a recording.
    bool handle(unsigned long long connection, const std::string &peer, const Message &m,
                const std::string &time) {
        const Verdict v = check_message(m.bytes, m.mode);
        ++totals_.messages;
        if (csv_ != nullptr && csv_ok_) {
            const std::string row =
                csv_row(time, connection != 0 ? std::to_string(connection) : "", v, m.bytes);
            csv_ok_ = std::fwrite(row.data(), 1, row.size(), csv_) == row.size() &&
                      std::fflush(csv_) == 0;
            if (!csv_ok_)
                std::fprintf(stderr, "vandry-receiver: cannot write the CSV file: no more rows\n");
        }
        // "conn N" for a connection, the file's name for a recording.
        const std::string where = connection != 0 ? "conn " + std::to_string(connection) : peer;
        if (!v.ok) {
            ++totals_.malformed;
            if (!quiet_ || totals_.malformed <= MALFORMED_LINES_WHEN_QUIET)
                report("MALFORMED on %s: %s: %s\n", where.c_str(), v.error.c_str(),
                       escape(m.bytes).c_str());
            if (quiet_ && totals_.malformed == MALFORMED_LINES_WHEN_QUIET)
                report("further malformed messages are counted only\n");
            return false;
        }
        if (!quiet_)
            report("[%s%s%s] %s  (%s, %s, seq %d, %llu bytes)\n", where.c_str(),
                   connection != 0 ? " " : "", connection != 0 ? peer.c_str() : "",
                   escape(std::string_view(m.bytes).substr(0, v.text_length)).c_str(),
                   layout_name(v.layout), mode_name(v.mode), v.sequence,
                   static_cast<unsigned long long>(m.bytes.size()));
        if (const std::optional<Gap> gap = sequences_.observe(v.station, v.sequence)) {
            ++totals_.gaps;
            totals_.lost += static_cast<unsigned long long>(gap->lost);
            report("GAP on %s: station %s expected %d, got %d (%d lost)\n", where.c_str(),
                   v.station.c_str(), gap->expected, gap->got, gap->lost);
        }
        return true;
    }

    Totals &totals() { return totals_; }
    // False once a row could not be written: the recording is incomplete.
    bool csv_ok() const { return csv_ok_; }

  private:
    bool quiet_;
    FILE *csv_;
    bool csv_ok_ = true;
    Totals totals_;
    SequenceTracker sequences_;
};

// The time of now for a CSV row.
std::string now_text() {
    using namespace std::chrono;
    return iso8601_utc(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

// One accepted connection. Its pending wait owns it; the receiver knows it until it closes.
// No read buffer of its own: it waits until bytes are ready, and they are read into the
// receiver's one buffer, whose content is handled before the next read.
struct Connection {
    Connection(tcp::socket s, unsigned long long connection_id, std::string from,
               std::optional<Mode> mode)
        : socket(std::move(s)), id(connection_id), peer(std::move(from)), splitter(mode) {}
    tcp::socket socket;
    unsigned long long id;
    std::string peer;
    Splitter splitter;
    unsigned long long messages = 0;
    unsigned long long malformed = 0;
    unsigned long long bytes = 0;
    bool closed = false;
};

class Receiver {
  public:
    Receiver(asio::io_context &io, tcp::acceptor acceptor, const ReceiverOptions &options,
             MessageLog &log)
        : acceptor_(std::move(acceptor)), accept_pause_(io), summary_timer_(io),
          signals_(io, SIGINT, SIGTERM), mode_(options.mode), quiet_(options.quiet), log_(log),
          totals_(log.totals()), with_times_(!options.csv.empty()) {}

    void start() {
        signals_.async_wait([this](const asio::error_code &ec, int) {
            if (!ec)
                stop();
        });
        accept();
        if (quiet_) {
            started_ = std::chrono::steady_clock::now();
            schedule_summary();
        }
    }

  private:
    void accept() {
        acceptor_.async_accept([this](const asio::error_code &ec, tcp::socket socket) {
            if (stopping_)
                return;
            if (ec) {
                pause_accepting(ec);
                return;
            }
            opened(std::move(socket));
            // Take those waiting too (the listener is non-blocking), so that busy connections
            // do not keep new ones waiting for one turn each.
            for (int more = 0; more < ACCEPTS_PER_TURN; ++more) {
                asio::error_code more_ec;
                tcp::socket next = acceptor_.accept(more_ec);
                if (more_ec == asio::error::would_block || more_ec == asio::error::try_again)
                    break;
                if (more_ec) {
                    pause_accepting(more_ec);
                    return;
                }
                opened(std::move(next));
            }
            accept();
        });
    }

    void pause_accepting(const asio::error_code &ec) {
        if (failed_accepts_++ == 0)
            report("accept failed: %s; accepting pauses\n", error_text(ec).c_str());
        accept_pause_.expires_after(ACCEPT_PAUSE);
        accept_pause_.async_wait([this](const asio::error_code &wait_ec) {
            if (!wait_ec && !stopping_)
                accept();
        });
    }

    void opened(tcp::socket socket) {
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
        open_.insert(c.get());
        if (!quiet_)
            report("connection %llu opened from %s\n", c->id, c->peer.c_str());
        wait_for_bytes(std::move(c));
    }

    void wait_for_bytes(std::shared_ptr<Connection> c) {
        Connection &ref = *c;
        ref.socket.async_wait(tcp::socket::wait_read,
                              [this, c = std::move(c)](const asio::error_code &ec) mutable {
                                  if (c->closed)
                                      return;
                                  if (ec)
                                      close(*c, " by " + error_text(ec));
                                  else
                                      read_ready(std::move(c));
                              });
    }

    // Readiness is reported once per arrival (epoll is edge-triggered under Asio): a connection
    // is read until nothing is left, but after READS_PER_TURN reads the others have their turn
    // first.
    void read_ready(std::shared_ptr<Connection> c) {
        for (int reads = 0; reads < READS_PER_TURN; ++reads) {
            switch (receive(*c)) {
            case Read::drained:
                wait_for_bytes(std::move(c));
                return;
            case Read::ended:
                return;
            case Read::more:
                break;
            }
        }
        asio::post(acceptor_.get_executor(), [this, c = std::move(c)]() mutable {
            if (!c->closed)
                read_ready(std::move(c));
        });
    }

    enum class Read { more, drained, ended };

    // Reads once what has arrived on c and handles the messages that it completes.
    Read receive(Connection &c) {
        asio::error_code ec;
        const std::size_t n = c.socket.read_some(asio::buffer(buffer_), ec);
        if (ec == asio::error::would_block || ec == asio::error::try_again)
            return Read::drained;
        if (ec == asio::error::interrupted)
            return Read::more;
        if (ec) {
            close(c, ec == asio::error::eof ? std::string() : " by " + error_text(ec));
            return Read::ended;
        }
        c.bytes += n;
        for (const Message &m : c.splitter.feed(std::string_view(buffer_.data(), n)))
            handle(c, m);
        return Read::more;
    }

    void handle(Connection &c, const Message &m) {
        ++c.messages;
        if (!log_.handle(c.id, c.peer, m, with_times_ ? now_text() : std::string()))
            ++c.malformed;
        // A recording that cannot be written ends the run, but not here: the connection being
        // read is still in use.
        if (!log_.csv_ok() && !csv_failed_) {
            csv_failed_ = true;
            asio::post(acceptor_.get_executor(), [this] {
                if (!stopping_)
                    stop();
            });
        }
    }

    // The connection has ended: its last message, if any bytes are left, then the closing line.
    void close(Connection &c, const std::string &how) {
        c.closed = true;
        if (std::optional<Message> last = c.splitter.finish())
            handle(c, *last);
        asio::error_code ignored;
        c.socket.close(ignored);
        --totals_.open;
        open_.erase(&c);
        if (!quiet_)
            report("connection %llu closed%s (%llu messages, %llu malformed, %llu bytes)\n", c.id,
                   how.c_str(), c.messages, c.malformed, c.bytes);
    }

    void schedule_summary() {
        summary_timer_.expires_at(started_ + std::chrono::seconds(seconds_ + 1));
        summary_timer_.async_wait([this](const asio::error_code &ec) {
            if (ec || stopping_)
                return;
            ++seconds_;
            report("receiver: t=%us connections=%llu messages/s=%llu total=%llu malformed=%llu "
                   "gaps=%llu lost=%llu\n",
                   seconds_, totals_.open, totals_.messages - messages_last_second_,
                   totals_.messages, totals_.malformed, totals_.gaps, totals_.lost);
            messages_last_second_ = totals_.messages;
            schedule_summary();
        });
    }

    // Everything ends: no more accepts or summaries, and the open connections are closed, so
    // that the event loop runs out of work.
    void stop() {
        stopping_ = true;
        asio::error_code ignored;
        acceptor_.close(ignored);
        accept_pause_.cancel();
        summary_timer_.cancel();
        const std::vector<Connection *> still_open(open_.begin(), open_.end());
        for (Connection *c : still_open)
            close(*c, " by the receiver");
    }

    tcp::acceptor acceptor_;
    asio::steady_timer accept_pause_;
    asio::steady_timer summary_timer_;
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
};

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
    if (!ec && REUSE_LISTENING_ADDRESS)
        acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec)
        acceptor.bind(endpoint, ec);
    if (!ec)
        acceptor.listen(tcp::acceptor::max_listen_connections, ec);
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

// Checks a recording, read in pieces as it comes (it may be a pipe from a unit's dry run).
// Returns false when it cannot be read.
bool read_recording(const ReceiverOptions &options, MessageLog &log) {
    const bool from_stdin = *options.read == "-";
    FILE *in = from_stdin ? stdin : std::fopen(options.read->c_str(), "rb");
    if (in == nullptr) {
        std::fprintf(stderr, "vandry-receiver: cannot open %s\n", options.read->c_str());
        return false;
    }
    if (from_stdin)
        set_binary_mode(stdin);
    const std::string source = from_stdin ? "stdin" : *options.read;
    StreamSplitter splitter(options.mode);
    std::array<char, READ_BUFFER_BYTES> buffer{};
    for (std::size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), in)) > 0;)
        for (const Message &m : splitter.feed(std::string_view(buffer.data(), n)))
            log.handle(0, source, m, std::string());
    for (const Message &m : splitter.finish())
        log.handle(0, source, m, std::string());
    const bool read_whole = std::ferror(in) == 0;
    if (!from_stdin)
        (void)std::fclose(in); // only read from
    if (!read_whole)
        std::fprintf(stderr, "vandry-receiver: cannot read %s\n", options.read->c_str());
    const Totals &totals = log.totals();
    report("vandry-receiver read %s: %llu messages, %llu malformed, %llu gaps, %llu lost\n",
           source.c_str(), totals.messages, totals.malformed, totals.gaps, totals.lost);
    return read_whole;
}

int run(int argc, char **argv) {
    const ParsedArguments parsed =
        parse_receiver_arguments(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
    if (parsed.exit_status) {
        std::fputs(parsed.text.c_str(), *parsed.exit_status == 0 ? stdout : stderr);
        return *parsed.exit_status;
    }
    const ReceiverOptions &options = parsed.options;

    // The CSV file is written through the C library in binary mode: its rows end in CR LF as
    // written, on every platform.
    std::unique_ptr<FILE, int (*)(FILE *)> csv(nullptr, std::fclose);
    if (!options.csv.empty()) {
        csv.reset(std::fopen(options.csv.c_str(), "wb"));
        if (!csv || std::fputs(CSV_HEADER, csv.get()) < 0 || std::fflush(csv.get()) != 0) {
            std::fprintf(stderr, "vandry-receiver: cannot write %s\n", options.csv.c_str());
            return 1;
        }
    }
    MessageLog log(options.quiet, csv.get());
    if (options.read) {
        const bool read_whole = read_recording(options, log);
        return read_whole && log.csv_ok() ? 0 : 1;
    }

    // Every connection holds a descriptor.
    raise_open_file_limit();

    asio::io_context io(1);
    tcp::acceptor acceptor = open_listener(io, options);
    if (!acceptor.is_open())
        return 1;
    report("vandry-receiver listening on %s (framing: %s)\n",
           endpoint_text(acceptor.local_endpoint()).c_str(),
           options.mode ? mode_name(*options.mode) : "auto");

    Receiver receiver(io, std::move(acceptor), options, log);
    receiver.start();
    io.run();

    const Totals &totals = log.totals();
    report("vandry-receiver stopped: %llu connections, %llu messages, %llu malformed, %llu gaps, "
           "%llu lost\n",
           totals.connections, totals.messages, totals.malformed, totals.gaps, totals.lost);
    return log.csv_ok() ? 0 : 1;
}

} // namespace

// Asio reports what cannot go on (e.g. no memory, no event loop) by exceptions.
int main(int argc, char **argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "vandry-receiver: %s\n", e.what());
        return 1;
    }
}

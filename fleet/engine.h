// The fleet's event loop: every unit a small record in one vector, driven by its own timer and
// socket on one io_context on one thread. A unit goes the single unit's way (resolve, connect,
// send one message per interval, keep or close the connection, 5 s after every failure) with
// its own generator, so that its bytes are exactly those of vandry seeded with the unit's seed.
#ifndef VANDRY_FLEET_ENGINE_H
#define VANDRY_FLEET_ENGINE_H

#include "crt_rand.h"
#include "options.h"
#include "stats.h"

#include <asio.hpp>

#include "simulation.h"
#include "transmission.h"
#include "vandry.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <vector>

using fleet_clock = std::chrono::steady_clock;

// How a run ended, with the figures for the summary.
struct fleet_result {
    fleet_figures figures;
    lateness_histogram lateness;
    double seconds = 0;
    long long expected = 0;
    bool complete = false; // every unit sent what it should
};

// The server's address, resolved once when it is numeric; a host name is resolved at most once
// a second, so that a wave of reconnections resolves it once and a change is still seen.
class server_address {
  public:
    server_address(const std::string &host, const std::string &port);
    // 0 and the endpoint, or the code that getaddrinfo returned.
    int resolve(fleet_clock::time_point now, asio::ip::tcp::endpoint *out);

  private:
    std::string host_, port_;
    bool numeric_ = false, cached_ = false;
    int cached_error_ = 0;
    fleet_clock::time_point resolved_at_{};
    asio::ip::tcp::endpoint endpoint_;
};

template <class Rng> class fleet_engine {
  public:
    using executor = asio::io_context::executor_type;
    using socket_type = asio::basic_stream_socket<asio::ip::tcp, executor>;
    using timer_type =
        asio::basic_waitable_timer<fleet_clock, asio::wait_traits<fleet_clock>, executor>;

    enum class phase : std::uint8_t {
        to_start,     // the timer starts a pass: resolve and connect
        connecting,   // a connect is under way
        to_reconnect, // the timer connects again to the same address
        connected,    // the timer sends the next message (or, closing mode, ends the connection)
        writing,      // a send is under way
        done          // sent its count of messages
    };

    struct unit {
        unit(asio::io_context &io, unsigned seed)
            : socket(io.get_executor()), timer(io.get_executor()), rng(seed) {}
        socket_type socket;
        timer_type timer;
        Rng rng;
        tank_parms tank{};
        telemetry tm{};
        fleet_clock::time_point due{}; // when the next message (or the pending pass) is due
        fleet_clock::time_point write_started{};
        std::uint32_t index = 0;      // position in the fleet
        std::uint32_t generation = 0; // advances when a connection ends: older reads are stale
        std::uint32_t sent = 0;
        phase state = phase::to_start;
        bool closing_line_due =
            false; // "socket is closing" after the pause that follows a send error
        bool timed_out = false;
        bool is_connected = false;
        std::uint8_t message_length = 0;
        char message[MAX_MESSAGE_LENGTH + 1]{};
    };

    fleet_engine(asio::io_context &io, const fleet_options &o)
        : io_(io), o_(o), keep_open_(keeps_connection(o.data_type)),
          interval_(std::chrono::milliseconds(o.interval_ms)), server_(o.host, o.port),
          status_timer_(io.get_executor()), end_timer_(io.get_executor()), signals_(io) {
        units_.reserve(static_cast<size_t>(o.units));
        for (long long i = 0; i < o.units; ++i) {
            units_.emplace_back(io, unit_seed(o.seed, o.first_unit + i));
            unit &u = units_.back();
            u.index = static_cast<std::uint32_t>(i);
            u.tank = draw_tank(u.rng);
            u.tm.sms_status = -1;
        }
        figures_.units = o.units;
    }

    // Prints each unit's start-up lines (with --echo), starts every unit at its place in the
    // first interval and runs until the run ends.
    fleet_result run() {
        if (o_.echo)
            print_startup();
        start_ = fleet_clock::now();
        for (unit &u : units_) {
            u.due = start_ + offset_of(u);
            arm(u, phase::to_start, u.due);
        }
        next_status_ = start_;
        arm_status();
        if (o_.duration_s > 0) {
            end_ = start_ + std::chrono::microseconds(static_cast<long long>(o_.duration_s * 1e6));
            end_timer_.expires_at(end_);
            end_timer_.async_wait([this](const asio::error_code &ec) {
                if (!ec)
                    finish();
            });
        }
        signals_.add(SIGINT);
        signals_.add(SIGTERM);
        signals_.async_wait([this](const asio::error_code &ec, int) {
            if (!ec)
                finish();
        });
        io_.run();
        // Completions that were already due when the run ended have run and counted by now.
        const long long connected_at_end = result_.figures.connected;
        result_.figures = figures_;
        result_.figures.connected = connected_at_end;
        result_.lateness = run_lateness_;
        if (o_.count > 0) {
            result_.expected = o_.units * o_.count;
            result_.complete = figures_.sent >= result_.expected;
        } else {
            result_.expected = figures_.sent;
            result_.complete = figures_.send_errors == 0 && figures_.connect_failures == 0;
        }
        return result_;
    }

  private:
    static constexpr auto RETRY_PAUSE = std::chrono::milliseconds(5000);
    static constexpr auto SEND_TIME_OUT = std::chrono::seconds(30);
    static constexpr auto WAKE_UP_STEP = std::chrono::milliseconds(1);

    // Unit i's place in every interval: the units share it out evenly.
    [[nodiscard]] fleet_clock::duration offset_of(const unit &u) const {
        return interval_ * static_cast<long long>(u.index) / o_.units;
    }

    // The first of the unit's places at or after the moment, so that reconnections after a
    // failure stay as spread out as the start.
    [[nodiscard]] fleet_clock::time_point place_from(const unit &u,
                                                     fleet_clock::time_point t) const {
        const fleet_clock::time_point first = start_ + offset_of(u);
        if (t <= first)
            return first;
        const auto periods = (t - first + interval_ - fleet_clock::duration(1)) / interval_;
        return first + interval_ * periods;
    }

    // The timer goes off at the next step of a coarse grid from the start, so that the units
    // due within one step share one wake-up of the loop instead of one each; lateness is still
    // measured against the exact schedule.
    void arm(unit &u, phase next, fleet_clock::time_point at) {
        u.state = next;
        const auto steps = (at - start_ + WAKE_UP_STEP - fleet_clock::duration(1)) / WAKE_UP_STEP;
        u.timer.expires_at(start_ + WAKE_UP_STEP * std::max<decltype(steps)>(steps, 0));
        u.timer.async_wait([this, p = &u](const asio::error_code &ec) {
            if (!ec && !finished_)
                on_timer(*p);
        });
    }

    void print_startup() {
        char name[FLEET_MAX_NAME_LENGTH + 1];
        char report_lines[256];
        for (const unit &u : units_) {
            write_unit_name(name, o_.name_prefix, o_.first_unit + u.index);
            report("%s",
                   cfg_echo(name, o_.host.c_str(), o_.port.c_str(), o_.data_type, o_.interval_s)
                       .c_str());
            const tank_parms &t = u.tank;
            format_tank_report(report_lines, t.tank_height, t.emp, t.min_level, t.max_level,
                               t.n_fill, t.n_fall, t.n_high, t.n_low);
            report("%s", report_lines);
        }
    }

    void on_timer(unit &u) {
        switch (u.state) {
        case phase::to_start:
            if (u.closing_line_due && o_.echo)
                report("socket is closing\n");
            u.closing_line_due = false;
            start_pass(u);
            break;
        case phase::to_reconnect:
            connect(u);
            break;
        case phase::connected:
            if (keep_open_) {
                send(u);
            } else {
                if (o_.echo)
                    report("socket is closing\n");
                close_orderly(u);
                start_pass(u);
            }
            break;
        default:
            break;
        }
    }

    // Failure of a pass before a connection stands: a new pass at the unit's first place
    // 5 s on.
    void retry_pass(unit &u) {
        ++figures_.connect_failures;
        u.due = place_from(u, fleet_clock::now() + RETRY_PAUSE);
        arm(u, phase::to_start, u.due);
    }

    void start_pass(unit &u) {
        const int error = server_.resolve(fleet_clock::now(), &endpoint_);
        if (error != 0) {
            if (o_.echo)
                report("getaddrinfo failed with error: %d\n", error);
            retry_pass(u);
            return;
        }
        connect(u);
    }

    // A call before the connect failed: the single unit's error line, the socket closed, and a
    // new pass later.
    void abandon_pass(unit &u, const char *call, const asio::error_code &ec) {
        if (o_.echo)
            report("%s failed with error: %ld\n", call, static_cast<long>(ec.value()));
        asio::error_code ignored;
        u.socket.close(ignored);
        retry_pass(u);
    }

    void connect(unit &u) {
        if (status_if_due())
            return;
        asio::error_code ec;
        u.socket.open(asio::ip::tcp::v4(), ec);
        if (!ec)
            u.socket.non_blocking(true, ec);
        if (ec) {
            abandon_pass(u, "socket", ec);
            return;
        }
        if (!o_.sources.empty()) {
            bind_address_without_port(u.socket.native_handle());
            const std::uint32_t source = o_.sources[u.index % o_.sources.size()];
            u.socket.bind(asio::ip::tcp::endpoint(asio::ip::address_v4(source), 0), ec);
            if (ec) {
                abandon_pass(u, "bind", ec);
                return;
            }
        }
        u.state = phase::connecting;
        u.socket.async_connect(endpoint_, [this, p = &u](const asio::error_code &error) {
            if (!finished_)
                on_connected(*p, error);
        });
    }

    void on_connected(unit &u, const asio::error_code &error) {
        if (error) {
            if (o_.echo)
                report("connect failed with error: %ld\n", static_cast<long>(error.value()));
            ++figures_.connect_failures;
            asio::error_code ignored;
            u.socket.close(ignored);
            u.due = place_from(u, fleet_clock::now() + RETRY_PAUSE);
            arm(u, phase::to_reconnect, u.due);
            return;
        }
        u.is_connected = true;
        ++figures_.connected;
        watch_input(u);
        send(u);
    }

    // Whatever the server sends is read and dropped as it arrives, into one buffer for all.
    void watch_input(unit &u) {
        u.socket.async_wait(socket_type::wait_read, [this, p = &u, generation = u.generation](
                                                        const asio::error_code &ec) {
            if (!ec && !finished_ && p->generation == generation && discard_input(*p))
                watch_input(*p);
        });
    }

    // Reads until nothing is left; false when the input has ended (the next send tells).
    bool discard_input(unit &u) {
        for (;;) {
            asio::error_code ec;
            u.socket.read_some(asio::buffer(discard_), ec);
            if (ec == asio::error::would_block || ec == asio::error::try_again)
                return true;
            if (ec)
                return false;
        }
    }

    void end_connection(unit &u) {
        if (u.is_connected) {
            u.is_connected = false;
            --figures_.connected;
        }
        ++u.generation;
    }

    // Drops unread input, so that the close is not a reset, then ends the sending side first.
    void close_orderly(unit &u) {
        asio::error_code ignored;
        discard_input(u);
        u.socket.shutdown(socket_type::shutdown_send, ignored);
        u.socket.close(ignored);
        end_connection(u);
    }

    void send(unit &u) {
        if (status_if_due())
            return;
        char name[FLEET_MAX_NAME_LENGTH + 1];
        write_unit_name(name, o_.name_prefix, o_.first_unit + u.index);
        const fleet_clock::time_point now = fleet_clock::now();
        const int length =
            compose_message(u.message, name, o_.data_type, &u.tank, &u.tm, draw_tick(u.rng));
        u.message_length = static_cast<std::uint8_t>(length);
        const long long late_us =
            std::chrono::duration_cast<std::chrono::microseconds>(now - u.due).count();
        second_lateness_.add(late_us);
        u.write_started = now;
        u.timed_out = false;
        u.state = phase::writing;
        asio::async_write(u.socket, asio::buffer(u.message, static_cast<size_t>(length)),
                          [this, p = &u](const asio::error_code &ec, size_t) {
                              if (!finished_)
                                  on_written(*p, ec);
                              else if (!ec)
                                  ++figures_.sent; // in the kernel before the run ended
                          });
    }

    void on_written(unit &u, const asio::error_code &ec) {
        if (ec) {
            const int code = u.timed_out ? SEND_TIMED_OUT : ec.value();
            if (o_.echo)
                report("send error:%d\n", code);
            ++figures_.send_errors;
            asio::error_code ignored;
            u.socket.close(ignored);
            end_connection(u);
            u.closing_line_due = !keep_open_;
            u.due = place_from(u, fleet_clock::now() + RETRY_PAUSE);
            arm(u, phase::to_start, u.due);
            return;
        }
        ++figures_.sent;
        ++sent_this_second_;
        ++u.sent;
        if (o_.echo)
            report(ECHO_FORMAT, u.message_length, echo_tag(o_.data_type), u.message);
        if (o_.count > 0 && u.sent >= o_.count) {
            u.state = phase::done;
            if (++units_done_ == o_.units)
                finish();
            return;
        }
        u.due += interval_;
        arm(u, phase::connected, u.due);
    }

    // Once a second: the status line, and sends that have hung for the send time-out fail.
    void tick_status() {
        const fleet_clock::time_point now = fleet_clock::now();
        figures_.sent_last_second = sent_this_second_;
        if (!o_.echo) {
            const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                                     now - start_ + std::chrono::milliseconds(500))
                                     .count();
            const std::string line = status_line(seconds, figures_, second_lateness_);
            if (terminal_) {
                // Blanks over whatever a longer previous line left behind.
                const int pad = std::max(0, status_width_ - static_cast<int>(line.size()));
                status_width_ = static_cast<int>(line.size());
                report("\r%s%*s", line.c_str(), pad, "");
            } else
                report("%s\n", line.c_str());
        }
        run_lateness_.merge(second_lateness_);
        second_lateness_.clear();
        sent_this_second_ = 0;
        for (unit &u : units_)
            if (u.state == phase::writing && now - u.write_started >= SEND_TIME_OUT) {
                u.timed_out = true;
                asio::error_code ignored;
                u.socket.cancel(ignored);
            }
        arm_status();
    }

    // A crowded port range makes each connect() search it in the kernel, and thousands of those
    // in one turn of the loop hold up the status timer's handler: the line is printed from here
    // when its second has come, and the run ends when its time has come. True when it has ended.
    bool status_if_due() {
        const fleet_clock::time_point now = fleet_clock::now();
        if (now >= next_status_)
            tick_status();
        if (o_.duration_s > 0 && now >= end_)
            finish();
        return finished_;
    }

    void arm_status() {
        next_status_ += std::chrono::seconds(1);
        // After a stall, the next whole second from the start rather than a burst of lines.
        const fleet_clock::time_point now = fleet_clock::now();
        if (next_status_ <= now)
            next_status_ +=
                (now - next_status_) / std::chrono::seconds(1) * std::chrono::seconds(1) +
                std::chrono::seconds(1);
        status_timer_.expires_at(next_status_);
        status_timer_.async_wait([this](const asio::error_code &ec) {
            if (!ec && !finished_)
                status_if_due(); // not when the line of this second came from a connect or send
        });
    }

    void finish() {
        if (finished_)
            return;
        finished_ = true;
        const fleet_clock::time_point now = fleet_clock::now();
        if (terminal_ && !o_.echo)
            report("\n");
        run_lateness_.merge(second_lateness_);
        second_lateness_.clear();
        result_.figures.connected = figures_.connected;
        result_.seconds = std::chrono::duration<double>(now - start_).count();
        asio::error_code ignored;
        status_timer_.cancel();
        end_timer_.cancel();
        signals_.cancel(ignored);
        for (unit &u : units_) {
            u.timer.cancel();
            if (u.is_connected)
                close_orderly(u);
            else
                u.socket.close(ignored);
        }
        // No stop(): a write that the kernel took may still wait for its completion, which
        // counts it; everything else is cancelled, so run() returns once those have run.
    }

    asio::io_context &io_;
    const fleet_options &o_;
    const bool keep_open_;
    const bool terminal_ = console_is_terminal();
    const fleet_clock::duration interval_;
    server_address server_;
    asio::ip::tcp::endpoint endpoint_;
    std::vector<unit> units_;
    timer_type status_timer_, end_timer_;
    asio::signal_set signals_;
    fleet_clock::time_point start_{}, next_status_{}, end_{};
    fleet_figures figures_;
    long long sent_this_second_ = 0, units_done_ = 0;
    lateness_histogram second_lateness_, run_lateness_;
    fleet_result result_;
    bool finished_ = false;
    int status_width_ = 0;
    std::array<char, 4096> discard_{};
};

#endif

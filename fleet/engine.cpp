#include "engine.h"

#include "config.h"
#include "console.h"
#include "host.h"

#include <algorithm>

namespace vandry::fleet {

template <class Rng>
Engine<Rng>::Engine(asio::io_context &io, const FleetOptions &o)
    : io_(io), o_(o), keep_open_(keeps_connection(o.data_type)),
      terminal_(host::console_is_terminal()), interval_(std::chrono::milliseconds(o.interval_ms)),
      server_(o.host, o.port), status_timer_(io.get_executor()), end_timer_(io.get_executor()),
      signals_(io) {
    units_.reserve(static_cast<size_t>(o.units));
    for (long long i = 0; i < o.units; ++i) {
        units_.emplace_back(io, unit_seed(o.seed, o.first_unit + i));
        units_.back().index = static_cast<std::uint32_t>(i);
    }
    figures_.units = o.units;
}

template <class Rng> FleetResult Engine<Rng>::run() {
    if (o_.echo)
        print_startup();
    start_ = Clock::now();
    for (Unit &u : units_) {
        u.due = start_ + offset_of(u);
        arm(u, Phase::to_start, u.due);
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

// Unit i's place in every interval: the units share it out evenly.
template <class Rng> Clock::duration Engine<Rng>::offset_of(const Unit &u) const {
    return interval_ * static_cast<long long>(u.index) / o_.units;
}

// The first of the unit's places at or after the moment, so that reconnections after a failure
// stay as spread out as the start.
template <class Rng>
Clock::time_point Engine<Rng>::place_from(const Unit &u, Clock::time_point t) const {
    const Clock::time_point first = start_ + offset_of(u);
    if (t <= first)
        return first;
    const auto periods = (t - first + interval_ - Clock::duration(1)) / interval_;
    return first + interval_ * periods;
}

// The timer goes off at the next step of a coarse grid from the start, so that the units due
// within one step share one wake-up of the loop instead of one each; lateness is still measured
// against the exact schedule.
template <class Rng> void Engine<Rng>::arm(Unit &u, Phase next, Clock::time_point at) {
    u.state = next;
    const auto steps = (at - start_ + WAKE_UP_STEP - Clock::duration(1)) / WAKE_UP_STEP;
    u.timer.expires_at(start_ + WAKE_UP_STEP * std::max<decltype(steps)>(steps, 0));
    u.timer.async_wait([this, p = &u](const asio::error_code &ec) {
        if (!ec && !finished_)
            on_timer(*p);
    });
}

template <class Rng> void Engine<Rng>::print_startup() {
    char name[MAX_NAME_LENGTH + 1];
    for (const Unit &u : units_) {
        write_unit_name(name, o_.name_prefix, o_.first_unit + u.index);
        const Config config{name, o_.host, o_.port, o_.data_type, o_.interval_s};
        report("%s%s", config_echo(config).c_str(), tank_report(u.stream.tank()).c_str());
    }
}

template <class Rng> void Engine<Rng>::on_timer(Unit &u) {
    switch (u.state) {
    case Phase::to_start:
        if (u.closing_line_due && o_.echo)
            print_line(ConsoleLine::closing);
        u.closing_line_due = false;
        start_pass(u);
        break;
    case Phase::to_reconnect:
        connect(u);
        break;
    case Phase::connected:
        if (keep_open_) {
            send(u);
        } else {
            if (o_.echo)
                print_line(ConsoleLine::closing);
            close_orderly(u);
            start_pass(u);
        }
        break;
    default:
        break;
    }
}

// Failure of a pass before a connection stands: a new pass at the unit's first place 5 s on.
template <class Rng> void Engine<Rng>::retry_pass(Unit &u) {
    ++figures_.connect_failures;
    u.due = place_from(u, Clock::now() + RETRY_PAUSE);
    arm(u, Phase::to_start, u.due);
}

template <class Rng> void Engine<Rng>::start_pass(Unit &u) {
    const int error = server_.resolve(Clock::now(), &endpoint_);
    if (error != 0) {
        if (o_.echo)
            print_line(ConsoleLine::resolve_failed, error);
        retry_pass(u);
        return;
    }
    connect(u);
}

// A call before the connect failed: the single unit's error line, the socket closed, and a new
// pass later.
template <class Rng>
void Engine<Rng>::abandon_pass(Unit &u, ConsoleLine line, const asio::error_code &ec) {
    if (o_.echo)
        print_line(line, ec.value());
    asio::error_code ignored;
    u.socket.close(ignored);
    retry_pass(u);
}

template <class Rng> void Engine<Rng>::connect(Unit &u) {
    if (status_if_due())
        return;
    asio::error_code ec;
    u.socket.open(asio::ip::tcp::v4(), ec);
    if (!ec)
        u.socket.non_blocking(true, ec);
    if (ec) {
        abandon_pass(u, ConsoleLine::socket_failed, ec);
        return;
    }
    if (!o_.sources.empty()) {
        host::bind_address_without_port(static_cast<std::uintptr_t>(u.socket.native_handle()));
        const std::uint32_t source = o_.sources[u.index % o_.sources.size()];
        u.socket.bind(asio::ip::tcp::endpoint(asio::ip::address_v4(source), 0), ec);
        if (ec) {
            abandon_pass(u, ConsoleLine::bind_failed, ec);
            return;
        }
    }
    u.state = Phase::connecting;
    u.socket.async_connect(endpoint_, [this, p = &u](const asio::error_code &error) {
        if (!finished_)
            on_connected(*p, error);
    });
}

template <class Rng> void Engine<Rng>::on_connected(Unit &u, const asio::error_code &error) {
    if (error) {
        if (o_.echo)
            print_line(ConsoleLine::connect_failed, error.value());
        ++figures_.connect_failures;
        asio::error_code ignored;
        u.socket.close(ignored);
        u.due = place_from(u, Clock::now() + RETRY_PAUSE);
        arm(u, Phase::to_reconnect, u.due);
        return;
    }
    u.is_connected = true;
    ++figures_.connected;
    watch_input(u);
    send(u);
}

// Whatever the server sends is read and dropped as it arrives, into one buffer for all.
template <class Rng> void Engine<Rng>::watch_input(Unit &u) {
    u.socket.async_wait(
        Socket::wait_read, [this, p = &u, generation = u.generation](const asio::error_code &ec) {
            if (!ec && !finished_ && p->generation == generation && discard_input(*p))
                watch_input(*p);
        });
}

// Reads until nothing is left; false when the input has ended (the next send tells).
template <class Rng> bool Engine<Rng>::discard_input(Unit &u) {
    for (;;) {
        asio::error_code ec;
        u.socket.read_some(asio::buffer(discard_), ec);
        if (ec == asio::error::would_block || ec == asio::error::try_again)
            return true;
        if (ec)
            return false;
    }
}

template <class Rng> void Engine<Rng>::end_connection(Unit &u) {
    if (u.is_connected) {
        u.is_connected = false;
        --figures_.connected;
    }
    ++u.generation;
}

// Drops unread input, so that the close is not a reset, then ends the sending side first.
template <class Rng> void Engine<Rng>::close_orderly(Unit &u) {
    asio::error_code ignored;
    discard_input(u);
    u.socket.shutdown(Socket::shutdown_send, ignored);
    u.socket.close(ignored);
    end_connection(u);
}

template <class Rng> void Engine<Rng>::send(Unit &u) {
    if (status_if_due())
        return;
    char name[MAX_NAME_LENGTH + 1];
    write_unit_name(name, o_.name_prefix, o_.first_unit + u.index);
    const Clock::time_point now = Clock::now();
    const int length = u.stream.next(u.message, name, o_.data_type);
    u.message_length = static_cast<std::uint8_t>(length);
    second_lateness_.add(
        std::chrono::duration_cast<std::chrono::microseconds>(now - u.due).count());
    u.write_started = now;
    u.timed_out = false;
    u.state = Phase::writing;
    asio::async_write(u.socket, asio::buffer(u.message, static_cast<size_t>(length)),
                      [this, p = &u](const asio::error_code &ec, size_t) {
                          if (!finished_)
                              on_written(*p, ec);
                          else if (!ec)
                              ++figures_.sent; // in the kernel before the run ended
                      });
}

template <class Rng> void Engine<Rng>::on_written(Unit &u, const asio::error_code &ec) {
    if (ec) {
        if (o_.echo)
            print_line(ConsoleLine::send_failed,
                       u.timed_out ? platform::ERROR_TIMED_OUT : ec.value());
        ++figures_.send_errors;
        asio::error_code ignored;
        u.socket.close(ignored);
        end_connection(u);
        u.closing_line_due = !keep_open_;
        u.due = place_from(u, Clock::now() + RETRY_PAUSE);
        arm(u, Phase::to_start, u.due);
        return;
    }
    ++figures_.sent;
    ++sent_this_second_;
    ++u.sent;
    if (o_.echo)
        print_echo(o_.data_type, u.message, u.message_length);
    if (o_.count > 0 && u.sent >= o_.count) {
        u.state = Phase::done;
        if (++units_done_ == o_.units)
            finish();
        return;
    }
    u.due += interval_;
    arm(u, Phase::connected, u.due);
}

// Once a second: the status line, and sends that have hung for the send time-out fail.
template <class Rng> void Engine<Rng>::tick_status() {
    const Clock::time_point now = Clock::now();
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
    for (Unit &u : units_)
        if (u.state == Phase::writing && now - u.write_started >= SEND_TIME_OUT) {
            u.timed_out = true;
            asio::error_code ignored;
            u.socket.cancel(ignored);
        }
    arm_status();
}

// A crowded port range makes each connect() search it in the kernel, and thousands of those in
// one turn of the loop hold up the status timer's handler: the line is printed from here when
// its second has come, and the run ends when its time has come. True when it has ended.
template <class Rng> bool Engine<Rng>::status_if_due() {
    const Clock::time_point now = Clock::now();
    if (now >= next_status_)
        tick_status();
    if (o_.duration_s > 0 && now >= end_)
        finish();
    return finished_;
}

template <class Rng> void Engine<Rng>::arm_status() {
    next_status_ += std::chrono::seconds(1);
    // After a stall, the next whole second from the start rather than a burst of lines.
    const Clock::time_point now = Clock::now();
    if (next_status_ <= now)
        next_status_ += (now - next_status_) / std::chrono::seconds(1) * std::chrono::seconds(1) +
                        std::chrono::seconds(1);
    status_timer_.expires_at(next_status_);
    status_timer_.async_wait([this](const asio::error_code &ec) {
        if (!ec && !finished_)
            status_if_due(); // not when the line of this second came from a connect or send
    });
}

template <class Rng> void Engine<Rng>::finish() {
    if (finished_)
        return;
    finished_ = true;
    const Clock::time_point now = Clock::now();
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
    for (Unit &u : units_) {
        u.timer.cancel();
        if (u.is_connected)
            close_orderly(u);
        else
            u.socket.close(ignored);
    }
    // No stop(): a write that the kernel took may still wait for its completion, which counts
    // it; everything else is cancelled, so run() returns once those have run.
}

template class Engine<GlibcRand>;
template class Engine<MsvcrtRand>;

} // namespace vandry::fleet

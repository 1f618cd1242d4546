#include "fleet/engine.h"

#include "core/config.h"
#include "core/console.h"
#include "platform/host.h"

#include <asio/buffer.hpp>
#include <asio/write.hpp>

#include <algorithm>
#include <system_error>

namespace vandry::fleet {

namespace {

std::chrono::microseconds seconds_of(double s) {
    return std::chrono::microseconds(static_cast<long long>(s * 1e6));
}

std::string reason_of(int code) {
    return std::system_category().message(code);
}

} // namespace

template <class Rng>
Engine<Rng>::Engine(asio::io_context &io, const FleetOptions &o, FaultLogFile &fault_log,
                    Share share)
    : io_(io), o_(o), fault_log_(fault_log),
      faulting_(o.faults.rates.any()), step_context_{o.faults.rates, o.data_type, &fault_log},
      keep_open_(keeps_connection(o.data_type)),
      status_(!o.echo && share.crew == nullptr, platform::console_is_terminal()),
      schedule_{Clock::time_point{}, std::chrono::milliseconds(o.interval_ms),
                o.ramp_s < 0 ? Clock::duration(std::chrono::milliseconds(o.interval_ms))
                             : Clock::duration(seconds_of(o.ramp_s)),
                o.units},
      permits_(Clock::time_point{},
               o.connect_rate > 0 // each thread's engine takes its share of the rate
                   ? Clock::duration(
                         std::chrono::nanoseconds(1000000000LL * share.threads / o.connect_rate))
                   : Clock::duration::zero()),
      server_(o.host, o.port), status_timer_(io.get_executor()), end_timer_(io.get_executor()),
      signals_(io), share_(share) {
    units_.reserve(static_cast<size_t>((o.units + share.threads - 1) / share.threads));
    for (long long i = share.thread; i < o.units; i += share.threads) {
        units_.emplace_back(io, unit_seed(o.seed, o.first_unit + i),
                            unit_fault_seed(o, o.first_unit + i));
        units_.back().index = static_cast<std::uint32_t>(i);
    }
    figures_.units = static_cast<long long>(units_.size());
    figures_.faulting = faulting_;
    if (share.crew != nullptr)
        status_.publish_to(
            [this](long long second, const FleetFigures &f, const LatenessHistogram &h) {
                share_.crew->publish(share_.thread, {second, f, h, status_.lateness_seconds()});
            });
}

template <class Rng> FleetResult Engine<Rng>::run() {
    if (o_.echo)
        print_startup();
    schedule_.start = share_.crew != nullptr ? share_.crew->start_together() : Clock::now();
    permits_ = ConnectPermits(schedule_.start, permits_.step());
    for (Unit &u : units_) {
        const Clock::time_point connect = schedule_.first_connect(u.index);
        u.due = schedule_.slot_from(u.index, connect);
        arm(u, Phase::to_connect, connect);
    }
    status_.start(schedule_.start);
    arm_status();
    if (o_.duration_s > 0) {
        end_ = schedule_.start + seconds_of(o_.duration_s);
        end_timer_.expires_at(end_);
        end_timer_.async_wait([this](const asio::error_code &ec) {
            if (!ec)
                finish();
        });
    }
    if (share_.crew == nullptr) { // the crew's owner has the one handler of the signals
        signals_.add(SIGINT);
        signals_.add(SIGTERM);
        signals_.async_wait([this](const asio::error_code &ec, int) {
            if (!ec)
                finish();
        });
    }
    io_.run();
    // Completions that were already due when the run ended have run and counted by now.
    account_end(ended_at_);
    const long long connected_at_end = result_.figures.connected;
    result_.figures = figures_;
    result_.figures.connected = connected_at_end;
    result_.lateness = status_.run_lateness();
    result_.lateness_seconds = status_.lateness_seconds();
    const FleetFigures &f = figures_;
    const bool clean = f.failed == 0 && f.unconfirmed == 0 && f.connect_failures == 0;
    result_.expected = scheduled(ended_at_);
    result_.complete = clean && (o_.count == 0 || f.written >= f.units * o_.count);
    result_.stations.reserve(units_.size());
    for (const Unit &u : units_) {
        if (u.state == Phase::done) // its schedule ended with its count
            result_.expected -=
                static_cast<long long>(schedule_.slots_before(u.index, ended_at_)) - u.slots;
        result_.stations.push_back({u.first_tick, u.last_tick, u.sent, u.unconfirmed});
    }
    if (share_.crew != nullptr)
        share_.crew->retire(share_.thread, result_.figures, result_.lateness_seconds);
    return result_;
}

// The slot of the unit's next message from the moment on, and when it goes.
template <class Rng>
NextSend<Clock::time_point> Engine<Rng>::next_slot(const Unit &u, Clock::time_point t) const {
    return schedule_.next(u.index, t, u.last_sent);
}

// The messages that the schedule holds before the end: each unit's slots from its connection
// in the ramp on.
template <class Rng> long long Engine<Rng>::scheduled(Clock::time_point end) const {
    long long total = 0;
    for (const Unit &u : units_)
        total += schedule_.slots_before(u.index, end);
    return total;
}

// The unit's slots before the moment that are not yet accounted for pass without a message:
// they count in the figure.
template <class Rng> void Engine<Rng>::pass_slots(Unit &u, Clock::time_point t, long long &figure) {
    const std::uint32_t before = schedule_.slots_before(u.index, t);
    if (before > u.slots) {
        figure += before - u.slots;
        u.slots = before;
    }
}

// The unit's next message is for this slot: the slots before it that have passed are skipped.
template <class Rng> void Engine<Rng>::move_to(Unit &u, Clock::time_point slot) {
    u.due = slot;
    pass_slots(u, std::min(slot, horizon()), figures_.skipped);
}

// Now, but never past the end of a run of a duration: no slot after it is accounted for.
template <class Rng> Clock::time_point Engine<Rng>::horizon() const {
    const Clock::time_point now = Clock::now();
    return o_.duration_s > 0 ? std::min(now, end_) : now;
}

// The slots that came before the end without a message: held back by the connect-rate cap, or
// not sent when the run ended (a unit that has sent its count has no more).
template <class Rng> void Engine<Rng>::account_end(Clock::time_point end) {
    for (Unit &u : units_)
        if (u.state != Phase::done) {
            pass_slots(u, std::min(u.due, end), figures_.skipped);
            pass_slots(u, end, u.holds_permit ? figures_.held : figures_.unsent);
        }
}

// The timer goes off at the next step of a coarse grid from the start, so that the units due
// within one step share one wake-up of the loop instead of one each; lateness is still measured
// against the exact schedule.
template <class Rng> void Engine<Rng>::arm(Unit &u, Phase next, Clock::time_point at) {
    u.state = next;
    u.timer.expires_at(wake_up_at(schedule_.start, Clock::duration(WAKE_UP_STEP), at));
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
    case Phase::to_connect:
        if (u.closing_line_due && o_.echo)
            print_line(ConsoleLine::closing);
        u.closing_line_due = false;
        start_pass(u);
        break;
    case Phase::to_reconnect:
        connect_when_permitted(u);
        break;
    case Phase::connecting: { // the connect has run out of time: its handler fails the pass
        u.timed_out = true;
        asio::error_code ignored;
        u.socket.close(ignored);
        break;
    }
    case Phase::to_send:
        send_or_skip(u);
        break;
    case Phase::slow_pause:
        write_slow(u);
        break;
    case Phase::to_close:
        end_as(u, ConnectionEnd::orderly, 0);
        start_pass(u);
        break;
    default:
        break;
    }
}

template <class Rng> void Engine<Rng>::start_pass(Unit &u) {
    const int error = server_.resolve(Clock::now(), &endpoint_);
    if (error != 0) {
        ++figures_.connect_failures;
        note_failure(Failure::resolve, console_line(ConsoleLine::resolve_failed, error),
                     platform::resolver_error_text(error));
        if (o_.echo)
            print_line(ConsoleLine::resolve_failed, error);
        move_to(u, next_slot(u, Clock::now() + RETRY_PAUSE).slot);
        arm(u, Phase::to_connect, u.due);
        return;
    }
    connect_when_permitted(u);
}

// Under the connect-rate cap every new connection takes the next free moment of a queue that
// hands out one per 1/rate seconds; the unit waits for its moment on its own timer.
template <class Rng> void Engine<Rng>::connect_when_permitted(Unit &u) {
    if (u.holds_permit) { // the slots more than a second past are lost to the wait
        u.holds_permit = false;
        --figures_.waiting;
        pass_slots(u, u.due, figures_.skipped);
        pass_slots(u, horizon() - MISSED_AFTER, figures_.held);
    } else if (permits_.capped()) {
        const Clock::time_point now = Clock::now();
        const Clock::time_point permit = permits_.take(now);
        if (permit > now + WAKE_UP_STEP) {
            u.holds_permit = true;
            ++figures_.waiting;
            arm(u, Phase::to_reconnect, permit);
            return;
        }
    }
    connect(u);
}

template <class Rng> void Engine<Rng>::connect(Unit &u) {
    if (status_if_due())
        return;
    asio::error_code ec;
    u.socket.open(asio::ip::tcp::v4(), ec);
    if (!ec)
        u.socket.non_blocking(true, ec);
    if (ec) {
        retry_pass(u, Failure::socket, ConsoleLine::socket_failed, ec.value());
        return;
    }
    if (!o_.sources.empty()) {
        platform::bind_address_without_port(static_cast<std::uintptr_t>(u.socket.native_handle()));
        const std::uint32_t source = o_.sources[u.index % o_.sources.size()];
        u.socket.bind(asio::ip::tcp::endpoint(asio::ip::address_v4(source), 0), ec);
        if (ec) {
            retry_pass(u, Failure::bind, ConsoleLine::bind_failed, ec.value());
            return;
        }
    }
    u.timed_out = false;
    u.connect_started = Clock::now();
    arm(u, Phase::connecting, u.connect_started + CONNECT_TIME_OUT);
    u.socket.async_connect(endpoint_, [this, p = &u](const asio::error_code &error) {
        if (!finished_)
            on_connected(*p, error);
    });
}

template <class Rng> void Engine<Rng>::on_connected(Unit &u, const asio::error_code &error) {
    u.timer.cancel();
    if (error) {
        const int code = u.timed_out ? asio::error::timed_out : error.value();
        ++figures_.connect_failures;
        note_failure(Failure::connect, console_line(ConsoleLine::connect_failed, code),
                     reason_of(code));
        if (o_.echo)
            print_line(ConsoleLine::connect_failed, code);
        asio::error_code ignored;
        u.socket.close(ignored);
        move_to(u, next_slot(u, Clock::now() + RETRY_PAUSE).slot);
        arm(u, Phase::to_reconnect, u.due);
        return;
    }
    u.is_connected = true;
    u.wrote_on_connection = false;
    u.ending = Ending::none;
    ++figures_.connected;
    ++figures_.connects;
    watch_input(u);
    if (u.copy == Copy::due) {
        u.copy = Copy::writing;
        write(u, u.message_length, 1);
        return;
    }
    // The slot that has just come, or, when the connection stood more than a second after it
    // (a stall, not a slow handshake), the next one: the slots between are missed.
    const auto next = next_slot(u, Clock::now() - MISSED_AFTER);
    move_to(u, next.slot);
    if (next.at <= Clock::now())
        send_or_skip(u);
    else
        arm(u, Phase::to_send, next.at);
}

// Counts a failure and keeps the first of its kind, which is printed once when the units' own
// lines are not.
template <class Rng>
void Engine<Rng>::note_failure(Failure kind, const std::string &line, const std::string &reason) {
    const auto k = static_cast<std::size_t>(kind);
    if (figures_.failures[k]++ != 0)
        return;
    figures_.first_failure[k] = line.substr(0, line.find('\n')) + " (" + reason + ")";
    if (!o_.echo && (share_.crew == nullptr || share_.crew->first_failure(kind)))
        report("vandry-fleet: first %s: %s\n", failure_name(kind),
               figures_.first_failure[k].c_str());
}

// A call before the connect failed: the single unit's error line, the socket closed, and a new
// pass at the unit's first slot 5 s on.
template <class Rng>
void Engine<Rng>::retry_pass(Unit &u, Failure kind, ConsoleLine line, int code) {
    ++figures_.connect_failures;
    note_failure(kind, console_line(line, code), reason_of(code));
    if (o_.echo)
        print_line(line, code);
    asio::error_code ignored;
    u.socket.close(ignored);
    move_to(u, next_slot(u, Clock::now() + RETRY_PAUSE).slot);
    arm(u, Phase::to_connect, u.due);
}

// Ends the unit's connection for the reason, as every unit ends one: its line (when the units'
// lines are shown; code: the error it names) and its socket closed as the reason says.
template <class Rng> EndRule Engine<Rng>::end_as(Unit &u, ConnectionEnd why, int code) {
    const EndRule rule = end_rule(why, keep_open_);
    if (rule.line && o_.echo)
        print_line(*rule.line, code);
    asio::error_code ignored;
    switch (rule.close) {
    case CloseBy::shutdown:
        close_orderly(u);
        return rule;
    case CloseBy::reset:
        u.socket.set_option(asio::socket_base::linger(true, 0), ignored);
        break;
    case CloseBy::close:
        break;
    }
    u.socket.close(ignored);
    end_connection(u);
    return rule;
}

// The connection is over before its time: the line, the socket closed, and a new pass 5 s on.
template <class Rng>
void Engine<Rng>::fail_connection(Unit &u, Failure kind, ConnectionEnd why, int code) {
    note_failure(kind, console_line(*end_rule(why, keep_open_).line, code),
                 kind == Failure::ended ? "the server closed it" : reason_of(code));
    u.closing_line_due = end_as(u, why, code).closing_after_pause;
    move_to(u, next_slot(u, Clock::now() + RETRY_PAUSE).slot);
    arm(u, Phase::to_connect, u.due);
}

// Whatever the server sends is read and dropped as it arrives, into one buffer for all; an end
// of the stream or a reset ends the unit's connection at once.
template <class Rng> void Engine<Rng>::watch_input(Unit &u) {
    u.socket.async_wait(Socket::wait_read,
                        [this, p = &u, generation = u.generation](const asio::error_code &ec) {
                            if (!ec && !finished_ && p->generation == generation)
                                on_input(*p);
                        });
}

template <class Rng> void Engine<Rng>::on_input(Unit &u) {
    asio::error_code ec;
    switch (discard_input(u, ec)) {
    case Input::drained:
        watch_input(u);
        break;
    case Input::ended:
        on_connection_ended(u, Ending::ended, ec);
        break;
    case Input::reset:
        on_connection_ended(u, Ending::reset, ec);
        break;
    }
}

// Reads what has arrived, at most DRAIN_PER_TURN bytes: what a flooding server sends beyond
// waits for the unit's next wake-up, which its next bytes bring.
template <class Rng>
typename Engine<Rng>::Input Engine<Rng>::discard_input(Unit &u, asio::error_code &ec) {
    for (std::size_t taken = 0; taken < DRAIN_PER_TURN;) {
        taken += u.socket.read_some(asio::buffer(discard_), ec);
        if (ec == asio::error::would_block || ec == asio::error::try_again)
            return Input::drained;
        if (ec == asio::error::interrupted)
            continue;
        if (ec)
            return ec == asio::error::eof ? Input::ended : Input::reset;
    }
    return Input::drained;
}

// A connection that the server ends is not written into again. A reset loses the last message
// written on it; an orderly end after a close-after-send message is that exchange's end.
template <class Rng>
void Engine<Rng>::on_connection_ended(Unit &u, Ending ending, const asio::error_code &ec) {
    const bool reset = ending == Ending::reset;
    switch (u.state) {
    case Phase::writing: // on_written decides
        u.ending = ending;
        return;
    case Phase::to_close:
        if (!reset) {
            asio::error_code ignored;
            u.socket.close(ignored);
            end_connection(u);
            return; // the next pass begins at the unit's next slot, as ever
        }
        if (u.wrote_on_connection)
            note_unconfirmed(u);
        break;
    case Phase::slow_pause: // the rest of a slow message is never written
        ++figures_.failed;
        break;
    case Phase::to_send:
    case Phase::done:
        if (reset && u.wrote_on_connection)
            note_unconfirmed(u);
        break;
    default:
        return;
    }
    if (u.state == Phase::done) {
        asio::error_code ignored;
        u.socket.close(ignored);
        end_connection(u);
        return;
    }
    if (reset)
        fail_connection(u, Failure::reset, ConnectionEnd::reset, ec.value());
    else
        fail_connection(u, Failure::ended, ConnectionEnd::ended_by_server, 0);
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
    if (u.is_connected) {
        discard_input(u, ignored);
        u.socket.shutdown(Socket::shutdown_send, ignored);
    }
    u.socket.close(ignored);
    end_connection(u);
}

// Sends at the due slot, or skips to the next one when the slot is missed.
template <class Rng> void Engine<Rng>::send_or_skip(Unit &u) {
    const Clock::time_point now = Clock::now();
    if (now - u.due > MISSED_AFTER) {
        const auto next = next_slot(u, now);
        move_to(u, next.slot);
        arm(u, Phase::to_send, next.at);
        return;
    }
    send(u);
}

// The unit's step at its slot: its fault drawn, its message composed and written as the fault
// says.
template <class Rng> void Engine<Rng>::send(Unit &u) {
    if (status_if_due())
        return;
    pass_slots(u, u.due, figures_.skipped);
    ++u.slots; // this slot: its message, or the silence drawn for it
    char name[MAX_NAME_LENGTH + 1];
    write_unit_name(name, o_.name_prefix, o_.first_unit + u.index);
    const Clock::time_point now = Clock::now();
    const Step step = next_step(step_context_, name, u.stream, u.faults, u.message);
    if (step.fault != FaultKind::none)
        count_fault(step.fault);
    if (step.silent()) {
        ++figures_.skipped;
        go_silent(u);
        return;
    }
    u.message_length = static_cast<std::uint8_t>(step.length);
    status_.add_lateness(now - u.due);
    u.write_started = now;
    u.timed_out = false;
    u.fault = step.fault;
    if (step.wire.bytes == 0) { // its tick is used up, and nothing is written
        after_message(u);
    } else if (step.wire.slow) {
        u.slow_written = 0;
        write_slow(u);
    } else if (step.copy_apart) {
        u.copy = Copy::due;
        write(u, step.wire.bytes, 1);
    } else {
        write(u, step.wire.bytes, step.wire.copies);
    }
}

// The first copy is written: its connection ends as ever, and the second copy goes on a new one
// at once (from the timer, as every connect: a handler never calls the next one's start).
template <class Rng> void Engine<Rng>::send_copy_apart(Unit &u) {
    end_as(u, ConnectionEnd::copy_apart, 0);
    arm(u, Phase::to_reconnect, Clock::now());
}

// Writes the first bytes of the message, once or twice over.
template <class Rng> void Engine<Rng>::write(Unit &u, int bytes, int copies) {
    u.state = Phase::writing;
    const auto done = [this, p = &u](const asio::error_code &ec, size_t bytes) {
        if (!finished_)
            on_written(*p, ec, bytes > 0);
        else if (p->fault == FaultKind::cut || p->copy == Copy::writing) // its fault's; no slot
            return;
        else if (!ec)
            note_written(*p); // in the kernel before the run ended
        else
            note_not_written(bytes > 0);
    };
    const asio::const_buffer piece(u.message, static_cast<size_t>(bytes));
    if (copies == 2)
        asio::async_write(u.socket, std::array<asio::const_buffer, 2>{piece, piece}, done);
    else
        asio::async_write(u.socket, piece, done);
}

// The next piece of a slow message, then a pause, until the whole message is written.
template <class Rng> void Engine<Rng>::write_slow(Unit &u) {
    const SlowPiece piece = slow_piece(u.message_length - u.slow_written, u.faults);
    u.state = Phase::writing;
    asio::async_write(
        u.socket, asio::buffer(u.message + u.slow_written, static_cast<size_t>(piece.bytes)),
        [this, p = &u, piece](const asio::error_code &ec, size_t bytes) {
            p->slow_written = static_cast<std::uint8_t>(p->slow_written + bytes);
            const bool whole = !ec && p->slow_written == p->message_length;
            if (finished_) // the rest of a piece under way when the run ended is not written
                whole ? note_written(*p) : note_not_written(p->slow_written > 0);
            else if (ec || whole)
                on_written(*p, ec, p->slow_written > 0);
            else
                arm(*p, Phase::slow_pause,
                    Clock::now() + std::chrono::milliseconds(piece.pause_ms));
        });
}

// The end of the run comes in the middle of a slow message: its rest goes at once.
template <class Rng> void Engine<Rng>::finish_slow(Unit &u) {
    asio::error_code ec;
    const std::size_t rest = u.message_length - u.slow_written;
    if (asio::write(u.socket, asio::buffer(u.message + u.slow_written, rest), ec) == rest && !ec)
        note_written(u);
    else
        note_not_written(true);
}

// A message written whole, with its tick.
template <class Rng> void Engine<Rng>::note_written(Unit &u) {
    const std::uint32_t tick = u.stream.ticks() - 1;
    ++figures_.written;
    if (u.sent++ == 0)
        u.first_tick = tick;
    u.last_tick = tick;
}

// A message composed for its slot but not written whole: failed when a part of it went out,
// unsent when none did (it still waited in the fleet's own queue).
template <class Rng> void Engine<Rng>::note_not_written(bool partly) {
    ++(partly ? figures_.failed : figures_.unsent);
}

// The last message written whole was on a connection that then failed: it may not have arrived.
template <class Rng> void Engine<Rng>::note_unconfirmed(Unit &u) {
    ++figures_.unconfirmed;
    ++u.unconfirmed;
    char name[MAX_NAME_LENGTH + 1];
    write_unit_name(name, o_.name_prefix, o_.first_unit + u.index);
    log_unconfirmed(&fault_log_, name, u.last_tick);
}

// Counts an injected fault (its row is in the fault log).
template <class Rng> void Engine<Rng>::count_fault(FaultKind kind) {
    ++figures_.faults[static_cast<std::size_t>(kind)];
    status_.note_fault();
}

// A unit that loses power: its connection ends in order, and no tick passes until it comes
// back after the silence, at its slot.
template <class Rng> void Engine<Rng>::go_silent(Unit &u) {
    end_as(u, ConnectionEnd::silence, 0);
    move_to(u, next_slot(u, Clock::now() + std::chrono::seconds(o_.faults.rates.silence_s)).slot);
    arm(u, Phase::to_connect, u.due);
}

// The unit's next message: at its next slot, on the connection it has, or (close-after-send)
// on a new one.
template <class Rng> void Engine<Rng>::after_message(Unit &u) {
    // A message so late that the slot after it cannot keep half an interval: that one is skipped.
    const auto next = next_slot(u, std::max(Clock::now(), u.due + Clock::duration(1)));
    move_to(u, next.slot);
    arm(u, keep_open_ ? Phase::to_send : Phase::to_close, next.at);
}

// A cut message's connection is reset, as a unit whose link fails halfway; it comes back under
// its usual policy.
template <class Rng> void Engine<Rng>::on_cut(Unit &u) {
    u.closing_line_due = end_as(u, ConnectionEnd::cut, 0).closing_after_pause;
    move_to(u, next_slot(u, Clock::now() + RETRY_PAUSE).slot);
    arm(u, Phase::to_connect, u.due);
}

template <class Rng>
void Engine<Rng>::on_written(Unit &u, const asio::error_code &ec, bool partly) {
    if (ec) {
        if (u.copy == Copy::writing) // a second copy sent apart is no slot of its own
            u.copy = Copy::none;
        else if (u.fault != FaultKind::cut) // a cut is counted as its fault
            note_not_written(partly);
        fail_connection(u, Failure::send, ConnectionEnd::send_failed,
                        u.timed_out ? platform::ERROR_TIMED_OUT : ec.value());
        return;
    }
    if (u.fault == FaultKind::cut) {
        on_cut(u);
        return;
    }
    if (u.copy != Copy::writing) { // a second copy sent apart is no message of its own
        note_written(u);
        status_.note_written();
        u.last_sent = u.write_started;
    }
    u.wrote_on_connection = true;
    const bool both = u.fault == FaultKind::duplicate && keep_open_;
    for (int copy = both ? 2 : 1; o_.echo && copy > 0; --copy)
        print_echo(o_.data_type, u.message, u.message_length);
    if (u.ending != Ending::none) { // the server ended the connection while it was written
        note_unconfirmed(u);
        if (u.ending == Ending::reset)
            fail_connection(u, Failure::reset, ConnectionEnd::reset, asio::error::connection_reset);
        else
            fail_connection(u, Failure::ended, ConnectionEnd::ended_by_server, 0);
        return;
    }
    if (u.copy == Copy::due) {
        send_copy_apart(u);
        return;
    }
    u.copy = Copy::none;
    if (o_.count > 0 && u.sent >= o_.count) {
        u.state = Phase::done;
        if (++units_done_ == figures_.units)
            finish();
        return;
    }
    after_message(u);
}

// Once a second: the status line, and sends that have hung for the send time-out fail.
template <class Rng> void Engine<Rng>::tick_status() {
    const Clock::time_point now = Clock::now();
    status_.print_second(figures_, now);
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
    if (status_.due(now))
        tick_status();
    if (o_.duration_s > 0 && now >= end_)
        finish();
    return finished_;
}

template <class Rng> void Engine<Rng>::arm_status() {
    status_timer_.expires_at(status_.next());
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
    // A run of a duration holds the slots before its end, however late the loop comes to it.
    ended_at_ = o_.duration_s > 0 && now >= end_ ? end_ : now;
    status_.finish();
    result_.figures.connected = figures_.connected;
    result_.seconds = std::chrono::duration<double>(now - schedule_.start).count();
    asio::error_code ignored;
    status_timer_.cancel();
    end_timer_.cancel();
    signals_.cancel(ignored);
    for (Unit &u : units_) {
        u.timer.cancel();
        if (u.state == Phase::slow_pause) // the rest of a slow message, so that none is cut
            finish_slow(u);
        if (u.is_connected)
            close_orderly(u);
        else
            u.socket.close(ignored);
    }
    if (share_.crew != nullptr)
        share_.crew->retire(share_.thread, figures_, status_.lateness_seconds());
    if (on_finish_)
        on_finish_();
    // No stop(): a write that the kernel took may still wait for its completion, which counts
    // it; everything else is cancelled, so run() returns once those have run.
}

template class Engine<GlibcRand>;
template class Engine<MsvcrtRand>;

} // namespace vandry::fleet

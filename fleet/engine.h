// The fleet's event loop: every unit a small record in one vector, driven by its own timer and
// socket on one io_context on one thread. A unit goes the single unit's way (resolve, connect,
// send one message per interval, keep or close the connection, 5 s after every failure) with
// its own generator, so that its bytes are exactly those of vandry seeded with the unit's seed.
//
// Each unit has its own place in every interval (its slots). It never sends two messages less
// than half an interval apart: a slot missed by more than a second (a stalled loop, a server
// that held its connect back) is skipped, not caught up (schedule.h).
#ifndef VANDRY_FLEET_ENGINE_H
#define VANDRY_FLEET_ENGINE_H

#include "core/faults.h"
#include "core/message.h"
#include "core/unit_protocol.h"
#include "fleet/crew.h"
#include "fleet/options.h"
#include "fleet/schedule.h"
#include "fleet/server_address.h"
#include "fleet/stats.h"
#include "fleet/status_line.h"

#include <asio/basic_waitable_timer.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

namespace vandry::fleet {

template <class Rng> class Engine {
  public:
    // fault_log: where a row for every injected fault goes; share: the units it drives, all of
    // them by default.
    Engine(asio::io_context &io, const FleetOptions &o, FaultLogFile &fault_log, Share share = {});

    // Prints each unit's start-up lines (with --echo), starts every unit at its place in the
    // ramp and runs until the run ends.
    FleetResult run();

    // The figures so far and every send's lateness, for a scrape while the run goes on.
    [[nodiscard]] const FleetFigures &figures() const { return figures_; }
    [[nodiscard]] const metrics::Histogram &lateness_seconds() const {
        return status_.lateness_seconds();
    }
    // Called once when the run ends, before the last completions run.
    void on_finish(std::function<void()> call) { on_finish_ = std::move(call); }
    // Ends the run from another thread, as a signal does.
    void stop() {
        asio::post(io_, [this] { finish(); });
    }

  private:
    using Executor = asio::io_context::executor_type;
    using Socket = asio::basic_stream_socket<asio::ip::tcp, Executor>;
    using Timer = asio::basic_waitable_timer<Clock, asio::wait_traits<Clock>, Executor>;

    enum class Phase : std::uint8_t {
        to_connect,   // the timer starts a pass: resolve and connect
        to_reconnect, // the timer connects again to the address resolved
        connecting,   // a connect is under way; the timer ends it at the connect time-out
        to_send,      // connected: the timer sends the next message
        writing,      // a send is under way
        slow_pause,   // a slow message: the timer writes its next piece
        to_close,     // close-after-send: the message is written; the timer ends the connection
        done          // sent its count of messages
    };

    // What the server did to a connection.
    enum class Ending : std::uint8_t { none, ended, reset };

    // The second copy of a duplicate in close-after-send mode: due on a new connection, as a
    // retrying unit sends it, then being written.
    enum class Copy : std::uint8_t { none, due, writing };

    // What discarding the server's input came to.
    enum class Input : std::uint8_t { drained, ended, reset };

    struct Unit {
        Unit(asio::io_context &io, unsigned seed, std::uint64_t fault_seed)
            : socket(io.get_executor()), timer(io.get_executor()), stream(seed),
              faults(fault_seed) {}
        Socket socket;
        Timer timer;
        UnitStream<Rng> stream;
        FaultStream faults;
        Clock::time_point due{}; // when the next message (or the pending pass) is due
        Clock::time_point write_started{};
        Clock::time_point connect_started{};
        Clock::time_point last_sent = Clock::time_point::min();
        std::uint32_t index = 0;      // position in the fleet
        std::uint32_t generation = 0; // advances when a connection ends: older reads are stale
        std::uint32_t sent = 0;       // messages written whole
        std::uint32_t slots = 0;      // its slots accounted for, from its first one
        std::uint32_t first_tick = 0, last_tick = 0; // of the messages written whole
        std::uint32_t unconfirmed = 0;
        Phase state = Phase::to_connect;
        Ending ending = Ending::none;  // seen while a send was under way
        bool closing_line_due = false; // "socket is closing" after the pause of a failure
        bool timed_out = false;        // the pending connect or send ran out of time
        bool is_connected = false;
        bool wrote_on_connection = false;
        bool holds_permit = false;         // the connect-rate cap has let it connect at its timer
        FaultKind fault = FaultKind::none; // of the message under way
        Copy copy = Copy::none;
        std::uint8_t slow_written = 0; // bytes of a slow message written so far
        std::uint8_t message_length = 0;
        char message[MAX_MESSAGE_LENGTH + 1]{};
    };

    static constexpr auto CONNECT_TIME_OUT = std::chrono::seconds(10);
    static constexpr auto WAKE_UP_STEP = std::chrono::milliseconds(1);
    static constexpr auto MISSED_AFTER = Schedule::MISSED_AFTER;

    [[nodiscard]] NextSend<Clock::time_point> next_slot(const Unit &u, Clock::time_point t) const;
    [[nodiscard]] long long scheduled(Clock::time_point end) const;
    void pass_slots(Unit &u, Clock::time_point t, long long &figure);
    void move_to(Unit &u, Clock::time_point slot);
    [[nodiscard]] Clock::time_point horizon() const;
    void account_end(Clock::time_point end);
    void arm(Unit &u, Phase next, Clock::time_point at);
    void print_startup();
    void on_timer(Unit &u);
    void start_pass(Unit &u);
    void connect_when_permitted(Unit &u);
    void connect(Unit &u);
    void send_copy_apart(Unit &u);
    void on_connected(Unit &u, const asio::error_code &error);
    void note_failure(Failure kind, const std::string &line, const std::string &reason);
    void retry_pass(Unit &u, Failure kind, ConsoleLine line, int code);
    EndRule end_as(Unit &u, ConnectionEnd why, int code);
    void fail_connection(Unit &u, Failure kind, ConnectionEnd why, int code);
    void watch_input(Unit &u);
    Input discard_input(Unit &u, asio::error_code &ec);
    void on_input(Unit &u);
    void on_connection_ended(Unit &u, Ending ending, const asio::error_code &ec);
    void end_connection(Unit &u);
    void close_orderly(Unit &u);
    void send_or_skip(Unit &u);
    void send(Unit &u);
    void write(Unit &u, int bytes, int copies);
    void write_slow(Unit &u);
    void finish_slow(Unit &u);
    void count_fault(FaultKind kind);
    void go_silent(Unit &u);
    void after_message(Unit &u);
    void on_written(Unit &u, const asio::error_code &ec, bool partly);
    void note_written(Unit &u);
    void note_not_written(bool partly);
    void note_unconfirmed(Unit &u);
    void on_cut(Unit &u);
    void tick_status();
    bool status_if_due();
    void arm_status();
    void finish();

    asio::io_context &io_;
    const FleetOptions &o_;
    FaultLogFile &fault_log_;
    const bool faulting_;
    const StepContext step_context_;
    const bool keep_open_;
    StatusLine status_;
    Schedule schedule_;
    ConnectPermits permits_;
    ServerAddress server_;
    asio::ip::tcp::endpoint endpoint_;
    std::vector<Unit> units_;
    Timer status_timer_, end_timer_;
    asio::signal_set signals_;
    Clock::time_point end_{};
    Clock::time_point ended_at_{}; // the end of the schedule: the duration's end, or the stop
    FleetFigures figures_;
    long long units_done_ = 0;
    FleetResult result_;
    bool finished_ = false;
    std::function<void()> on_finish_;
    std::array<char, DRAIN_PIECE> discard_{};
    const Share share_;
};

extern template class Engine<GlibcRand>;
extern template class Engine<MsvcrtRand>;

} // namespace vandry::fleet

#endif

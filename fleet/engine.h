// The fleet's event loop: every unit a small record in one vector, driven by its own timer and
// socket on one io_context on one thread. A unit goes the single unit's way (resolve, connect,
// send one message per interval, keep or close the connection, 5 s after every failure) with
// its own generator, so that its bytes are exactly those of vandry seeded with the unit's seed.
#ifndef VANDRY_FLEET_ENGINE_H
#define VANDRY_FLEET_ENGINE_H

#include "message.h"
#include "options.h"
#include "server_address.h"
#include "stats.h"

#include <asio.hpp>

#include <array>
#include <cstdint>
#include <vector>

namespace vandry::fleet {

// How a run ended, with the figures for the summary.
struct FleetResult {
    FleetFigures figures;
    LatenessHistogram lateness;
    double seconds = 0;
    long long expected = 0;
    bool complete = false; // every unit sent what it should
};

template <class Rng> class Engine {
  public:
    Engine(asio::io_context &io, const FleetOptions &o);

    // Prints each unit's start-up lines (with --echo), starts every unit at its place in the
    // first interval and runs until the run ends.
    FleetResult run();

  private:
    using Executor = asio::io_context::executor_type;
    using Socket = asio::basic_stream_socket<asio::ip::tcp, Executor>;
    using Timer = asio::basic_waitable_timer<Clock, asio::wait_traits<Clock>, Executor>;

    enum class Phase : std::uint8_t {
        to_start,     // the timer starts a pass: resolve and connect
        connecting,   // a connect is under way
        to_reconnect, // the timer connects again to the same address
        connected,    // the timer sends the next message (or, closing mode, ends the connection)
        writing,      // a send is under way
        done          // sent its count of messages
    };

    struct Unit {
        Unit(asio::io_context &io, unsigned seed)
            : socket(io.get_executor()), timer(io.get_executor()), stream(seed) {}
        Socket socket;
        Timer timer;
        UnitStream<Rng> stream;
        Clock::time_point due{}; // when the next message (or the pending pass) is due
        Clock::time_point write_started{};
        std::uint32_t index = 0;      // position in the fleet
        std::uint32_t generation = 0; // advances when a connection ends: older reads are stale
        std::uint32_t sent = 0;
        Phase state = Phase::to_start;
        bool closing_line_due = false; // "socket is closing" after the pause of a send error
        bool timed_out = false;
        bool is_connected = false;
        std::uint8_t message_length = 0;
        char message[MAX_MESSAGE_LENGTH + 1]{};
    };

    static constexpr auto RETRY_PAUSE = std::chrono::milliseconds(5000);
    static constexpr auto SEND_TIME_OUT = std::chrono::seconds(30);
    static constexpr auto WAKE_UP_STEP = std::chrono::milliseconds(1);

    [[nodiscard]] Clock::duration offset_of(const Unit &u) const;
    [[nodiscard]] Clock::time_point place_from(const Unit &u, Clock::time_point t) const;
    void arm(Unit &u, Phase next, Clock::time_point at);
    void print_startup();
    void on_timer(Unit &u);
    void retry_pass(Unit &u);
    void start_pass(Unit &u);
    void abandon_pass(Unit &u, ConsoleLine line, const asio::error_code &ec);
    void connect(Unit &u);
    void on_connected(Unit &u, const asio::error_code &error);
    void watch_input(Unit &u);
    bool discard_input(Unit &u);
    void end_connection(Unit &u);
    void close_orderly(Unit &u);
    void send(Unit &u);
    void on_written(Unit &u, const asio::error_code &ec);
    void tick_status();
    bool status_if_due();
    void arm_status();
    void finish();

    asio::io_context &io_;
    const FleetOptions &o_;
    const bool keep_open_;
    const bool terminal_;
    const Clock::duration interval_;
    ServerAddress server_;
    asio::ip::tcp::endpoint endpoint_;
    std::vector<Unit> units_;
    Timer status_timer_, end_timer_;
    asio::signal_set signals_;
    Clock::time_point start_{}, next_status_{}, end_{};
    FleetFigures figures_;
    long long sent_this_second_ = 0, units_done_ = 0;
    LatenessHistogram second_lateness_, run_lateness_;
    FleetResult result_;
    bool finished_ = false;
    int status_width_ = 0;
    std::array<char, 4096> discard_{};
};

extern template class Engine<GlibcRand>;
extern template class Engine<MsvcrtRand>;

} // namespace vandry::fleet

#endif

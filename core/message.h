// A unit's messages: the data type code's layout and mode, composing each message from one
// tick, the stream of messages a seeded unit sends, and the console lines that go with them.
#ifndef VANDRY_CORE_MESSAGE_H
#define VANDRY_CORE_MESSAGE_H

#include "core/record.h"
#include "core/tank.h"
#include "core/tick.h"

#include <cstdint>
#include <string>

namespace vandry {

// The tens digit of a data type code selects the layout, the units digit the mode: keep-open
// (10, 20, 30: "\r\n" after each message, the connection kept) or close-after-send (11, 21, 31).
enum class Mode { keep_open, close_after_send };

bool is_data_type(int code);
Layout layout_of(int data_type);
Mode mode_of(int data_type);
bool keeps_connection(int data_type);
const char *layout_name(Layout layout); // "short", "long", "gps"
const char *mode_name(Mode mode);       // "keep-open", "close-after-send"
std::string echo_tag(int data_type);    // the echo's layout and mode, e.g. "shrt opn" for 10

// The six codes in words, for --help.
extern const char DATA_TYPE_HELP[];

// A station name: 1 to MAX_NAME_LENGTH bytes, no whitespace.
constexpr int MAX_NAME_LENGTH = 30;
// Name, comma, record, CR LF.
constexpr int MAX_MESSAGE_LENGTH = MAX_NAME_LENGTH + 1 + MAX_RECORD_LENGTH + 2;

// The sequence number after this one: 0 to 15, then 0 again (-1 before the first gives 0).
int next_sequence(int sequence);

// A unit's next message into out (at least MAX_MESSAGE_LENGTH + 1 bytes): advances the sequence
// number, makes one tick with the given draws, writes name, ",", the selected record and, in
// keep-open mode, "\r\n", and a terminating zero. Returns the length. Allocates nothing.
int compose_message(char *out, const char *name, int data_type, const Tank &tank, Telemetry &tm,
                    TickDraws draws);

// The messages of one seeded unit, tick after tick: its generator, the tank drawn from it, and
// the telemetry that runs on. The same seed gives the same messages, wherever they are made.
template <class Rng> class UnitStream {
  public:
    explicit UnitStream(unsigned seed) noexcept : rng_(seed), tank_(draw_tank(rng_)) {}

    // The next tick's message; see compose_message.
    int next(char *out, const char *name, int data_type) noexcept {
        ++ticks_;
        return compose_message(out, name, data_type, tank_, tm_, draw_tick(rng_));
    }
    // Moves past the next tick without composing its message.
    void skip() noexcept {
        ++ticks_;
        draw_tick(rng_);
        tm_.sequence = next_sequence(tm_.sequence);
        advance_position(tank_, tm_);
    }

    [[nodiscard]] const Tank &tank() const noexcept { return tank_; }
    [[nodiscard]] const Telemetry &telemetry() const noexcept { return tm_; }
    // Ticks made so far: the tick of the last message, counted from 1.
    [[nodiscard]] std::uint32_t ticks() const noexcept { return ticks_; }

  private:
    Rng rng_;
    Tank tank_;
    Telemetry tm_ = START_TELEMETRY;
    std::uint32_t ticks_ = 0;
};

// The unit's console lines about its connection, the same from vandry and from the fleet.
enum class ConsoleLine {
    startup_failed, // the socket library could not start
    resolve_failed,
    socket_failed,
    bind_failed,
    connect_failed,
    send_failed,
    receive_failed, // the connection failed or was reset while the unit waited
    ended_by_server,
    closing, // a close-after-send connection ends
};

// The line, with the platform's error code where it has one.
std::string console_line(ConsoleLine line, int code = 0);

// Prints the line on standard output.
void print_line(ConsoleLine line, int code = 0);

// Prints the echo of a sent message: "(<length>) <layout> <mode>: " and the message itself,
// whose own line end ends the line.
void print_echo(int data_type, const char *message, int length);

} // namespace vandry

#endif

// A planned station's stream, regenerated: its seed fixes every message, so any tick's text is
// made again with the units' own generator and message code. Only forward: a cursor is the
// generator's state and the telemetry before one tick.
#ifndef VANDRY_RECEIVER_PLANNED_STREAM_H
#define VANDRY_RECEIVER_PLANNED_STREAM_H

#include "core/message.h"
#include "receiver/message_check.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace vandry::receiver {

// A stream positioned before tick next_tick.
template <class Rng> struct Cursor {
    Rng rng;
    Telemetry tm = START_TELEMETRY;
    std::uint32_t next_tick = 0;
};

std::uint64_t hash_of(std::string_view text);

// How two records of one layout differ: in how many fields (more than one counts as two) and
// in which first. The GPS record's last field, the checksum, follows from the others: it counts
// only when nothing else differs.
struct Difference {
    int fields = 0;
    std::size_t first = 0;
    std::string expected, got;
};
Difference differ(std::string_view expected, std::string_view got, Layout layout);

// The name of a record's field by its position after the station name (0: the first value).
const char *field_name(Layout layout, std::size_t position);

// Whether a tick with these draws, after a message numbered previous_sequence, can have
// printed the message's sequence, supply and signal: most ticks are ruled out without composing.
bool may_be(int previous_sequence, TickDraws draws, const Verdict &v);

// One station's stream: its tank, and the texts of its ticks up to their records' line ends.
template <class Rng> class PlannedStream {
  public:
    // name must outlive the stream.
    PlannedStream(unsigned seed, const std::string &name, Layout layout)
        : seed_(seed), name_(&name), layout_(layout) {
        Rng rng(seed);
        tank_ = draw_tank(rng);
    }

    // A cursor before tick 0: made again rather than kept, since a station keeps little.
    [[nodiscard]] Cursor<Rng> start() const {
        Cursor<Rng> c{Rng(seed_)};
        draw_tank(c.rng);
        return c;
    }
    [[nodiscard]] Layout layout() const { return layout_; }
    [[nodiscard]] const std::string &name() const { return *name_; }

    // The text of the cursor's next tick; the cursor moves past it. Valid until the next call.
    std::string_view text(Cursor<Rng> &c) { return text_with(c, draw_tick(c.rng)); }

    std::string_view text_with(Cursor<Rng> &c, TickDraws draws) {
        // One buffer for every stream of a thread: a station keeps no text.
        thread_local std::array<char, MAX_MESSAGE_LENGTH + 1> buffer{};
        const int code = static_cast<int>(layout_) * 10 + 1; // close-after-send: no CR LF
        const int length = compose_message(buffer.data(), name_->c_str(), code, tank_, c.tm, draws);
        ++c.next_tick;
        return {buffer.data(),
                static_cast<std::size_t>(length) - (layout_ == Layout::gps_record ? 1U : 2U)};
    }

    // Moves the cursor past its next tick without composing it.
    void pass(Cursor<Rng> &c) const {
        draw_tick(c.rng);
        c.tm.sequence = next_sequence(c.tm.sequence);
        advance_position(tank_, c.tm);
        ++c.next_tick;
    }
    void pass_to(Cursor<Rng> &c, std::uint32_t tick) const {
        while (c.next_tick < tick)
            pass(c);
    }

    // Whether the cursor's next tick is the message; the cursor moves past it.
    bool is(Cursor<Rng> &c, const Verdict &v, std::string_view text) {
        const TickDraws draws = draw_tick(c.rng);
        if (!may_be(c.tm.sequence, draws, v)) {
            c.tm.sequence = next_sequence(c.tm.sequence);
            advance_position(tank_, c.tm);
            ++c.next_tick;
            return false;
        }
        return text_with(c, draws) == text;
    }

    // How the message differs from the cursor's next tick (names left out); the cursor moves.
    Difference difference(Cursor<Rng> &c, std::string_view text) {
        const std::size_t name = name_->size() + 1;
        const std::string_view expected = this->text(c);
        return differ(expected.substr(name), text.substr(std::min(name, text.size())), layout_);
    }

  private:
    unsigned seed_;
    Tank tank_{};
    const std::string *name_;
    Layout layout_;
};

} // namespace vandry::receiver

#endif

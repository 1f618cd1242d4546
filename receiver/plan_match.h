// Knowing every message of a planned station by its tick. A planned station's stream is fully
// determined by its seed, so each arrival is compared with the stream, regenerated with the
// units' own generator and message code. Records recur within a stream, so a message is placed
// at the nearest tick that it equals, and how far it may be looked for is bounded.
//
// In arrival order (listening, or reading rows as they come):
// - a station's first message starts its count, unless the extent says where it starts;
// - tick 0 after later ticks is a restart: a new run, and nothing before it is lost;
// - a message that equals a tick at or behind the station's last (looked for up to
//   BEHIND_WINDOW ticks back) is a duplicate, unless a tick ahead that it equals is nearer;
// - otherwise it is placed at the nearest tick ahead that it equals, and the ticks between are
//   lost. Ahead is bounded: listening, by the ticks that the time since the station's last
//   message allows (with slack); reading, by the extent, or JUMP_LIMIT without one;
// - a message with no match within these bounds is altered: it takes the place of the next
//   tick (or of one just ahead from which it differs in one field), so it is not also counted
//   as lost, and it is reported with the first field that differs;
// - with an extent, the ticks of it before a station's first message and after its last are
//   lost too, and a planned station with no message at all is missing.
// In any order, every message of a station is placed once all are in (see any_order.h).
#ifndef VANDRY_RECEIVER_PLAN_MATCH_H
#define VANDRY_RECEIVER_PLAN_MATCH_H

#include "core/plan.h"
#include "receiver/extent.h"
#include "receiver/message_check.h"
#include "receiver/planned_stream.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace vandry::receiver {

enum class Arrival : std::uint8_t {
    next,       // the tick after the last one, or a station's first message
    after_loss, // a later tick: the ticks between are lost
    duplicate,  // a tick at or behind the last one
    restart,    // tick 0 after later ticks
    altered,    // no tick of the stream
    unknown,    // a station that is not in the plan
    held,       // kept, to be placed when every message is in
    lost,       // found at the end: the ticks just before tick + 1 are lost
    missing     // found at the end: a planned station with no message at all
};

struct Matched {
    Arrival arrival = Arrival::next;
    std::uint32_t tick = 0;           // the tick it is, or whose place it takes
    std::uint32_t lost = 0;           // ticks lost just before it
    std::uint32_t previous = 0;       // the station's last tick before it
    bool first = false;               // unknown: the station's first message
    std::string field, expected, got; // altered: the first field that differs
};

// What happened to one station.
struct StationFigures {
    std::string name;
    unsigned long long messages = 0, lost = 0, duplicated = 0, altered = 0, restarts = 0;
    bool planned = false;
    bool started = false; // a message has been placed: the ticks are known
    std::uint32_t first_tick = 0, last_tick = 0;
};

// How far a message is looked for behind its station's last tick.
constexpr std::uint32_t BEHIND_WINDOW = 4096;
// How far ahead a station's first message, or a jump read without an extent, is looked for
// (about 9 days at 3 s): a message beyond counts as altered.
constexpr std::uint32_t JUMP_LIMIT = 1u << 18;
// Listening, a jump may be at most the ticks that the time since the station's last message
// allows, times 5/4, plus this many.
constexpr std::uint32_t JUMP_SLACK = 16;
// Unknown stations kept by name; the messages of any further ones are counted only.
constexpr std::size_t MAX_UNKNOWN_NAMES = 10000;

// What the end of a run finds: a station and what happened to it.
using Found = std::function<void(const std::string &station, const Matched &)>;

class PlanMatcher {
  public:
    virtual ~PlanMatcher() = default;
    // Places a well-formed message: text is the message up to its record's line end; now_ms
    // is the time it arrived (steady, in ms), or negative for a message read from a store.
    virtual Matched match(const Verdict &v, std::string_view text, long long now_ms) = 0;
    // The run has ended: what only the end can tell (losses at the ends of the extents, missing
    // stations, the placements of any order), each handed to found.
    virtual void finish(const Found &found) = 0;
    // Every station of the plan, in the plan's order, then the unknown ones.
    virtual void for_each(const std::function<void(const StationFigures &)> &visit) const = 0;
    [[nodiscard]] virtual unsigned long long unknown_stations() const = 0;
    // Messages of unknown stations beyond the names kept.
    [[nodiscard]] virtual unsigned long long unknown_unnamed_messages() const = 0;
    [[nodiscard]] virtual unsigned long long missing_stations() const = 0;
    // Messages placed behind their station's last tick: many of them in a store suggest that
    // its rows are not in arrival order.
    [[nodiscard]] virtual unsigned long long placed_behind() const = 0;
};

struct MatchOptions {
    const Extents *extents = nullptr; // none: where each stream starts and ends is unknown
    bool any_order = false;
};

std::unique_ptr<PlanMatcher> make_plan_matcher(const Plan &plan, const MatchOptions &options = {});

} // namespace vandry::receiver

#endif

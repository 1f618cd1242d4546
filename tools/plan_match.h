// Knowing every message of a planned station by its tick. A planned station's stream is fully
// determined by its seed, so each arrival is compared with the stream, regenerated forward with
// the units' own generator and message code; nothing of a stream is kept but a cursor into it.
//
// The rules:
// - a station's first message starts its count: what came before is not this receiver's
//   business;
// - tick 0 after later ticks is a restart: a new run, and nothing before it is lost;
// - a tick at or behind the station's last tick is a duplicate;
// - a jump forward loses exactly the ticks in between;
// - a message that is no tick of the stream is altered: it takes the place of the next expected
//   tick (or of a tick just ahead from which it differs in one field), so it is not also counted
//   as lost, and it is reported with the first field that differs;
// - a station that is not in the plan is an unknown station.
#ifndef VANDRY_CHECK_PLAN_MATCH_H
#define VANDRY_CHECK_PLAN_MATCH_H

#include "message_check.h"
#include "plan.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace vandry::check {

enum class Arrival : std::uint8_t {
    next,       // the tick after the last one, or a station's first message
    after_loss, // a later tick: the ticks between are lost
    duplicate,  // a tick at or behind the last one
    restart,    // tick 0 after later ticks
    altered,    // no tick of the stream
    unknown     // a station that is not in the plan
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

// A jump forward is looked for this many ticks ahead (about 36 days at 3 s): a message beyond
// counts as altered.
constexpr std::uint32_t MAX_JUMP = 1u << 20;

class PlanMatcher {
  public:
    virtual ~PlanMatcher() = default;
    // Places a well-formed message: text is the message up to its record's line end.
    virtual Matched match(const Verdict &v, std::string_view text) = 0;
    // Every station of the plan, in the plan's order, then the unknown ones.
    virtual void for_each(const std::function<void(const StationFigures &)> &visit) const = 0;
    [[nodiscard]] virtual unsigned long long unknown_stations() const = 0;
};

std::unique_ptr<PlanMatcher> make_plan_matcher(const Plan &plan);

// The name of a record's field by its position after the station name (0: the first value).
const char *field_name(Layout layout, std::size_t position);

} // namespace vandry::check

#endif

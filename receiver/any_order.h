// Placing a store's rows in any order: every message of a planned station is kept until all are
// in, then the station's stream is made again from tick 0 and each tick takes a kept message
// that is its text, as often as the stream holds that text. The result is the same for every
// order of the rows:
// - a row beyond the number of times its record is planned is a duplicate;
// - a row that is no tick of the stream is altered, and takes the place of the missing tick from
//   which it differs in the fewest fields (the earliest of those), so it is not also lost;
// - with an extent, every tick of it that no row holds is lost; without one, the ticks between
//   a station's first and last placed message.
// Without an extent, a station's stream is followed until ANY_ORDER_GAP ticks in a row hold none
// of its remaining rows: nothing further away is looked for.
#ifndef VANDRY_RECEIVER_ANY_ORDER_H
#define VANDRY_RECEIVER_ANY_ORDER_H

#include "receiver/plan_match.h"

namespace vandry::receiver {

constexpr std::uint32_t ANY_ORDER_GAP = 4096;
// The missing ticks of a station that an altered row may take, the earliest first.
constexpr std::size_t MAX_ALTERED_PLACES = 1024;

std::unique_ptr<PlanMatcher> make_any_order_matcher(const Plan &plan, const Extents *extents);

} // namespace vandry::receiver

#endif

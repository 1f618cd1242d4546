// When a unit sends its next message: its slots lie on a grid of one interval from its first
// slot. Two messages are never less than half an interval apart and missed slots are never
// caught up in a burst; a late message does not cost the slot after it unless that slot, kept
// half an interval after the late one, would itself go out more than the skip limit late.
#ifndef VANDRY_FLEET_SCHEDULE_H
#define VANDRY_FLEET_SCHEDULE_H

#include <algorithm>
#include <chrono>

namespace vandry::fleet {

template <class TimePoint> struct NextSend {
    TimePoint slot; // the slot that the message serves, on the grid
    TimePoint at;   // when it goes: the slot, or half an interval after the last message
};

// The first slot of the grid (first, first + interval, ...) at or after t.
template <class TimePoint, class Duration>
TimePoint slot_at_or_after(TimePoint first, Duration interval, TimePoint t) {
    if (t <= first)
        return first;
    const auto periods = (t - first + interval - Duration(1)) / interval;
    return first + interval * periods;
}

// The next message's slot and moment, from the moment t on: the first slot at or after t that
// can go out within missed_after of it. last_sent: when the last message went, or
// TimePoint::min() when there is none.
template <class TimePoint, class Duration>
NextSend<TimePoint> next_send(TimePoint first, Duration interval, TimePoint t, TimePoint last_sent,
                              Duration missed_after) {
    if (last_sent == TimePoint::min()) {
        const TimePoint slot = slot_at_or_after(first, interval, t);
        return {slot, slot};
    }
    const TimePoint earliest = last_sent + interval / 2;
    const TimePoint slot = slot_at_or_after(first, interval, std::max(t, earliest - missed_after));
    return {slot, std::max(slot, earliest)};
}

} // namespace vandry::fleet

#endif

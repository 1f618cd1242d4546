// When a unit sends its next message: its slots lie on a grid of one interval from its first
// slot. Two messages are never less than half an interval apart and missed slots are never
// caught up in a burst; a late message does not cost the slot after it unless that slot, kept
// half an interval after the late one, would itself go out more than the skip limit late.
#ifndef VANDRY_FLEET_SCHEDULE_H
#define VANDRY_FLEET_SCHEDULE_H

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace vandry::fleet {

// The one clock of the fleet: its schedule, its timers and its figures.
using Clock = std::chrono::steady_clock;

template <class TimePoint> struct NextSend {
    TimePoint slot; // the slot that the message serves, on the grid
    TimePoint at;   // when it goes: the slot, or half an interval after the last message
};

// The first slot of the grid (first, first + interval, ...) at or after t.
template <class TimePoint, class Duration>
TimePoint slot_at_or_after(TimePoint first, Duration interval, TimePoint t) {
    if (t <= first)
        return first;
    const auto periods = (t - first + interval - typename TimePoint::duration(1)) / interval;
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

// The fleet's schedule from the run's start: unit i of n connects at i/n of the ramp and sends
// at i/n of every interval, its slots; it is missed by more than MISSED_AFTER is skipped. Pure
// arithmetic on the moments it is given.
struct Schedule {
    static constexpr Clock::duration MISSED_AFTER = std::chrono::seconds(1);

    Clock::time_point start;
    Clock::duration interval, ramp;
    long long units = 1;

    // The unit's share of a span: the units divide it evenly, in their order.
    [[nodiscard]] Clock::duration share_of(Clock::duration span, std::uint32_t unit) const {
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(span).count();
        // At most a day in microseconds times ten million units: well within 64 bits.
        return std::chrono::microseconds(us * static_cast<long long>(unit) / units);
    }
    // When the unit connects first.
    [[nodiscard]] Clock::time_point first_connect(std::uint32_t unit) const {
        return start + share_of(ramp, unit);
    }
    // The first of the unit's slots at or after t.
    [[nodiscard]] Clock::time_point slot_from(std::uint32_t unit, Clock::time_point t) const {
        return slot_at_or_after(start + share_of(interval, unit), interval, t);
    }
    // The slot of the unit's next message from t on, and when it goes; last_sent as next_send.
    [[nodiscard]] NextSend<Clock::time_point> next(std::uint32_t unit, Clock::time_point t,
                                                   Clock::time_point last_sent) const {
        return next_send(start + share_of(interval, unit), interval, t, last_sent, MISSED_AFTER);
    }
    // The unit's slots before t, from its first one (the first at or after its connect).
    [[nodiscard]] std::uint32_t slots_before(std::uint32_t unit, Clock::time_point t) const {
        const Clock::time_point first = slot_from(unit, first_connect(unit));
        return t > first
                   ? static_cast<std::uint32_t>((t - first - Clock::duration(1)) / interval + 1)
                   : 0;
    }
};

// Connections under a rate cap: each takes the next free moment of a queue that hands out one
// per step (none: no cap).
class ConnectPermits {
  public:
    ConnectPermits(Clock::time_point start, Clock::duration step) : next_(start), step_(step) {}
    [[nodiscard]] bool capped() const { return step_ > Clock::duration::zero(); }
    [[nodiscard]] Clock::duration step() const { return step_; }
    // The moment of the next connection asked for at now.
    Clock::time_point take(Clock::time_point now) {
        const Clock::time_point permit = std::max(now, next_);
        next_ = permit + step_;
        return permit;
    }

  private:
    Clock::time_point next_;
    Clock::duration step_;
};

// The timers go off on a coarse grid of steps from the start, so that the units due within one
// step share one wake-up of the loop: the step at or after at.
template <class TimePoint, class Duration>
TimePoint wake_up_at(TimePoint start, Duration step, TimePoint at) {
    const auto steps = (at - start + step - typename TimePoint::duration(1)) / step;
    return start + step * std::max<decltype(steps)>(steps, 0);
}

} // namespace vandry::fleet

#endif

// The fleet's running figures by the second: the status line once a second (rewritten in place
// on a terminal, a line each otherwise) and the lateness of every send against its slot, for
// the second and for the run.
#ifndef VANDRY_FLEET_STATUS_LINE_H
#define VANDRY_FLEET_STATUS_LINE_H

#include "fleet/fleet_metrics.h"
#include "fleet/schedule.h"
#include "fleet/stats.h"

#include <functional>

namespace vandry::fleet {

// The next moment to print at, one second after the last: after a stall, the next whole second
// from the start that is still to come, rather than a burst of lines.
Clock::time_point next_second(Clock::time_point last, Clock::time_point now);

class StatusLine {
  public:
    // shown: the line is printed (not when the units' own lines are); terminal: in place.
    StatusLine(bool shown, bool terminal) : shown_(shown), terminal_(terminal) {}

    // The run starts: its first line is due a second later.
    void start(Clock::time_point start) {
        start_ = start;
        next_ = start + std::chrono::seconds(1);
    }
    // Each second goes to publish instead of the console: the line of several engines is one.
    using Publish =
        std::function<void(long long second, const FleetFigures &f, const LatenessHistogram &h)>;
    void publish_to(Publish publish) { publish_ = std::move(publish); }
    // A send that started this late after its slot.
    void add_lateness(Clock::duration late);
    void note_written() { ++written_; }
    void note_fault() { ++faults_; }

    [[nodiscard]] bool due(Clock::time_point now) const { return now >= next_; }
    [[nodiscard]] Clock::time_point next() const { return next_; }
    // The second that has come: its figures into f, its line printed; the next second after now.
    void print_second(FleetFigures &f, Clock::time_point now);
    // The run's end: the terminal's line ended, the last second's lateness joined to the run's.
    void finish();
    [[nodiscard]] const LatenessHistogram &run_lateness() const { return run_lateness_; }
    // Every send's lateness so far, for scrapers.
    [[nodiscard]] const metrics::Histogram &lateness_seconds() const { return lateness_seconds_; }

  private:
    const bool shown_, terminal_;
    Publish publish_;
    Clock::time_point start_{}, next_{};
    long long written_ = 0, faults_ = 0; // in the second
    LatenessHistogram second_lateness_, run_lateness_;
    metrics::Histogram lateness_seconds_ = lateness_seconds_histogram();
};

} // namespace vandry::fleet

#endif

#include "fleet/status_line.h"

#include "core/console.h"

namespace vandry::fleet {

Clock::time_point next_second(Clock::time_point last, Clock::time_point now) {
    const auto second = std::chrono::seconds(1);
    Clock::time_point next = last + second;
    if (next <= now)
        next += (now - next) / second * second + second;
    return next;
}

void StatusLine::add_lateness(Clock::duration late) {
    second_lateness_.add(std::chrono::duration_cast<std::chrono::microseconds>(late).count());
    lateness_seconds_.add(std::chrono::duration<double>(late).count());
}

void StatusLine::print_second(FleetFigures &f, Clock::time_point now) {
    f.written_last_second = written_;
    f.faults_last_second = faults_;
    const long long second = (next_ - start_) / std::chrono::seconds(1);
    if (publish_) {
        publish_(second, f, second_lateness_);
    } else if (shown_) {
        if (terminal_)
            report("\r%-79s", terminal_status_line(second, f, second_lateness_).c_str());
        else
            report("%s\n", status_line(second, f, second_lateness_).c_str());
    }
    run_lateness_.merge(second_lateness_);
    second_lateness_.clear();
    written_ = faults_ = 0;
    next_ = next_second(next_, now);
}

void StatusLine::finish() {
    if (terminal_ && shown_)
        report("\n");
    run_lateness_.merge(second_lateness_);
    second_lateness_.clear();
}

} // namespace vandry::fleet

#include "fleet/crew.h"

#include "core/console.h"
#include "fleet/fleet_metrics.h"

#include <algorithm>

namespace vandry::fleet {

Crew::Crew(std::uint32_t threads, bool shown, bool terminal)
    : shown_(shown), terminal_(terminal), slots_(threads),
      failed_(static_cast<std::size_t>(Failure::count)) {
    for (Slot &slot : slots_)
        slot.lateness_seconds = lateness_seconds_histogram();
}

Clock::time_point Crew::start_together() {
    std::unique_lock<std::mutex> hold(mutex_);
    if (++arrivals_ == slots_.size()) {
        start_ = Clock::now();
        arrived_.notify_all();
    } else {
        arrived_.wait(hold, [this] { return arrivals_ == slots_.size(); });
    }
    return start_;
}

void Crew::publish(std::uint32_t thread, const EngineSecond &s) {
    const std::lock_guard<std::mutex> hold(mutex_);
    Slot &slot = slots_[thread];
    slot.second = s.second;
    slot.figures = s.figures;
    slot.written += s.figures.written_last_second;
    slot.faults += s.figures.faults_last_second;
    slot.lateness.merge(s.lateness);
    slot.lateness_seconds = s.lateness_seconds;
    print_when_complete();
}

void Crew::retire(std::uint32_t thread, const FleetFigures &f,
                  const metrics::Histogram &lateness_seconds) {
    const std::lock_guard<std::mutex> hold(mutex_);
    Slot &slot = slots_[thread];
    slot.retired = true;
    slot.figures = f;
    slot.lateness_seconds = lateness_seconds;
    print_when_complete();
}

// The second that every running engine has reached: after a stall an engine skips seconds, and
// the line comes for the earliest second that all have given.
void Crew::print_when_complete() {
    long long second = -1;
    for (const Slot &slot : slots_)
        if (!slot.retired)
            second = second < 0 ? slot.second : std::min(second, slot.second);
    if (second <= printed_)
        return;
    printed_ = second;
    FleetFigures sum;
    LatenessHistogram lateness;
    long long written = 0, faults = 0;
    for (Slot &slot : slots_) {
        add_figures(sum, slot.figures);
        written += slot.written;
        faults += slot.faults;
        lateness.merge(slot.lateness);
        slot.lateness.clear();
        slot.written = slot.faults = 0;
    }
    sum.written_last_second = written;
    sum.faults_last_second = faults;
    if (!shown_)
        return;
    if (terminal_)
        report("\r%-79s", terminal_status_line(second, sum, lateness).c_str());
    else
        report("%s\n", status_line(second, sum, lateness).c_str());
}

bool Crew::first_failure(Failure kind) {
    return !failed_[static_cast<std::size_t>(kind)].exchange(true);
}

std::string Crew::metrics_text() const {
    FleetFigures sum;
    metrics::Histogram lateness = lateness_seconds_histogram();
    {
        const std::lock_guard<std::mutex> hold(mutex_);
        for (const Slot &slot : slots_) {
            add_figures(sum, slot.figures);
            lateness.merge(slot.lateness_seconds);
        }
    }
    return fleet_metrics_text(sum, lateness);
}

void Crew::end() const {
    if (terminal_ && shown_)
        report("\n");
}

void add_figures(FleetFigures &into, const FleetFigures &part) {
    for (auto figure :
         {&FleetFigures::units, &FleetFigures::connected, &FleetFigures::written,
          &FleetFigures::written_last_second, &FleetFigures::unconfirmed, &FleetFigures::failed,
          &FleetFigures::connect_failures, &FleetFigures::connects, &FleetFigures::skipped,
          &FleetFigures::held, &FleetFigures::unsent, &FleetFigures::waiting,
          &FleetFigures::faults_last_second})
        into.*figure += part.*figure;
    into.faulting = into.faulting || part.faulting;
    for (std::size_t k = 0; k < into.faults.size(); ++k)
        into.faults[k] += part.faults[k];
    for (std::size_t k = 0; k < into.failures.size(); ++k) {
        into.failures[k] += part.failures[k];
        if (into.first_failure[k].empty())
            into.first_failure[k] = part.first_failure[k];
    }
}

FleetResult merged_result(const std::vector<FleetResult> &parts) {
    FleetResult r;
    r.lateness_seconds = lateness_seconds_histogram();
    r.complete = true;
    std::size_t stations = 0;
    for (const FleetResult &part : parts) {
        add_figures(r.figures, part.figures);
        r.lateness.merge(part.lateness);
        r.lateness_seconds.merge(part.lateness_seconds);
        r.seconds = std::max(r.seconds, part.seconds);
        r.expected += part.expected;
        r.complete = r.complete && part.complete;
        stations += part.stations.size();
    }
    r.stations.reserve(stations);
    for (std::size_t i = 0; i < stations; ++i)
        r.stations.push_back(parts[i % parts.size()].stations[i / parts.size()]);
    return r;
}

} // namespace vandry::fleet

// The fleet's units on several threads: each thread's engine drives every N-th unit on an
// io_context of its own, and the crew is where the engines meet, never on a message's path:
// once at the start (one schedule start for all), once a second (each engine's figures and
// the lateness of its second, which make one status line), at the first failure of a kind and
// at the end. The run's result is the engines' results made one.
#ifndef VANDRY_FLEET_CREW_H
#define VANDRY_FLEET_CREW_H

#include "fleet/schedule.h"
#include "fleet/stats.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace vandry::fleet {

class Crew;

// The units that one engine drives: those whose index in the fleet is thread modulo threads,
// so that every thread's units are spread evenly over the ramp and the interval.
struct Share {
    Crew *crew = nullptr; // none: the engine is the whole fleet
    std::uint32_t thread = 0, threads = 1;
};

// An engine's figures at the end of one of its seconds.
struct EngineSecond {
    long long second;
    const FleetFigures &figures;
    const LatenessHistogram &lateness;          // of the sends in the second
    const metrics::Histogram &lateness_seconds; // of every send so far
};

class Crew {
  public:
    // shown, terminal: as the status line of a single engine.
    Crew(std::uint32_t threads, bool shown, bool terminal);

    // Waits until every engine has come; the moment that all of them start their schedule from.
    Clock::time_point start_together();
    // The engine's second: once every engine still running has given its second, the line of
    // the figures summed and the lateness merged is printed.
    void publish(std::uint32_t thread, const EngineSecond &s);
    // The engine's run is over with these figures: no later line waits for it.
    void retire(std::uint32_t thread, const FleetFigures &f,
                const metrics::Histogram &lateness_seconds);
    // True for the first failure of its kind in the whole fleet, which alone is printed.
    bool first_failure(Failure kind);
    // The figures summed and the lateness merged as published last, for scrapers.
    [[nodiscard]] std::string metrics_text() const;
    // Every engine has ended: a status line rewritten in place is ended.
    void end() const;

  private:
    struct Slot {
        long long second = 0;
        bool retired = false;
        FleetFigures figures;
        long long written = 0, faults = 0; // since the last line
        LatenessHistogram lateness;        // since the last line
        metrics::Histogram lateness_seconds;
    };
    void print_when_complete();

    const bool shown_, terminal_;
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::uint32_t arrivals_ = 0;
    Clock::time_point start_{};
    std::vector<Slot> slots_;
    long long printed_ = 0; // the last second whose line is out
    std::vector<std::atomic<bool>> failed_;
};

// The figures of two parts of a fleet summed; the first failure of each kind is the earlier
// part's.
void add_figures(FleetFigures &into, const FleetFigures &part);

// The engines' results as one: figures summed, lateness merged exactly, the longest run, every
// station in unit order (unit i is engine i % N's (i / N)-th).
FleetResult merged_result(const std::vector<FleetResult> &parts);

} // namespace vandry::fleet

#endif

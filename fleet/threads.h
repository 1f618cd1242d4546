// The fleet on several threads: an engine over each thread's share of the units, each on an
// io_context of its own, with the one handler of SIGINT and SIGTERM on the calling thread's
// loop, which also serves the scrapers. The run ends for all at the end of its duration or at a
// signal, and is over once every engine is done.
#ifndef VANDRY_FLEET_THREADS_H
#define VANDRY_FLEET_THREADS_H

#include "core/faults.h"
#include "fleet/crew.h"
#include "fleet/options.h"

#include <asio/io_context.hpp>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vandry::fleet {

template <class Rng> class Engine;

template <class Rng> class ThreadedFleet {
  public:
    // io: the calling thread's loop; threads: at least 2, at most the units.
    ThreadedFleet(asio::io_context &io, const FleetOptions &o, FaultLogFile &fault_log,
                  std::uint32_t threads);
    ~ThreadedFleet();
    ThreadedFleet(const ThreadedFleet &) = delete;
    ThreadedFleet &operator=(const ThreadedFleet &) = delete;

    // Runs every engine on a thread of its own until all are done; their results made one.
    FleetResult run();
    // The figures so far, merged, for a scrape while the run goes on.
    [[nodiscard]] std::string metrics_text() const { return crew_.metrics_text(); }
    // Called once, on the calling thread, when every engine is done.
    void on_finish(std::function<void()> call) { on_finish_ = std::move(call); }

  private:
    asio::io_context &io_;
    Crew crew_;
    std::vector<std::unique_ptr<asio::io_context>> loops_;
    std::vector<std::unique_ptr<Engine<Rng>>> engines_;
    std::function<void()> on_finish_;
};

} // namespace vandry::fleet

#endif

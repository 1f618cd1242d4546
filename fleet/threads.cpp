#include "fleet/threads.h"

#include "fleet/engine.h"
#include "platform/host.h"

#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>

#include <thread>

namespace vandry::fleet {

template <class Rng>
ThreadedFleet<Rng>::ThreadedFleet(asio::io_context &io, const FleetOptions &o,
                                  FaultLogFile &fault_log, std::uint32_t threads)
    : io_(io), crew_(threads, !o.echo, platform::console_is_terminal()) {
    for (std::uint32_t t = 0; t < threads; ++t) {
        loops_.push_back(std::make_unique<asio::io_context>(1));
        engines_.push_back(
            std::make_unique<Engine<Rng>>(*loops_.back(), o, fault_log, Share{&crew_, t, threads}));
    }
}

template <class Rng> ThreadedFleet<Rng>::~ThreadedFleet() = default;

template <class Rng> FleetResult ThreadedFleet<Rng>::run() {
    asio::signal_set signals(io_, SIGINT, SIGTERM);
    signals.async_wait([this](const asio::error_code &ec, int) {
        if (!ec)
            for (const auto &engine : engines_)
                engine->stop();
    });
    auto busy = asio::make_work_guard(io_);
    std::vector<FleetResult> results(engines_.size());
    std::size_t done = 0;
    std::vector<std::thread> workers;
    for (std::size_t t = 0; t < engines_.size(); ++t)
        workers.emplace_back([&, t] {
            results[t] = engines_[t]->run();
            asio::post(io_, [&] {
                if (++done < engines_.size())
                    return;
                asio::error_code ignored;
                signals.cancel(ignored);
                if (on_finish_)
                    on_finish_();
                busy.reset();
            });
        });
    io_.run();
    for (std::thread &worker : workers)
        worker.join();
    crew_.end();
    return merged_result(results);
}

template class ThreadedFleet<GlibcRand>;
template class ThreadedFleet<MsvcrtRand>;

} // namespace vandry::fleet

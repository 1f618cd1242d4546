// The reader threads of a receiver that reads on more than one (--threads): each runs an event
// loop of its own with a Server that reads the connections handed to it. The checking of every
// message stays on the thread that accepts, which owns every station.
#ifndef VANDRY_RECEIVER_READERS_H
#define VANDRY_RECEIVER_READERS_H

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

namespace vandry::receiver {

class Server;

// How the serving ends: at once (a recording that cannot be written), or at a signal, after
// what has arrived is taken.
enum class Stop { at_once, taking_what_arrived };

// How many readers --threads asks for: 0 is one per core.
unsigned reader_count(unsigned asked);

class ReaderThreads {
  public:
    // count readers for the connections that checker accepts and checks on its loop, checking.
    ReaderThreads(Server &checker, asio::io_context &checking, unsigned count);
    // Ends and joins the threads that still run.
    ~ReaderThreads();
    ReaderThreads(const ReaderThreads &) = delete;
    ReaderThreads &operator=(const ReaderThreads &) = delete;

    void start();
    // The reader of the next connection, round robin.
    Server &next();
    // Every reader closes its connections and ends; the checking loop keeps running until the
    // last events of all of them are in.
    void stop(Stop how);

  private:
    struct Reader;
    using Work = asio::executor_work_guard<asio::io_context::executor_type>;

    Server &checker_;
    asio::io_context &checking_;
    std::optional<Work> checking_work_;
    std::vector<std::unique_ptr<Reader>> readers_;
    std::size_t next_ = 0;
    std::size_t stopped_ = 0;
};

} // namespace vandry::receiver

#endif

#include "receiver/readers.h"

#include "receiver/server.h"

#include <asio/post.hpp>

#include <thread>

namespace vandry::receiver {

unsigned reader_count(unsigned asked) {
    if (asked != 0)
        return asked;
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : std::min(cores, MAX_READER_THREADS);
}

struct ReaderThreads::Reader {
    // Declared first, so that the server and its sockets go before their loop.
    asio::io_context io{1};
    std::optional<Work> work{asio::make_work_guard(io)};
    std::unique_ptr<Server> server;
    std::thread thread;
};

ReaderThreads::ReaderThreads(Server &checker, asio::io_context &checking, unsigned count)
    : checker_(checker), checking_(checking) {
    for (unsigned n = 0; n < count; ++n) {
        auto reader = std::make_unique<Reader>();
        reader->server = std::make_unique<Server>(reader->io, checker);
        readers_.push_back(std::move(reader));
    }
}

ReaderThreads::~ReaderThreads() {
    for (const std::unique_ptr<Reader> &r : readers_) {
        r->work.reset();
        r->io.stop();
        if (r->thread.joinable())
            r->thread.join();
    }
}

void ReaderThreads::start() {
    checking_work_.emplace(asio::make_work_guard(checking_));
    for (const std::unique_ptr<Reader> &r : readers_)
        r->thread = std::thread([&io = r->io] { io.run(); });
}

Server &ReaderThreads::next() {
    Reader &r = *readers_[next_];
    next_ = (next_ + 1) % readers_.size();
    return *r.server;
}

// A reader's stop is posted behind every connection handed to it, and its connections' last
// events are posted to the checking loop before it says that it has stopped.
void ReaderThreads::stop(Stop how) {
    for (const std::unique_ptr<Reader> &r : readers_)
        asio::post(r->io, [this, &reader = *r, how] {
            reader.server->stop(how);
            reader.work.reset();
            asio::post(checking_, [this] {
                if (++stopped_ == readers_.size()) {
                    checker_.take_held();
                    checking_work_.reset();
                }
            });
        });
}

} // namespace vandry::receiver

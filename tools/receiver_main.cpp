// vandry-receiver: a TCP server for the telemetry unit. It listens on an address and port and
// prints every message that arrives, checked byte for byte, with the connection that it came
// on; or it checks a recording. Every line is flushed as soon as it is printed. SIGINT or
// SIGTERM ends it with a final summary.
#include "console.h"
#include "host.h"
#include "message_log.h"
#include "receiver_options.h"
#include "record_csv.h"
#include "recording.h"
#include "server.h"

#include <cstdio>
#include <memory>

using namespace vandry;
using namespace vandry::check;

namespace {

int run(int argc, char **argv) {
    const Parsed<ReceiverOptions> parsed =
        parse_receiver_arguments(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
    if (parsed.exit_status) {
        std::fputs(parsed.text.c_str(), *parsed.exit_status == 0 ? stdout : stderr);
        return *parsed.exit_status;
    }
    const ReceiverOptions &options = parsed.options;

    // The CSV file is written through the C library in binary mode: its rows end in CR LF as
    // written, on every platform.
    std::unique_ptr<FILE, int (*)(FILE *)> csv(nullptr, std::fclose);
    if (!options.csv.empty()) {
        csv.reset(std::fopen(options.csv.c_str(), "wb"));
        if (!csv || std::fputs(CSV_HEADER, csv.get()) < 0 || std::fflush(csv.get()) != 0) {
            std::fprintf(stderr, "vandry-receiver: cannot write %s\n", options.csv.c_str());
            return 1;
        }
    }
    MessageLog log(options.quiet, csv.get());
    if (options.read) {
        const bool read_whole = read_recording(options, log);
        return read_whole && log.csv_ok() ? 0 : 1;
    }

    // Every connection holds a descriptor.
    host::raise_open_file_limit();

    asio::io_context io(1);
    tcp::acceptor acceptor = open_listener(io, options);
    if (!acceptor.is_open())
        return 1;
    report("vandry-receiver listening on %s (framing: %s)\n",
           endpoint_text(acceptor.local_endpoint()).c_str(),
           options.mode ? mode_name(*options.mode) : "auto");

    Server server(io, std::move(acceptor), options, log);
    server.start();
    io.run();

    const Totals &totals = log.totals();
    report("vandry-receiver stopped: %llu connections, %llu messages, %llu malformed, %llu gaps, "
           "%llu lost\n",
           totals.connections, totals.messages, totals.malformed, totals.gaps, totals.lost);
    return log.csv_ok() ? 0 : 1;
}

} // namespace

// Asio reports what cannot go on (e.g. no memory, no event loop) by exceptions.
int main(int argc, char **argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "vandry-receiver: %s\n", e.what());
        return 1;
    }
}

// vandry-receiver: a TCP server for the telemetry unit. It listens on an address and port and
// prints every message that arrives, checked byte for byte, with the connection that it came
// on; or it checks a recording. Every line is flushed as soon as it is printed. SIGINT or
// SIGTERM ends it with a final summary.
#include "console.h"
#include "fault_explain.h"
#include "host.h"
#include "message_log.h"
#include "receiver_options.h"
#include "receiver_report.h"
#include "record_csv.h"
#include "recording.h"
#include "server.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>

using namespace vandry;
using namespace vandry::check;

namespace {

// The recording and the CSV file are one file: writing the CSV would destroy what is read.
bool same_file(const std::string &a, const std::string &b) {
    std::error_code ec;
    return a == b || std::filesystem::equivalent(a, b, ec);
}

// The plan that --expect names; false, said, when it cannot be read.
bool load_plan(const std::string &path, Plan *plan) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "vandry-receiver: cannot read the plan %s\n", path.c_str());
        return false;
    }
    PlanReading r = read_plan(in);
    if (!r.error.empty()) {
        std::fprintf(stderr, "vandry-receiver: the plan %s, %s\n", path.c_str(), r.error.c_str());
        return false;
    }
    *plan = std::move(r.plan);
    return true;
}

// Listens until SIGINT or SIGTERM (or a CSV that cannot be written) ends it; false when it
// cannot listen.
bool serve(const ReceiverOptions &options, MessageLog &log) {
    // Every connection holds a descriptor.
    host::raise_open_file_limit();
    asio::io_context io(1);
    tcp::acceptor acceptor = open_listener(io, options);
    if (!acceptor.is_open())
        return false;
    report("vandry-receiver listening on %s (framing: %s)\n",
           endpoint_text(acceptor.local_endpoint()).c_str(),
           options.mode ? mode_name(*options.mode) : "auto");
    Server server(io, std::move(acceptor), options, log);
    server.start();
    io.run();
    report("vandry-receiver stopped: %s, %s\n",
           counted(log.totals().connections, "connection").c_str(), log.figures_text().c_str());
    return true;
}

// The run's losses, duplicates and alterations held against the fault log, and said.
Explained explained_run(const std::string &path, const MessageLog &log) {
    Explained e = explain_from_file(log.events(), log.totals().incomplete, path);
    if (!e.error.empty()) {
        std::fprintf(stderr, "vandry-receiver: %s\n", e.error.c_str());
        return e;
    }
    std::string injected;
    for (int kind = 1; kind < FAULT_KINDS; ++kind)
        injected += (kind > 1 ? ", " : "") +
                    std::to_string(e.injected[static_cast<std::size_t>(kind)]) + " " +
                    fault_name(static_cast<FaultKind>(kind));
    report("faults injected: %s; unexplained: %llu lost, %llu duplicated, %llu altered, %llu "
           "incomplete\n",
           injected.c_str(), e.unexplained_lost, e.unexplained_duplicated, e.unexplained_altered,
           e.unexplained_incomplete);
    return e;
}

int run(int argc, char **argv) {
    const Parsed<ReceiverOptions> parsed =
        parse_receiver_arguments(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
    if (parsed.exit_status) {
        std::fputs(parsed.text.c_str(), *parsed.exit_status == 0 ? stdout : stderr);
        return *parsed.exit_status;
    }
    const ReceiverOptions &options = parsed.options;
    if (options.read && !options.csv.empty() && same_file(*options.read, options.csv)) {
        std::fprintf(stderr, "vandry-receiver: --csv %s would write over the recording it reads\n",
                     options.csv.c_str());
        return 2;
    }
    Plan plan;
    if (!options.expect.empty() && !load_plan(options.expect, &plan))
        return 2;

    CsvFile csv;
    if (!options.csv.empty() && !csv.open(options.csv)) {
        std::fprintf(stderr, "vandry-receiver: cannot write %s\n", options.csv.c_str());
        return 1;
    }
    MessageLog log(options.quiet, options.csv.empty() ? nullptr : &csv,
                   options.expect.empty() ? nullptr : &plan);
    if (!options.fault_log.empty())
        log.keep_events();
    const bool ran = options.read ? read_recording(options, log) : serve(options, log);
    if (!ran)
        return 1;
    // The fault log is read now, so that a live receiver may be given a log being written.
    std::optional<Explained> explained;
    if (!options.fault_log.empty())
        explained = explained_run(options.fault_log, log);
    const bool reported =
        options.report.empty() ||
        write_report(options.report, receiver_report(log, explained ? &*explained : nullptr));
    const bool clean = explained ? explained->clean() && log.totals().malformed == 0 : log.clean();
    return clean && log.csv_ok() && reported ? 0 : 1;
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

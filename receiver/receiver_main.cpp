// vandry-receiver: a TCP server for the telemetry unit. It listens on an address and port and
// prints every message that arrives, checked byte for byte, with the connection that it came
// on; or it checks a recording. Every line is flushed as soon as it is printed. SIGINT or
// SIGTERM ends it with a final summary.
#include "core/console.h"
#include "core/file_identity.h"
#include "metrics/endpoint.h"
#include "platform/host.h"
#include "receiver/fault_explain.h"
#include "receiver/message_log.h"
#include "receiver/receiver_metrics.h"
#include "receiver/receiver_options.h"
#include "receiver/receiver_report.h"
#include "receiver/record_csv.h"
#include "receiver/recording.h"
#include "receiver/server.h"
#include "tls/tls.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>

using namespace vandry;
using namespace vandry::receiver;

namespace {

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

// The TLS context of --tls-cert; none without it. False, said, when its files cannot be used.
bool load_tls(const ReceiverOptions &options, std::unique_ptr<tls::Context> *context) {
    if (options.tls_cert.empty())
        return true;
    tls::Context::Made made =
        tls::Context::server({options.tls_cert, options.tls_key, options.tls_client_ca});
    if (!made.context) {
        std::fprintf(stderr, "vandry-receiver: %s\n", made.error.c_str());
        return false;
    }
    *context = std::move(made.context);
    return true;
}

// Listens until SIGINT or SIGTERM (or a CSV that cannot be written) ends it; false when it
// cannot listen.
bool serve(asio::io_context &io, const ReceiverOptions &options, MessageLog &log,
           metrics::Endpoint &endpoint, const tls::Context *context) {
    // Every connection holds a descriptor.
    platform::raise_open_file_limit();
    if (options.threads_capped)
        report_to(stderr, "vandry-receiver: --threads is at most %u: reading on %u threads\n",
                  MAX_READER_THREADS, MAX_READER_THREADS);
    tcp::acceptor acceptor = open_listener(io, options);
    if (!acceptor.is_open())
        return false;
    const char *tls_words = context == nullptr              ? ""
                            : options.tls_client_ca.empty() ? ", TLS"
                                                            : ", TLS with client certificates";
    const std::string endpoint_said = endpoint_text(acceptor.local_endpoint());
    // Said once the server takes SIGINT and SIGTERM: a script that stops it at once still gets
    // the final figures.
    Server server(io, std::move(acceptor), options, log);
    report("vandry-receiver listening on %s (framing: %s%s)\n", endpoint_said.c_str(),
           options.mode ? mode_name(*options.mode) : "auto", tls_words);
    if (context != nullptr)
        server.use_tls(*context, !options.tls_client_ca.empty());
    // Scrapers wait in the listening queue until the final figures are in.
    server.on_stop = [&endpoint] { endpoint.pause(); };
    server.start();
    io.run();
    log.finish(std::string());
    report("vandry-receiver stopped: %s, %s\n",
           counted(log.totals().connections, "connection").c_str(), log.figures_text().c_str());
    return true;
}

// The scrapers' endpoint, when asked for; false, said, when it cannot listen.
bool open_metrics(metrics::Endpoint &endpoint, const metrics::MetricsOptions &o) {
    if (!o.on)
        return true;
    if (const std::string why = endpoint.listen(o); !why.empty()) {
        std::fprintf(stderr, "vandry-receiver: metrics: %s\n", why.c_str());
        return false;
    }
    report_to(stderr, "vandry-receiver: metrics on %s\n", endpoint.url().c_str());
    return true;
}

// The run's findings held against the fault log, and said.
Explained explained_run(const std::string &path, MessageLog &log) {
    Explained e = explain_from_file(log.findings(), log.placed_ticks(), path);
    if (!e.error.empty())
        std::fprintf(stderr, "vandry-receiver: %s\n", e.error.c_str());
    std::string injected;
    for (int kind = 1; kind < FAULT_KINDS; ++kind)
        injected += (kind > 1 ? ", " : "") +
                    std::to_string(e.injected[static_cast<std::size_t>(kind)]) + " " +
                    fault_name(static_cast<FaultKind>(kind));
    report("faults injected: %s; %llu unconfirmed; unexplained: %llu lost, %llu duplicated, %llu "
           "altered, %llu incomplete\n",
           injected.c_str(), e.unconfirmed, e.unexplained_lost, e.unexplained_duplicated,
           e.unexplained_altered, e.unexplained_incomplete);
    return e;
}

// What should be in the store, from the plan's count or from the fleets' reports; false, said,
// when a report cannot be taken.
bool load_extents(const ReceiverOptions &options, const Plan &plan, Extents *extents) {
    if (plan.count > 0)
        extents->every = Extent{0, plan.count - 1};
    for (const std::string &path : options.sent) {
        std::ifstream in(path, std::ios::binary);
        const std::string text = in ? std::string(std::istreambuf_iterator<char>(in), {}) : "";
        const std::string error = in ? add_fleet_report(text, extents) : "cannot be read";
        if (!error.empty()) {
            std::fprintf(stderr, "vandry-receiver: the fleet's report %s: %s\n", path.c_str(),
                         error.c_str());
            return false;
        }
    }
    return true;
}

// The findings that no fault explains, one line each.
void say_unexplained(const MessageLog &log) {
    for (const Finding &f : log.findings().all())
        if (f.explained_by.empty())
            report("%s\n", finding_line(f, true).c_str());
}

// The reports that the options ask for; false when one cannot be written.
bool write_reports(const ReceiverOptions &options, const RunOutcome &run) {
    bool written = true;
    if (!options.report.empty())
        written = write_report_file(options.report, run, write_receiver_report) && written;
    if (!options.junit.empty())
        written = write_report_file(options.junit, run, write_junit) && written;
    return written;
}

// Whether no output is the same file as an input or another output; said when one is.
bool files_apart(const ReceiverOptions &options) {
    // Standard input (--read -) is no file of the file system.
    std::vector<NamedFile> files = {
        {"--read", options.read.value_or("-") == "-" ? "" : *options.read},
        {"--expect", options.expect},
        {"--fault-log", options.fault_log},
        {"--csv", options.csv, true},
        {"--report", options.report, true},
        {"--junit", options.junit, true}};
    for (const std::string &sent : options.sent)
        files.push_back({"--sent", sent});
    const std::string clash = file_clash(files);
    if (!clash.empty())
        std::fprintf(stderr, "vandry-receiver: %s\n", clash.c_str());
    return clash.empty();
}

// After the run: the fault log held against it, the reports written and the final figures
// served for the linger; the exit status.
int conclude(const ReceiverOptions &options, MessageLog &log, std::optional<Explained> &explained,
             const Extents *extents, metrics::Endpoint &endpoint) {
    // The fault log is read now, so that a live receiver may be given a log being written.
    if (!options.fault_log.empty())
        explained = explained_run(options.fault_log, log);
    if (options.only_unexplained)
        say_unexplained(log);
    const bool clean = explained ? explained->clean() && log.totals().malformed == 0 : log.clean();
    const bool reported =
        write_reports(options, {log, explained ? &*explained : nullptr, extents, clean});
    endpoint.serve_for(options.metrics.linger_s);
    return clean && log.csv_ok() && reported ? 0 : 1;
}

int run(int argc, char **argv) {
    const Parsed<ReceiverOptions> parsed =
        parse_receiver_arguments(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
    if (parsed.exit_status) {
        std::fputs(parsed.text.c_str(), *parsed.exit_status == 0 ? stdout : stderr);
        return *parsed.exit_status;
    }
    const ReceiverOptions &options = parsed.options;
    if (!files_apart(options))
        return 2;
    Plan plan;
    Extents extents;
    if (!options.expect.empty() &&
        (!load_plan(options.expect, &plan) || !load_extents(options, plan, &extents)))
        return 2;

    std::unique_ptr<tls::Context> tls_context;
    if (!load_tls(options, &tls_context))
        return 2;

    CsvFile csv;
    if (!options.csv.empty() && !csv.open(options.csv)) {
        std::fprintf(stderr, "vandry-receiver: cannot write %s\n", options.csv.c_str());
        return 1;
    }
    LogOptions lo;
    lo.quiet = options.quiet;
    lo.only_unexplained = options.only_unexplained;
    lo.csv = options.csv.empty() ? nullptr : &csv;
    lo.plan = options.expect.empty() ? nullptr : &plan;
    lo.match = {extents.known() ? &extents : nullptr, options.any_order};
    lo.identities = !options.tls_client_ca.empty();
    MessageLog log(lo);
    asio::io_context io(1);
    std::optional<Explained> explained;
    metrics::Endpoint endpoint(
        io, [&] { return receiver_metrics_text(log, explained ? &*explained : nullptr); });
    if (!open_metrics(endpoint, options.metrics))
        return 2;
    const int ran = options.read ? read_recording(options, log)
                                 : (serve(io, options, log, endpoint, tls_context.get()) ? 0 : 1);
    return ran != 0 ? ran : conclude(options, log, explained, lo.match.extents, endpoint);
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

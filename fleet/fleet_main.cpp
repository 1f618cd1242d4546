// vandry-fleet: many telemetry units in one process, each sending exactly what vandry sends.
#include "core/console.h"
#include "core/file_identity.h"
#include "fleet/engine.h"
#include "fleet/fleet_metrics.h"
#include "fleet/fleet_tls.h"
#include "fleet/merge.h"
#include "fleet/options.h"
#include "fleet/report.h"
#include "fleet/threads.h"
#include "metrics/endpoint.h"
#include "platform/host.h"
#include "platform/platform.h"

#include <ctime>
#include <fstream>
#include <iostream>
#include <memory>
#include <thread>

using namespace vandry;
using namespace vandry::fleet;

namespace {

// Descriptors that the process needs besides its units' sockets: the console, the event
// loop's own, the resolver's.
constexpr long long SPARE_FILES = 32;

// Refuses a fleet that cannot have a descriptor for every unit; warns when close-after-send
// will run out of local ports. False when the run cannot go ahead.
bool check_limits(const FleetOptions &o) {
    const long long files = platform::raise_open_file_limit();
    if (files >= 0 && o.units + SPARE_FILES > files) {
        std::cerr << "vandry-fleet: " << o.units << " units need " << o.units + SPARE_FILES
                  << " open files, but the limit is " << files << ": at most "
                  << (files > SPARE_FILES ? files - SPARE_FILES : 0) << " units; "
                  << "raise the hard limit (ulimit -Hn as root, LimitNOFILE= for a service, "
                     "nofile in /etc/security/limits.conf) or split the fleet with --shard\n";
        return false;
    }
    const long long ports = platform::local_port_count() *
                            static_cast<long long>(o.sources.empty() ? 1 : o.sources.size());
    if (keeps_connection(o.data_type)) {
        // Linux hands out the even half of the range first; past it every connect searches.
        if (o.units > ports / 2)
            std::cerr << "vandry-fleet: warning: " << o.units << " connections to one server use"
                      << " more than half of the " << ports << " local ports, where connecting"
                      << " slows down; spread them with --source\n";
    } else {
        const long long per_second = o.units * 1000 / o.interval_ms;
        const long long sustained = ports / platform::TIME_WAIT_SECONDS;
        if (per_second > sustained)
            std::cerr << "vandry-fleet: warning: " << per_second
                      << " new connections per second exceed the " << sustained << " that " << ports
                      << " local ports sustain with " << platform::TIME_WAIT_SECONDS
                      << " s TIME_WAIT; spread them with --source or lengthen --interval\n";
    }
    return true;
}

// The summary line and the report; false when the report cannot be written.
bool write_summary(const FleetResult &r, const FleetOptions &o) {
    report("%s", summary_line(r.seconds, r.figures, r.expected, r.lateness).c_str());
    if (o.report.empty())
        return true;
    std::ofstream out(o.report, std::ios::binary);
    write_fleet_report(out, r, o);
    if (out.flush())
        return true;
    std::cerr << "vandry-fleet: cannot write the report " << o.report << "\n";
    return false;
}

template <class Rng> std::string live_metrics(const Engine<Rng> &engine) {
    return fleet_metrics_text(engine.figures(), engine.lateness_seconds());
}

template <class Rng> std::string live_metrics(const ThreadedFleet<Rng> &fleet) {
    return fleet.metrics_text();
}

// Runs the fleet (one engine on io, or engines on threads of their own), with the scrapers'
// endpoint on io when asked for; the exit status.
template <class Fleet>
int run_fleet(asio::io_context &io, Fleet &engine, const FleetOptions &o, FaultLogFile &fault_log) {
    FleetResult r;
    bool ended = false;
    metrics::Endpoint endpoint(io, [&] {
        return ended ? fleet_metrics_text(r.figures, r.lateness_seconds) : live_metrics(engine);
    });
    if (o.metrics.on) {
        if (const std::string why = endpoint.listen(o.metrics); !why.empty()) {
            std::cerr << "vandry-fleet: metrics: " << why << "\n";
            return 2;
        }
        report_to(stderr, "vandry-fleet: metrics on %s\n", endpoint.url().c_str());
        // Scrapers wait in the listening queue while the last completions run.
        engine.on_finish([&endpoint] { endpoint.pause(); });
    }
    r = engine.run();
    ended = true;
    const bool written = write_summary(r, o);
    endpoint.serve_for(o.metrics.linger_s);
    if (!written)
        return 1;
    return r.complete && !fault_log.failed() ? 0 : 1;
}

// The start line and what the run takes on itself: a pace of 3 s at least, and loopback
// source addresses when none are given.
void start(FleetOptions &o) {
    report("%s", start_line(o).c_str());
    if (o.interval_s < 3)
        report("vandry-fleet: an interval of %d s is below 3 s: units send every 3 s\n",
               o.interval_s);
    if (o.sources.empty()) {
        o.sources = loopback_sources(o, keeps_connection(o.data_type), platform::local_port_count(),
                                     platform::TIME_WAIT_SECONDS);
        if (!o.sources.empty())
            report("vandry-fleet: units spread over source addresses %s-%s (--source to choose)\n",
                   ipv4_text(o.sources.front()).c_str(), ipv4_text(o.sources.back()).c_str());
    }
}

template <class Rng>
int run_units(const FleetOptions &o, FaultLogFile &fault_log, std::uint32_t threads,
              const FleetTls &tls) {
    asio::io_context io(1);
    if (threads == 1) {
        Engine<Rng> engine(io, o, fault_log);
        engine.use_tls(tls);
        return run_fleet(io, engine, o, fault_log);
    }
    ThreadedFleet<Rng> fleet(io, o, fault_log, threads);
    fleet.use_tls(tls);
    return run_fleet(io, fleet, o, fault_log);
}

} // namespace

int main(int argc, char **argv) try {
    platform::file_size_limit_fails_writes();
    const Parsed<FleetOptions> parsed = parse_fleet_options(
        std::vector<std::string>(argv + 1, argv + argc), static_cast<unsigned>(std::time(nullptr)));
    if (parsed.exit_status) {
        report_to(*parsed.exit_status == 0 ? stdout : stderr, "%s", parsed.text.c_str());
        return *parsed.exit_status;
    }
    FleetOptions o = parsed.options;
    std::vector<NamedFile> files = {{"--report", o.report, true},
                                    {"--fault-log", o.faults.log, true}};
    for (const std::string &merged : o.merge_reports)
        files.push_back({"--merge", merged, false});
    const std::string clash = file_clash(files);
    if (!clash.empty()) {
        report_to(stderr, "vandry-fleet: %s\n", clash.c_str());
        return 2;
    }
    if (o.merge)
        return run_merge(o.merge_reports, o.report);
    if (o.dry_run) {
        report("%s", plan_text(o).c_str());
        return 0;
    }
    const MadeFleetTls tls = make_fleet_tls(o);
    if (!tls.error.empty()) {
        report_to(stderr, "vandry-fleet: %s\n", tls.error.c_str());
        return 2;
    }
    if (o.tls.insecure)
        report_to(stderr, "vandry-fleet: warning: --tls-insecure: the server's certificate is "
                          "not verified\n");
    start(o);
    if (!check_limits(o))
        return 1;
    const ThreadsInEffect threads = threads_in_effect(o, std::thread::hardware_concurrency());
    if (!threads.notice.empty())
        report_to(stderr, "%s", threads.notice.c_str());
    FaultLogFile fault_log("vandry-fleet");
    if (!fault_log.open(o.faults.log)) {
        std::cerr << "vandry-fleet: cannot write the fault log " << o.faults.log << "\n";
        return 1;
    }
    const auto count = static_cast<std::uint32_t>(threads.threads);
    return o.rand == RandKind::glibc ? run_units<GlibcRand>(o, fault_log, count, tls.tls)
                                     : run_units<MsvcrtRand>(o, fault_log, count, tls.tls);
} catch (const std::exception &e) {
    // Start-up failures of the event loop itself (no descriptor for it, no signal handling).
    std::cerr << "vandry-fleet: " << e.what() << "\n";
    return 1;
}

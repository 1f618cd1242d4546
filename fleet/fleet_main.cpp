// vandry-fleet: many telemetry units in one process, each sending exactly what vandry sends.
#include "engine.h"
#include "options.h"

#include "platform.h"

#include <ctime>
#include <iostream>

namespace {

constexpr int EXIT_USAGE = 2;

// Descriptors that the process needs besides its units' sockets: the console, the event
// loop's own, the resolver's.
constexpr long long SPARE_FILES = 32;

// Refuses a fleet that cannot have a descriptor for every unit; warns when close-after-send
// will run out of local ports. False when the run cannot go ahead.
bool check_limits(const fleet_options &o) {
    const long long files = raise_open_file_limit();
    if (files >= 0 && o.units + SPARE_FILES > files) {
        std::cerr << "vandry-fleet: " << o.units << " units need " << o.units + SPARE_FILES
                  << " open files, but the limit is " << files << ": at most "
                  << (files > SPARE_FILES ? files - SPARE_FILES : 0) << " units; "
                  << "raise the hard limit (ulimit -Hn as root, LimitNOFILE= for a service, "
                     "nofile in /etc/security/limits.conf) or split the fleet with --shard\n";
        return false;
    }
    const long long ports =
        local_port_count() * static_cast<long long>(o.sources.empty() ? 1 : o.sources.size());
    if (keeps_connection(o.data_type)) {
        // Linux hands out the even half of the range first; past it every connect searches.
        if (o.units > ports / 2)
            std::cerr << "vandry-fleet: warning: " << o.units << " connections to one server use"
                      << " more than half of the " << ports << " local ports, where connecting"
                      << " slows down; spread them with --source\n";
    } else {
        const long long per_second = o.units * 1000 / o.interval_ms;
        const long long sustained = ports / TIME_WAIT_SECONDS;
        if (per_second > sustained)
            std::cerr << "vandry-fleet: warning: " << per_second
                      << " new connections per second exceed the " << sustained << " that " << ports
                      << " local ports sustain with " << TIME_WAIT_SECONDS
                      << " s TIME_WAIT; spread them with --source or lengthen --interval\n";
    }
    return true;
}

template <class Rng> fleet_result run_fleet(const fleet_options &o) {
    asio::io_context io(1);
    fleet_engine<Rng> engine(io, o);
    return engine.run();
}

} // namespace

int main(int argc, char **argv) try {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const parsed_options parsed =
        parse_options(args, static_cast<unsigned>(std::time(nullptr)), NATIVE_CRT_RAND);
    if (!parsed.error.empty()) {
        std::cerr << "vandry-fleet: " << parsed.error << "\n" << FLEET_USAGE;
        return EXIT_USAGE;
    }
    fleet_options o = parsed.options;
    if (o.help) {
        report("%s", FLEET_USAGE);
        return 0;
    }
    if (o.version) {
        report("%s\n", FLEET_VERSION);
        return 0;
    }
    if (o.dry_run) {
        report("%s", plan_text(o).c_str());
        return 0;
    }
    report("%s", start_line(o).c_str());
    if (o.sources.empty()) {
        o.sources = loopback_sources(o, keeps_connection(o.data_type), local_port_count(),
                                     TIME_WAIT_SECONDS);
        if (!o.sources.empty())
            report("vandry-fleet: units spread over source addresses %s-%s (--source to choose)\n",
                   ipv4_text(o.sources.front()).c_str(), ipv4_text(o.sources.back()).c_str());
    }
    if (!check_limits(o))
        return 1;
    const fleet_result r =
        o.rand == rand_kind::glibc ? run_fleet<glibc_rand>(o) : run_fleet<msvcrt_rand>(o);
    report("%s", summary_line(r.seconds, r.figures, r.expected, r.lateness).c_str());
    return r.complete ? 0 : 1;
} catch (const std::exception &e) {
    // Start-up failures of the event loop itself (no descriptor for it, no signal handling).
    std::cerr << "vandry-fleet: " << e.what() << "\n";
    return 1;
}

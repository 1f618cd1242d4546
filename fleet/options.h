// The fleet's command line and its plan: which units run, under which names and seeds.
#ifndef VANDRY_FLEET_OPTIONS_H
#define VANDRY_FLEET_OPTIONS_H

#include "core/command_line.h"
#include "core/faults.h"
#include "core/message.h"
#include "core/random.h"
#include "metrics/metrics_options.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vandry::fleet {

extern const char FLEET_VERSION[];

struct FleetOptions {
    long long units = 0;
    long long first_unit = 0; // the unit number of the first unit
    std::string host, port;
    int data_type = 0;
    int interval_s = 3;     // as given, for the console lines that a single unit prints
    int interval_ms = 3000; // in effect: at least 3 s
    unsigned seed = 0;      // unit k's seed is seed + k (modulo 2^32)
    std::string name_prefix = "U";
    RandKind rand = NATIVE_RAND;
    double duration_s = 0;              // 0: no time limit
    double ramp_s = -1;                 // first connections spread over this; below 0: one interval
    long long connect_rate = 0;         // new connections a second across all units; 0: no cap
    long long count = 0;                // messages per unit, 0: no limit
    long long threads = 1;              // as given; 0: one per core
    std::vector<std::uint32_t> sources; // local IPv4 addresses (host order) to bind to
    std::string report;                 // a JSON file of the figures when the run ends
    FaultOptions faults; // field faults; unit k's stream from --fault-seed + k, or its seed
    metrics::MetricsOptions metrics; // the scrapers' endpoint
    bool echo = false, dry_run = false;
    bool merge = false;                     // merge the reports below instead of running units
    std::vector<std::string> merge_reports; // --merge's reports, as named
};

// Parses the arguments after the program name; default_seed is used without --seed.
Parsed<FleetOptions> parse_fleet_options(const std::vector<std::string> &args,
                                         unsigned default_seed);

// The most threads that the units are split over.
constexpr long long MAX_THREADS = 256;

// The threads that run the units: --threads, one per core (hardware, at least 1) for 0, at
// most MAX_THREADS and at most the units; and the line that says a cap, empty without one.
struct ThreadsInEffect {
    long long threads = 1;
    std::string notice;
};
ThreadsInEffect threads_in_effect(const FleetOptions &o, unsigned hardware);

// Digits of a unit number at least: names sort in unit order up to 99999.
constexpr int UNIT_NUMBER_DIGITS = 5;

// Writes the unit's name (prefix, then the number zero-padded to five digits) with its
// terminating zero into out (at least MAX_NAME_LENGTH + 1 bytes, the prefix checked to fit);
// returns the length.
int write_unit_name(char *out, const std::string &prefix, long long unit_number);

inline unsigned unit_seed(unsigned seed, long long unit_number) {
    return seed + static_cast<unsigned>(static_cast<unsigned long long>(unit_number));
}

// Unit k's stream of fault draws: from --fault-seed N + k, or from the unit's own seed.
inline std::uint64_t unit_fault_seed(const FleetOptions &o, long long unit_number) {
    return fault_seed_of(unit_seed(o.faults.seed ? *o.faults.seed : o.seed, unit_number));
}

// "vandry-fleet: N units U00000..U00009, seed S, type CODE, interval Ss, rand R, server H:P\n"
std::string start_line(const FleetOptions &o);

// The plan of --dry-run: its header, then "NAME SEED\n" for every unit.
std::string plan_text(const FleetOptions &o);

// Without --source, a server on a numeric loopback address is reached from as many of
// 127.0.0.1, 127.0.0.2, ... as keep each source under half of its local ports (keep-open units)
// or under the new connections per second that its ports sustain through TIME_WAIT: past that
// the kernel's connect() searches the port range while the event loop waits. Empty when one
// source suffices, --source was given or the server is not on loopback.
std::vector<std::uint32_t> loopback_sources(const FleetOptions &o, bool keep_open,
                                            long long local_ports, int time_wait_s);

// Dotted IPv4 text of an address in host order.
std::string ipv4_text(std::uint32_t address);

} // namespace vandry::fleet

#endif

// The fleet's command line and its plan: which units run, under which names and seeds.
#ifndef VANDRY_FLEET_OPTIONS_H
#define VANDRY_FLEET_OPTIONS_H

#include "vandry.h"

#include <cstdint>
#include <string>
#include <vector>

constexpr const char FLEET_VERSION[] = "vandry-fleet 1.0";

enum class rand_kind { glibc, msvcrt };

struct fleet_options {
    long long units = 0;
    long long first_unit = 0; // the unit number of the first unit
    std::string host, port;
    int data_type = 0;
    int interval_s = 3;     // as given, for the console lines that a single unit prints
    int interval_ms = 3000; // in effect: at least 3 s
    unsigned seed = 0;      // unit k's seed is seed + k (modulo 2^32)
    std::string name_prefix = "U";
    rand_kind rand = rand_kind::glibc;
    double duration_s = 0;              // 0: no time limit
    long long count = 0;                // messages per unit, 0: no limit
    std::vector<std::uint32_t> sources; // local IPv4 addresses (host order) to bind to
    bool echo = false, dry_run = false, help = false, version = false;
};

// The options, or the exact text of the usage error (then options is unspecified).
struct parsed_options {
    fleet_options options;
    std::string error;
};

// Parses the arguments after the program name. default_seed is used without --seed,
// native_rand without --rand ("glibc" or "msvcrt").
parsed_options parse_options(const std::vector<std::string> &args, unsigned default_seed,
                             const char *native_rand);

extern const char FLEET_USAGE[];

// Longest station name that a unit can have, as for the single unit.
constexpr int FLEET_MAX_NAME_LENGTH = MAX_NAME_LENGTH;
// Digits of a unit number at least: names sort in unit order up to 99999.
constexpr int UNIT_NUMBER_DIGITS = 5;

// Writes the unit's name (prefix, then the number zero-padded to five digits) with its
// terminating zero into out (at least FLEET_MAX_NAME_LENGTH + 1 bytes, the prefix checked to
// fit); returns the length.
int write_unit_name(char *out, const std::string &prefix, long long unit_number);

inline unsigned unit_seed(unsigned seed, long long unit_number) {
    return seed + static_cast<unsigned>(static_cast<unsigned long long>(unit_number));
}

const char *rand_name(rand_kind kind);

// "vandry-fleet: N units U00000..U00009, seed S, type CODE, interval Ss, rand R, server H:P\n"
std::string start_line(const fleet_options &o);

// The plan of --dry-run: "seed S\n", then "NAME SEED\n" for every unit.
std::string plan_text(const fleet_options &o);

// Without --source, a server on a numeric loopback address is reached from as many of
// 127.0.0.1, 127.0.0.2, ... as keep each source under half of its local ports (keep-open units)
// or under the new connections per second that its ports sustain through TIME_WAIT: past that
// the kernel's connect() searches the port range while the event loop waits. Empty when one
// source suffices, --source was given or the server is not on loopback.
std::vector<std::uint32_t> loopback_sources(const fleet_options &o, bool keep_open,
                                            long long local_ports, int time_wait_s);

// Dotted IPv4 text of an address in host order.
std::string ipv4_text(std::uint32_t address);

#endif

// vandry's command line. Without options the unit waits for cfg.txt, halts on a bad one, seeds
// from the clock and runs for ever.
#ifndef VANDRY_UNIT_UNIT_OPTIONS_H
#define VANDRY_UNIT_UNIT_OPTIONS_H

#include "core/command_line.h"
#include "core/faults.h"

#include <optional>
#include <string>
#include <vector>

namespace vandry {

extern const char UNIT_VERSION[];

struct UnitOptions {
    std::string config;           // empty: cfg.txt in the working directory
    std::optional<unsigned> seed; // none: the clock's seconds
    long long count = 0;          // messages to send before the run ends, 0: no end
    bool dry_run = false;         // the messages to standard output, no network, no pauses
    bool verbose = false;         // the seed on the console too
    long long timeout_s = 0;      // the run ends with status 1 when not finished by then; 0: never
    std::string plan;             // a file for the plan of this run, for a receiver's --expect
    FaultOptions faults;          // field faults, per message
};

// A run that must end does not wait for a configuration or halt on it: it exits with status 2.
inline bool ends_on_bad_config(const UnitOptions &options) {
    return options.count > 0 || options.dry_run || options.timeout_s > 0;
}

// args: the command line without the program name.
Parsed<UnitOptions> parse_unit_options(const std::vector<std::string> &args);

} // namespace vandry

#endif

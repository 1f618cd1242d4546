#include "unit_options.h"

namespace vandry {

const char UNIT_VERSION[] = "vandry 1.1";

Parsed<UnitOptions> parse_unit_options(const std::vector<std::string> &args) {
    UnitOptions o;
    Program p;
    p.name = "vandry";
    p.version = UNIT_VERSION;
    p.notes =
        "Stands in for a telemetry unit on a liquid tank: sends one record per interval to the\n"
        "server that cfg.txt in the working directory names (station name, server address, port,\n"
        "data type code, interval in seconds), and echoes each message it sends.\n"
        "With --count or --dry-run, a missing or bad configuration ends the run with status 2.\n";
    p.options = {
        file_name("--config", "read FILE instead of cfg.txt", &o.config),
        number("--seed", "N",
               "seed the random stream with N (0 to 4294967295) instead of the clock:\n"
               "the same seed, configuration and build send the same bytes",
               {"a number from 0 to 4294967295", 0, 4294967295LL},
               [&o](long long n) { o.seed = static_cast<unsigned>(n); }),
        number("--count", "N", "end with status 0 once N messages have been sent",
               {"a number of messages of at least 1", 1, 999999999999999999LL},
               [&o](long long n) { o.count = n; }),
        flag("--dry-run",
             "no network and no pauses: standard output carries exactly the bytes\n"
             "that would be sent, message after message; the other lines go to\n"
             "standard error",
             &o.dry_run),
        flag("--verbose", "also print the seed, so that the run can be repeated", &o.verbose),
    };
    Outcome outcome = read_command_line(p, args);
    return parsed_from(o, std::move(outcome));
}

} // namespace vandry

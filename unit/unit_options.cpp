#include "unit/unit_options.h"

#include "core/message.h"

namespace vandry {

const char UNIT_VERSION[] = "vandry " VANDRY_VERSION;

Parsed<UnitOptions> parse_unit_options(const std::vector<std::string> &args) {
    UnitOptions o;
    Program p;
    p.name = "vandry";
    p.version = UNIT_VERSION;
    p.notes =
        std::string(
            "Stands in for a telemetry unit on a liquid tank: sends one record per interval to\n"
            "the server that cfg.txt in the working directory names, and echoes each message it\n"
            "sends. cfg.txt holds five tokens: station name (1 to 30 bytes, no whitespace),\n"
            "server address, port (1024 to 65000), data type code, interval in seconds (below\n"
            "3 counts as 3), e.g.\n"
            "  TANK_07 192.168.1.20 7000 21 10\n") +
        DATA_TYPE_HELP +
        "Without options it waits for cfg.txt, halts on a bad one and runs until stopped.\n"
        "With --count, --dry-run or --timeout, a missing or bad configuration ends the run\n"
        "with status 2; a run that does not finish within --timeout ends with status 1.\n";
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
        file_name("--plan",
                  "write the plan of this run (its station and seed) to FILE, for a\n"
                  "receiver that knows every message by its tick (vandry-receiver --expect)",
                  &o.plan),
        number("--timeout", "SECONDS", "end with status 1 when the run has not finished by then",
               {"a number of seconds from 1 to 31536000", 1, 31536000},
               [&o](long long n) { o.timeout_s = n; }),
    };
    for (Option &option : fault_options(o.faults, "draw the faults from the stream of N (default: "
                                                  "the seed)"))
        p.options.push_back(std::move(option));
    Outcome outcome = read_command_line(p, args);
    return parsed_from(o, std::move(outcome));
}

} // namespace vandry

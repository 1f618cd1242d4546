// vandry: start-up (the command line, the configuration, the seed and the tank), then the
// connection loop, which without --count never returns.
#include "config.h"
#include "connection.h"
#include "console.h"
#include "platform.h"
#include "unit_options.h"

#include <ctime>

using namespace vandry;

int main(int argc, char **argv) {
    // Before anything is opened: a closed console must not become the TCP connection.
    platform::ensure_standard_streams();
    const Parsed<UnitOptions> parsed =
        parse_unit_options(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
    if (parsed.exit_status) {
        std::fputs(parsed.text.c_str(), *parsed.exit_status == 0 ? stdout : stderr);
        return *parsed.exit_status;
    }
    const UnitOptions &options = parsed.options;
    // A dry run's standard output is the wire: every other line goes to standard error.
    FILE *const console = options.dry_run ? stderr : stdout;

    UnitRun run;
    const std::string path = options.config.empty() ? default_config_path() : options.config;
    if (!ends_on_bad_config(options)) {
        run.config = wait_for_config(path);
    } else if (const std::optional<Config> config = read_config_once(path, console)) {
        run.config = *config;
    } else {
        return 2;
    }
    run.interval_ms = interval_ms(run.config.interval_s);
    run.count = options.count;

    // Seeded after the configuration is read, so after any wait for the file.
    const unsigned seed = options.seed ? *options.seed : static_cast<unsigned>(std::time(nullptr));
    if (options.verbose)
        report_to(console, "seed: %u\n", seed);
    UnitMessages messages(seed);
    report_to(console, "%s", tank_report(messages.tank()).c_str());

    if (options.dry_run) {
        platform::set_binary_mode(stdout);
        if (!write_messages(stdout, run, messages)) {
            report_to(stderr, "vandry: cannot write the messages to standard output\n");
            return 1;
        }
        return 0;
    }
    run_connection_loop(run, messages);
    return 0;
}

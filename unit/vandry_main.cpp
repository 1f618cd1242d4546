// vandry: start-up (the command line, the configuration, the seed and the tank), then the
// connection loop, which without --count never returns.
#include "core/config.h"
#include "core/console.h"
#include "core/file_identity.h"
#include "core/plan.h"
#include "platform/platform.h"
#include "unit/connection.h"
#include "unit/unit_options.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <thread>

using namespace vandry;

namespace {

// With --timeout a watchdog ends the run, whichever call it is waiting in (a connect that the
// network does not answer, a pause, a send). Every line already printed has been flushed.
void start_watchdog(long long seconds) {
    std::thread([seconds] {
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        report_to(stderr, "vandry: not finished within --timeout %lld s\n", seconds);
        std::fflush(stdout);
        std::_Exit(1);
    }).detach();
}

// The configuration, waited for or (a run that must end) read once; none: exit with status 2.
std::optional<Config> configuration(const UnitOptions &options, FILE *console) {
    const bool named = !options.config.empty();
    const std::string path = named ? options.config : default_config_path();
    if (!ends_on_bad_config(options))
        return wait_for_config(path, named);
    return read_config_once(path, named, console);
}

// The plan of a run: its station under its seed, drawing from this build's C runtime.
bool write_plan(const std::string &path, const UnitRun &run, unsigned seed) {
    Plan plan;
    plan.data_type = run.config.data_type;
    plan.rand = NATIVE_RAND;
    plan.interval_s = run.interval_ms / 1000;
    plan.seed = seed;
    // Ticks are 32-bit: a longer count says nothing of the extent.
    plan.count = run.count <= 0xffffffffLL ? static_cast<std::uint32_t>(run.count) : 0;
    std::ofstream out(path, std::ios::binary);
    out << plan_header(plan) << plan_line({run.config.name, seed});
    if (out.flush())
        return true;
    report_to(stderr, "vandry: cannot write the plan %s\n", path.c_str());
    return false;
}

// The files that the run writes are none that it reads, nor each other; false, said, when one is.
bool files_apart(const UnitOptions &options) {
    const std::string clash =
        file_clash({{"--config", options.config.empty() ? default_config_path() : options.config},
                    {"--plan", options.plan, true},
                    {"--fault-log", options.faults.log, true}});
    if (!clash.empty())
        report_to(stderr, "vandry: %s\n", clash.c_str());
    return clash.empty();
}

} // namespace

int main(int argc, char **argv) {
    // Before anything is opened: a closed console must not become the TCP connection.
    platform::ensure_standard_streams();
    platform::file_size_limit_fails_writes();
    const Parsed<UnitOptions> parsed =
        parse_unit_options(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
    if (parsed.exit_status) {
        std::fputs(parsed.text.c_str(), *parsed.exit_status == 0 ? stdout : stderr);
        return *parsed.exit_status;
    }
    const UnitOptions &options = parsed.options;
    if (!files_apart(options))
        return 2;
    if (options.timeout_s > 0)
        start_watchdog(options.timeout_s);
    // A dry run's standard output is the wire: every other line goes to standard error.
    FILE *const console = options.dry_run ? stderr : stdout;

    UnitRun run;
    if (const std::optional<Config> config = configuration(options, console))
        run.config = *config;
    else
        return 2;
    run.interval_ms = interval_ms(run.config.interval_s);
    run.count = options.count;

    // Seeded after the configuration is read, so after any wait for the file.
    const unsigned seed = options.seed ? *options.seed : static_cast<unsigned>(std::time(nullptr));
    if (options.verbose) {
        report_to(console, "seed: %u\n", seed);
        if (run.config.interval_s < 3)
            report_to(console, "interval: %d s is below 3 s: messages go every 3 s\n",
                      run.config.interval_s);
    }
    if (!options.plan.empty() && !write_plan(options.plan, run, seed))
        return 1;
    FaultLogFile fault_log("vandry");
    if (!fault_log.open(options.faults.log)) {
        report_to(stderr, "vandry: cannot write the fault log %s\n", options.faults.log.c_str());
        return 1;
    }
    run.faults = options.faults.rates;
    run.fault_seed = fault_seed_of(options.faults.seed ? *options.faults.seed : seed);
    run.fault_log = &fault_log;
    UnitMessages messages(seed);
    report_to(console, "%s", tank_report(messages.tank()).c_str());

    if (options.dry_run) {
        platform::set_binary_mode(stdout);
        if (!write_messages(stdout, run, messages)) {
            report_to(stderr, "vandry: cannot write the messages to standard output\n");
            return 1;
        }
        return fault_log.failed() ? 1 : 0;
    }
    run_connection_loop(run, messages);
    return fault_log.failed() ? 1 : 0;
}

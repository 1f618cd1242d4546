// Entry point: start-up, then the connection loop, which without --count never returns.
#include "platform.h"
#include "simulation.h"
#include "transmission.h"
#include "vandry.h"

#include <cstdlib>
#include <ctime>

int main(int argc, char **argv) {
    // Before anything is opened: a closed console must not become the TCP connection.
    ensure_standard_streams();
    const parsed_unit_options parsed =
        parse_unit_options(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
    if (parsed.exit_status) {
        std::fputs(parsed.text.c_str(), *parsed.exit_status == 0 ? stdout : stderr);
        return *parsed.exit_status;
    }
    const unit_options &options = parsed.options;
    // A dry run's standard output is the wire: every other line goes to standard error.
    FILE *const console = options.dry_run ? stderr : stdout;

    char sendbuf[LARGE_SIZE] = {};
    char name[LARGE_SIZE] = {};
    char ipaddr[LARGE_SIZE] = {};
    char aport[LARGE_SIZE] = {};
    tank_parms tank{};
    record_buffers records{};
    telemetry tm{};
    tm.sms_status = -1;
    int data_type = 0;
    int smst = 0;

    const std::string path = options.config.empty() ? cfg_path() : options.config;
    if (!ends_on_bad_config(options))
        read_vector_cfg(ipaddr, aport, name, &data_type, &smst, path);
    else if (!read_cfg_once(path, console, ipaddr, aport, name, &data_type, &smst))
        return 2;

    // Seeded after the configuration is read, so after any wait for the file.
    const unsigned seed = options.seed ? *options.seed : static_cast<unsigned>(std::time(nullptr));
    if (options.verbose)
        report_to(console, "seed: %u\n", seed);
    std::srand(seed);
    draw_tank_parms(&tank, console);
    tm.run_indx = 0;
    tm.gps_indx = 0;

    if (options.dry_run) {
        set_binary_mode(stdout);
        if (!write_messages(stdout, name, data_type, &tank, &tm, &records, sendbuf,
                            options.count)) {
            report_to(stderr, "vandry: cannot write the messages to standard output\n");
            return 1;
        }
        return 0;
    }
    connection_loop(ipaddr, aport, name, data_type, smst, &tank, &tm, &records, sendbuf,
                    options.count);
    return 0;
}

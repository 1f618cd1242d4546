#include "fleet/options.h"

#include "core/config.h"
#include "core/plan.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace vandry::fleet {

const char FLEET_VERSION[] = "vandry-fleet " VANDRY_VERSION;

namespace {

bool parse_ipv4(const std::string &text, std::uint32_t *out) {
    std::uint32_t address = 0;
    size_t at = 0;
    for (int octet = 0; octet < 4; ++octet) {
        const size_t end = octet < 3 ? text.find('.', at) : text.size();
        long long value = 0;
        if (end == std::string::npos || end - at > 3 ||
            !parse_decimal(text.substr(at, end - at), 0, 255, &value))
            return false;
        address = address << 8 | static_cast<std::uint32_t>(value);
        at = end + 1;
    }
    *out = address;
    return true;
}

// "A" or "A-B", B in the same /24 as A and not below it.
std::string parse_sources(const std::string &text, std::vector<std::uint32_t> *out) {
    const size_t dash = text.find('-');
    std::uint32_t first = 0, last = 0;
    if (!parse_ipv4(text.substr(0, dash), &first) ||
        (dash != std::string::npos && !parse_ipv4(text.substr(dash + 1), &last)))
        return "--source wants an IPv4 address or a range A-B, not \"" + text + "\"";
    if (dash == std::string::npos)
        last = first;
    if ((first >> 8) != (last >> 8) || last < first)
        return "--source range " + text +
               " must run upwards in the last octet (e.g. 127.0.0.1-127.0.0.8)";
    out->clear();
    for (std::uint32_t a = first; a <= last; ++a)
        out->push_back(a);
    return std::string();
}

std::string not_a(const char *what, const std::string &value) {
    return std::string(what) + ", not \"" + value + "\"";
}

// What the command line has given, beyond the options themselves.
struct Given {
    bool units = false, server = false, type = false, first_unit = false, shard = false;
    long long shard_index = 0;
};

std::string parse_server(const std::string &v, FleetOptions &o, Given &g) {
    const size_t colon = v.rfind(':');
    long long port = 0;
    g.server = colon != std::string::npos && colon != 0 &&
               parse_decimal(v.substr(colon + 1), 1, 65535, &port);
    if (!g.server)
        return not_a("--server wants HOST:PORT with a port from 1 to 65535", v);
    o.host = v.substr(0, colon);
    o.port = v.substr(colon + 1);
    return std::string();
}

// Seconds with an optional fraction, digits and one point only, from low to high.
bool parse_seconds(const std::string &v, double low, double high, double *out) {
    if (v.empty() || v.size() > 20 || v.find_first_not_of("0123456789.") != std::string::npos ||
        v.find('.') != v.rfind('.') || v == ".")
        return false;
    const double value = std::strtod(v.c_str(), nullptr);
    if (!(value >= low && value <= high))
        return false;
    *out = value;
    return true;
}

// The longest run and the longest interval that a schedule is computed for.
constexpr double MAX_DURATION_S = 31536000; // a year
constexpr long long MAX_INTERVAL_S = 86400; // a day

// --units, --server and --type: what every run needs.
std::vector<Option> required_options(FleetOptions &o, Given &g) {
    Option units = number("--units", "N", "run N units",
                          {"a number of units from 1 to 10000000", 1, 10000000}, [&](long long n) {
                              o.units = n;
                              g.units = true;
                          });
    units.required = true;
    Option server = {"--server", "HOST:PORT", "the server that every unit sends to",
                     [&](const std::string &v) { return parse_server(v, o, g); }, true};
    Option type = {
        "--type", "CODE", "the data type code: 10, 11, 20, 21, 30 or 31",
        [&](const std::string &v) {
            long long code = 0;
            g.type = parse_decimal(v, 0, 99, &code) && is_data_type(static_cast<int>(code));
            o.data_type = static_cast<int>(code);
            return g.type ? std::string() : not_a("--type wants one of 10, 11, 20, 21, 30, 31", v);
        },
        true};
    return {units, server, type};
}

// Which units run, and how they are named and seeded.
std::vector<Option> unit_options(FleetOptions &o, Given &g) {
    return {
        number("--interval", "S", "seconds between a unit's messages (below 3 counts as 3)",
               {"whole seconds from 0 to 86400", 0, MAX_INTERVAL_S},
               [&](long long s) {
                   o.interval_s = static_cast<int>(s);
                   o.interval_ms = interval_ms(o.interval_s);
               }),
        number("--seed", "S", "unit k's seed is S+k (default: the clock)",
               {"a number from 0 to 4294967295", 0, 4294967295LL},
               [&](long long s) { o.seed = static_cast<unsigned>(s); }),
        number("--first-unit", "K", "the first unit's number (default 0)",
               {"a unit number", 0, 999999999999LL},
               [&](long long k) {
                   o.first_unit = k;
                   g.first_unit = true;
               }),
        number("--shard", "I", "the first unit's number is I*N",
               {"a shard index from 0", 0, 99999999},
               [&](long long i) {
                   g.shard_index = i;
                   g.shard = true;
               }),
        {"--name-prefix", "P", "unit names are P and the unit number (default U)",
         [&](const std::string &v) {
             o.name_prefix = v;
             const bool plain = std::none_of(v.begin(), v.end(), [](char c) {
                 return static_cast<unsigned char>(c) <= ' ' || c == '\x7f';
             });
             return plain ? std::string()
                          : std::string("--name-prefix must not contain whitespace or control "
                                        "bytes, which end a station name");
         }},
        {"--rand", "glibc|msvcrt", "whose C runtime's rand the units reproduce",
         [&](const std::string &v) {
             o.rand = v == "glibc" ? RandKind::glibc : RandKind::msvcrt;
             return v == "glibc" || v == "msvcrt" ? std::string()
                                                  : not_a("--rand wants glibc or msvcrt", v);
         }},
    };
}

// Where the units connect from, how long the run lasts and what is printed.
std::vector<Option> run_options(FleetOptions &o) {
    return {
        {"--source", "A[-B]",
         "bind unit k to address k mod count of a range in the last octet\n"
         "(e.g. 127.0.0.1-127.0.0.8)",
         [&](const std::string &v) { return parse_sources(v, &o.sources); }},
        {"--duration", "SECONDS", "end the run after this time",
         [&](const std::string &v) {
             return parse_seconds(v, 0.001, MAX_DURATION_S, &o.duration_s)
                        ? std::string()
                        : not_a("--duration wants seconds from 0.001 to 31536000 (a year)", v);
         }},
        {"--ramp", "SECONDS",
         "spread the first connections over this time (default: one\n"
         "interval; 0: all at once)",
         [&](const std::string &v) {
             return parse_seconds(v, 0, MAX_INTERVAL_S, &o.ramp_s)
                        ? std::string()
                        : not_a("--ramp wants seconds from 0 to 86400", v);
         }},
        number("--connect-rate", "N", "at most N new connections a second, reconnections too",
               {"a number of connections a second from 1 to 1000000", 1, 1000000},
               [&](long long n) { o.connect_rate = n; }),
        number("--count", "MESSAGES", "end once every unit has sent this many",
               {"a positive number of messages", 1, 1000000000}, [&](long long n) { o.count = n; }),
        number("--threads", "N",
               "split the units over N threads, unit k on thread k mod N\n"
               "(default 1; 0: one per core; at most 256 and the units)",
               {"a number of threads from 0", 0, 10000000}, [&](long long n) { o.threads = n; }),
        flag("--echo", "print every unit's console lines as vandry does", &o.echo),
        flag("--dry-run",
             "print the plan (type, generator, interval, every unit's name and seed)\n"
             "for a receiver's --expect, and exit",
             &o.dry_run),
        file_name("--report", "write the run's figures as JSON to FILE when it ends", &o.report),
        flag("--merge",
             "merge the reports REPORT... of shards of one plan into one: print its\n"
             "summary, write it with --report; no unit runs",
             &o.merge),
    };
}

std::vector<Option> fleet_table(FleetOptions &o, Given &g) {
    std::vector<Option> table = required_options(o, g);
    for (std::vector<Option> part :
         {unit_options(o, g), run_options(o), metrics::metrics_options(o.metrics),
          fault_options(o.faults, "unit k's faults from the stream of N+k (default: from its "
                                  "own seed)")})
        table.insert(table.end(), part.begin(), part.end());
    return table;
}

// What must hold once every option is in: required options, exclusions, the names' length.
std::string complete(FleetOptions &o, const Given &g) {
    if (o.merge && (g.units || g.server || g.type))
        return "--merge takes reports and --report, and runs no units";
    if (o.merge)
        return o.merge_reports.empty() ? "--merge needs at least one report" : "";
    if (g.shard && g.first_unit)
        return "--shard and --first-unit exclude each other";
    if (!g.units)
        return "--units is required";
    if (!o.dry_run && !g.server)
        return "--server is required";
    if (!o.dry_run && !g.type)
        return "--type is required";
    if (g.shard)
        o.first_unit = g.shard_index * o.units;
    char name[64];
    const long long last_unit = o.first_unit + o.units - 1;
    if (o.name_prefix.size() + 20 > sizeof name ||
        write_unit_name(name, o.name_prefix, last_unit) > MAX_NAME_LENGTH)
        return "unit names must fit " + std::to_string(MAX_NAME_LENGTH) + " characters: prefix \"" +
               o.name_prefix + "\" with unit number " + std::to_string(last_unit) + " is longer";
    return std::string();
}

} // namespace

Parsed<FleetOptions> parse_fleet_options(const std::vector<std::string> &args,
                                         unsigned default_seed) {
    FleetOptions o;
    o.seed = default_seed;
    Given g;
    Program p;
    p.name = "vandry-fleet";
    p.version = FLEET_VERSION;
    p.notes =
        std::string(
            "Runs units K to K+N-1 (K = I*N with --shard), unit k named P and k in five digits\n"
            "and seeded with S+k, each sending exactly what vandry sends with that name and\n"
            "seed, e.g.\n"
            "  vandry-fleet --units 1000 --server 127.0.0.1:5000 --type 21 --interval 10\n"
            "sends 1000 / 10 = 100 messages a second: the rate is units / interval. An interval\n"
            "below 3 s counts as 3 s, and is said when it happens. Each unit keeps its place in\n"
            "the interval: a late message keeps the next slot, never two messages go less\n"
            "than half an interval apart, and missed slots are skipped, not caught up; a unit\n"
            "whose connection fails or ends tries again after at least 5 s.\n") +
        DATA_TYPE_HELP +
        "Every unit holds one connection, so one process runs at most the open-file limit\n"
        "less 32 units (ulimit -Hn; raise it as root, with LimitNOFILE= for a service or\n"
        "nofile in /etc/security/limits.conf), and more in shards (--shard).\n"
        "With --merge, shards' reports (--report) become the one report of their fleet:\n"
        "figures summed, lateness merged exactly, stations in unit order. Reports of\n"
        "different plans or overlapping units are refused.\n"
        "Exit status: 0 when every unit sent what it should and nothing failed, 1 otherwise,\n"
        "2 for a bad command line, reports that --merge refuses or a metrics port that cannot\n"
        "be had.\n" +
        metrics::METRICS_NOTES;
    p.operands = "[REPORT...]";
    p.options = fleet_table(o, g);
    p.operands_handler = [&o](const std::vector<std::string> &operands) {
        o.merge_reports = operands;
        return operands.empty() || o.merge ? std::string()
                                           : "unexpected argument \"" + operands[0] + "\"";
    };
    Outcome outcome = read_command_line(p, args);
    if (!outcome.exit_status) {
        if (const std::string reason = complete(o, g); !reason.empty())
            outcome = usage_error(p, reason);
    }
    return parsed_from(o, std::move(outcome));
}

int write_unit_name(char *out, const std::string &prefix, long long unit_number) {
    char digits[24];
    int n = 0;
    for (auto v = static_cast<unsigned long long>(unit_number); v != 0 || n == 0; v /= 10)
        digits[n++] = static_cast<char>('0' + v % 10);
    while (n < UNIT_NUMBER_DIGITS)
        digits[n++] = '0';
    char *p = std::copy(prefix.begin(), prefix.end(), out);
    while (n > 0)
        *p++ = digits[--n];
    *p = '\0';
    return static_cast<int>(p - out);
}

ThreadsInEffect threads_in_effect(const FleetOptions &o, unsigned hardware) {
    const std::string asked = "--threads " + std::to_string(o.threads) +
                              (o.threads == 0 ? " (" + std::to_string(hardware) + " cores)" : "");
    ThreadsInEffect t{o.threads == 0 ? std::max(1LL, static_cast<long long>(hardware)) : o.threads,
                      ""};
    if (t.threads > MAX_THREADS) {
        t.threads = MAX_THREADS;
        t.notice = "vandry-fleet: " + asked + " is capped at " + std::to_string(MAX_THREADS) + "\n";
    }
    if (t.threads > o.units) {
        t.threads = o.units;
        t.notice =
            "vandry-fleet: " + asked + " is capped at the " + std::to_string(o.units) + " units\n";
    }
    return t;
}

std::string ipv4_text(std::uint32_t address) {
    return std::to_string(address >> 24) + "." + std::to_string(address >> 16 & 255) + "." +
           std::to_string(address >> 8 & 255) + "." + std::to_string(address & 255);
}

std::string start_line(const FleetOptions &o) {
    char first[64], last[64];
    write_unit_name(first, o.name_prefix, o.first_unit);
    write_unit_name(last, o.name_prefix, o.first_unit + o.units - 1);
    return "vandry-fleet: " + std::to_string(o.units) + " units " + first + ".." + last +
           ", seed " + std::to_string(o.seed) + ", type " + std::to_string(o.data_type) +
           ", interval " + std::to_string(o.interval_ms / 1000) + "s, rand " + rand_name(o.rand) +
           ", server " + o.host + ":" + o.port + "\n";
}

std::string plan_text(const FleetOptions &o) {
    Plan plan;
    plan.data_type = o.data_type;
    plan.rand = o.rand;
    plan.interval_s = o.interval_ms / 1000;
    plan.seed = o.seed;
    plan.count = static_cast<std::uint32_t>(o.count);
    std::string text = plan_header(plan);
    char name[64];
    for (long long k = o.first_unit; k < o.first_unit + o.units; ++k) {
        write_unit_name(name, o.name_prefix, k);
        text += plan_line({name, unit_seed(o.seed, k)});
    }
    return text;
}

std::vector<std::uint32_t> loopback_sources(const FleetOptions &o, bool keep_open,
                                            long long local_ports, int time_wait_s) {
    std::uint32_t server = 0;
    if (!o.sources.empty() || !parse_ipv4(o.host, &server) || (server >> 24) != 127 ||
        local_ports < 2)
        return {};
    // A unit holds its connection open for the interval in either mode; closing ones also leave
    // a port in TIME_WAIT per message.
    const long long held_per_source = std::max(1LL, local_ports / 2);
    long long count = (o.units + held_per_source - 1) / held_per_source;
    if (!keep_open) {
        const long long per_second = o.units * 1000 / o.interval_ms;
        const long long closed_per_source = std::max(1LL, local_ports / std::max(1, time_wait_s));
        count = std::max(count, (per_second + closed_per_source - 1) / closed_per_source);
    }
    count = std::min(254LL, count);
    std::vector<std::uint32_t> sources;
    for (long long k = 1; count > 1 && k <= count; ++k)
        sources.push_back(0x7F000000U + static_cast<std::uint32_t>(k));
    return sources;
}

} // namespace vandry::fleet

#include "options.h"

#include "vandry.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

const char FLEET_USAGE[] =
    "usage: vandry-fleet --units N --server HOST:PORT --type CODE [--interval S] [--seed S]\n"
    "                    [--first-unit K | --shard I] [--name-prefix P] [--rand glibc|msvcrt]\n"
    "                    [--source A[-B]] [--duration SECONDS] [--count MESSAGES] [--echo]\n"
    "                    [--dry-run] [--help] [--version]\n"
    "Runs units K to K+N-1 (K = I*N with --shard), each sending exactly what vandry would send\n"
    "when seeded with S+k. CODE is 10, 11, 20, 21, 30 or 31; the interval is at least 3 s.\n"
    "--source binds unit k to address k mod count of a range in the last octet\n"
    "(e.g. 127.0.0.1-127.0.0.8). --dry-run prints the seed and every unit's name and seed.\n";

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

} // namespace

const char *rand_name(rand_kind kind) {
    return kind == rand_kind::glibc ? "glibc" : "msvcrt";
}

std::string ipv4_text(std::uint32_t address) {
    return std::to_string(address >> 24) + "." + std::to_string(address >> 16 & 255) + "." +
           std::to_string(address >> 8 & 255) + "." + std::to_string(address & 255);
}

int write_unit_name(char *out, const std::string &prefix, long long unit_number) {
    char digits[24];
    int n = 0;
    for (unsigned long long v = static_cast<unsigned long long>(unit_number); v != 0 || n == 0;
         v /= 10)
        digits[n++] = static_cast<char>('0' + v % 10);
    while (n < UNIT_NUMBER_DIGITS)
        digits[n++] = '0';
    char *p = std::copy(prefix.begin(), prefix.end(), out);
    while (n > 0)
        *p++ = digits[--n];
    *p = '\0';
    return static_cast<int>(p - out);
}

namespace {

// What the command line has given so far, beyond the options themselves.
struct given {
    bool units = false, server = false, type = false, first_unit = false, shard = false;
    long long shard_index = 0;
};

// Applies one option's value; returns the error text, empty when the value is accepted.
using option_handler = std::string (*)(const std::string &value, fleet_options &o, given &g);

struct option_entry {
    const char *name;
    option_handler apply;
};

std::string not_a(const char *what, const std::string &value) {
    return std::string(what) + ", not \"" + value + "\"";
}

constexpr option_entry OPTIONS[] = {
    {"--units",
     [](const std::string &v, fleet_options &o, given &g) {
         g.units = parse_decimal(v, 1, 10000000, &o.units);
         return g.units ? std::string()
                        : not_a("--units wants a number of units from 1 to 10000000", v);
     }},
    {"--server",
     [](const std::string &v, fleet_options &o, given &g) {
         const size_t colon = v.rfind(':');
         long long port = 0;
         g.server = colon != std::string::npos && colon != 0 &&
                    parse_decimal(v.substr(colon + 1), 1, 65535, &port);
         if (!g.server)
             return not_a("--server wants HOST:PORT with a port from 1 to 65535", v);
         o.host = v.substr(0, colon);
         o.port = v.substr(colon + 1);
         return std::string();
     }},
    {"--type",
     [](const std::string &v, fleet_options &o, given &g) {
         long long code = 0;
         g.type = parse_decimal(v, 0, 99, &code) && is_data_type(static_cast<int>(code));
         o.data_type = static_cast<int>(code);
         return g.type ? std::string() : not_a("--type wants one of 10, 11, 20, 21, 30, 31", v);
     }},
    {"--interval",
     [](const std::string &v, fleet_options &o, given &) {
         long long seconds = 0;
         if (!parse_decimal(v, 0, 2147483647, &seconds))
             return not_a("--interval wants whole seconds", v);
         o.interval_s = static_cast<int>(seconds);
         o.interval_ms = smst_to_ms(o.interval_s);
         return std::string();
     }},
    {"--seed",
     [](const std::string &v, fleet_options &o, given &) {
         long long seed = 0;
         if (!parse_decimal(v, 0, 4294967295LL, &seed))
             return not_a("--seed wants a number from 0 to 4294967295", v);
         o.seed = static_cast<unsigned>(seed);
         return std::string();
     }},
    {"--first-unit",
     [](const std::string &v, fleet_options &o, given &g) {
         g.first_unit = parse_decimal(v, 0, 999999999999LL, &o.first_unit);
         return g.first_unit ? std::string() : not_a("--first-unit wants a unit number", v);
     }},
    {"--shard",
     [](const std::string &v, fleet_options &, given &g) {
         g.shard = parse_decimal(v, 0, 99999999, &g.shard_index);
         return g.shard ? std::string() : not_a("--shard wants a shard index from 0", v);
     }},
    {"--name-prefix",
     [](const std::string &v, fleet_options &o, given &) {
         o.name_prefix = v;
         return v.find_first_of(" \t\r\n,") == std::string::npos
                    ? std::string()
                    : std::string("--name-prefix must not contain blanks or commas");
     }},
    {"--rand",
     [](const std::string &v, fleet_options &o, given &) {
         o.rand = v == "glibc" ? rand_kind::glibc : rand_kind::msvcrt;
         return v == "glibc" || v == "msvcrt" ? std::string()
                                              : not_a("--rand wants glibc or msvcrt", v);
     }},
    {"--source",
     [](const std::string &v, fleet_options &o, given &) { return parse_sources(v, &o.sources); }},
    {"--duration",
     [](const std::string &v, fleet_options &o, given &) {
         char *end = nullptr;
         o.duration_s = std::strtod(v.c_str(), &end);
         const bool ok = !v.empty() && *end == '\0' && std::isfinite(o.duration_s) &&
                         o.duration_s > 0 &&
                         v.find_first_not_of("0123456789.") == std::string::npos;
         return ok ? std::string() : not_a("--duration wants a positive number of seconds", v);
     }},
    {"--count",
     [](const std::string &v, fleet_options &o, given &) {
         return parse_decimal(v, 1, 1000000000, &o.count)
                    ? std::string()
                    : not_a("--count wants a positive number of messages", v);
     }},
};

// Sets the flag that the option names; false when it is no flag.
bool apply_flag(const std::string &option, fleet_options &o) {
    bool *const flag = option == "--echo"      ? &o.echo
                       : option == "--dry-run" ? &o.dry_run
                       : option == "--help"    ? &o.help
                       : option == "--version" ? &o.version
                                               : nullptr;
    if (flag != nullptr)
        *flag = true;
    return flag != nullptr;
}

// What must hold once every option is in: required options, exclusions, the names' length.
std::string complete(fleet_options &o, const given &g) {
    if (o.help || o.version)
        return std::string();
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
        write_unit_name(name, o.name_prefix, last_unit) > FLEET_MAX_NAME_LENGTH)
        return "unit names must fit " + std::to_string(FLEET_MAX_NAME_LENGTH) +
               " characters: prefix \"" + o.name_prefix + "\" with unit number " +
               std::to_string(last_unit) + " is longer";
    return std::string();
}

} // namespace

parsed_options parse_options(const std::vector<std::string> &args, unsigned default_seed,
                             const char *native_rand) {
    parsed_options r;
    fleet_options &o = r.options;
    o.seed = default_seed;
    o.rand = std::strcmp(native_rand, "msvcrt") == 0 ? rand_kind::msvcrt : rand_kind::glibc;
    given g;
    for (size_t i = 0; i < args.size() && r.error.empty(); ++i) {
        std::string option = args[i], value;
        const size_t equals = option.find('=');
        const bool inline_value = option.compare(0, 2, "--") == 0 && equals != std::string::npos;
        if (inline_value) {
            value = option.substr(equals + 1);
            option.resize(equals);
        }
        if (apply_flag(option, o)) {
            if (inline_value)
                r.error = option + " takes no value";
            continue;
        }
        if (option.compare(0, 2, "--") != 0) {
            r.error = "unexpected argument \"" + option + "\"";
            continue;
        }
        const option_entry *entry =
            std::find_if(std::begin(OPTIONS), std::end(OPTIONS),
                         [&option](const option_entry &e) { return option == e.name; });
        if (entry == std::end(OPTIONS))
            r.error = "unknown option " + option;
        else if (!inline_value && i + 1 >= args.size())
            r.error = option + " needs a value";
        else
            r.error = entry->apply(inline_value ? value : args[++i], o, g);
    }
    if (r.error.empty())
        r.error = complete(o, g);
    return r;
}

std::string start_line(const fleet_options &o) {
    char first[64], last[64];
    write_unit_name(first, o.name_prefix, o.first_unit);
    write_unit_name(last, o.name_prefix, o.first_unit + o.units - 1);
    return "vandry-fleet: " + std::to_string(o.units) + " units " + first + ".." + last +
           ", seed " + std::to_string(o.seed) + ", type " + std::to_string(o.data_type) +
           ", interval " + std::to_string(o.interval_ms / 1000) + "s, rand " + rand_name(o.rand) +
           ", server " + o.host + ":" + o.port + "\n";
}

std::string plan_text(const fleet_options &o) {
    std::string plan = "seed " + std::to_string(o.seed) + "\n";
    char name[64];
    for (long long k = o.first_unit; k < o.first_unit + o.units; ++k) {
        write_unit_name(name, o.name_prefix, k);
        plan += name;
        plan += " " + std::to_string(unit_seed(o.seed, k)) + "\n";
    }
    return plan;
}

std::vector<std::uint32_t> loopback_sources(const fleet_options &o, bool keep_open,
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

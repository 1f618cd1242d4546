#include "options.h"

#include "vandry.h"

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

// A decimal integer of digits only, from low to high.
bool parse_integer(const std::string &text, long long low, long long high, long long *out) {
    if (text.empty() || text.size() > 18 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const long long value = std::stoll(text);
    if (value < low || value > high)
        return false;
    *out = value;
    return true;
}

bool parse_ipv4(const std::string &text, std::uint32_t *out) {
    std::uint32_t address = 0;
    size_t at = 0;
    for (int octet = 0; octet < 4; ++octet) {
        const size_t end = octet < 3 ? text.find('.', at) : text.size();
        long long value = 0;
        if (end == std::string::npos || end - at > 3 ||
            !parse_integer(text.substr(at, end - at), 0, 255, &value))
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

bool valid_code(long long code) {
    return code == 10 || code == 11 || code == 20 || code == 21 || code == 30 || code == 31;
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
    std::memcpy(out, prefix.data(), prefix.size());
    char *p = out + prefix.size();
    while (n > 0)
        *p++ = digits[--n];
    *p = '\0';
    return static_cast<int>(p - out);
}

parsed_options parse_options(const std::vector<std::string> &args, unsigned default_seed,
                             const char *native_rand) {
    parsed_options r;
    fleet_options &o = r.options;
    o.seed = default_seed;
    o.rand = std::strcmp(native_rand, "msvcrt") == 0 ? rand_kind::msvcrt : rand_kind::glibc;
    bool have_units = false, have_server = false, have_type = false, have_first = false,
         have_shard = false;
    long long shard = 0;
    const auto fail = [&r](const std::string &message) {
        r.error = message;
        return r;
    };

    for (size_t i = 0; i < args.size(); ++i) {
        std::string option = args[i], value;
        const size_t equals = option.find('=');
        const bool inline_value = option.compare(0, 2, "--") == 0 && equals != std::string::npos;
        if (inline_value) {
            value = option.substr(equals + 1);
            option.resize(equals);
        }
        const bool flag = option == "--echo" || option == "--dry-run" || option == "--help" ||
                          option == "--version";
        if (flag) {
            if (inline_value)
                return fail(option + " takes no value");
            o.echo = o.echo || option == "--echo";
            o.dry_run = o.dry_run || option == "--dry-run";
            o.help = o.help || option == "--help";
            o.version = o.version || option == "--version";
            continue;
        }
        if (option.compare(0, 2, "--") != 0)
            return fail("unexpected argument \"" + option + "\"");
        if (!inline_value) {
            if (i + 1 >= args.size())
                return fail(option + " needs a value");
            value = args[++i];
        }
        long long number = 0;
        if (option == "--units") {
            if (!parse_integer(value, 1, 10000000, &number))
                return fail("--units wants a number of units from 1 to 10000000, not \"" + value +
                            "\"");
            o.units = number;
            have_units = true;
        } else if (option == "--server") {
            const size_t colon = value.rfind(':');
            if (colon == std::string::npos || colon == 0 ||
                !parse_integer(value.substr(colon + 1), 1, 65535, &number))
                return fail("--server wants HOST:PORT with a port from 1 to 65535, not \"" + value +
                            "\"");
            o.host = value.substr(0, colon);
            o.port = value.substr(colon + 1);
            have_server = true;
        } else if (option == "--type") {
            if (!parse_integer(value, 0, 99, &number) || !valid_code(number))
                return fail("--type wants one of 10, 11, 20, 21, 30, 31, not \"" + value + "\"");
            o.data_type = static_cast<int>(number);
            have_type = true;
        } else if (option == "--interval") {
            if (!parse_integer(value, 0, 2147483647, &number))
                return fail("--interval wants whole seconds, not \"" + value + "\"");
            o.interval_s = static_cast<int>(number);
            o.interval_ms = smst_to_ms(o.interval_s);
        } else if (option == "--seed") {
            if (!parse_integer(value, 0, 4294967295LL, &number))
                return fail("--seed wants a number from 0 to 4294967295, not \"" + value + "\"");
            o.seed = static_cast<unsigned>(number);
        } else if (option == "--first-unit") {
            if (!parse_integer(value, 0, 999999999999LL, &number))
                return fail("--first-unit wants a unit number, not \"" + value + "\"");
            o.first_unit = number;
            have_first = true;
        } else if (option == "--shard") {
            if (!parse_integer(value, 0, 99999999, &shard))
                return fail("--shard wants a shard index from 0, not \"" + value + "\"");
            have_shard = true;
        } else if (option == "--name-prefix") {
            if (value.find_first_of(" \t\r\n,") != std::string::npos)
                return fail("--name-prefix must not contain blanks or commas");
            o.name_prefix = value;
        } else if (option == "--rand") {
            if (value != "glibc" && value != "msvcrt")
                return fail("--rand wants glibc or msvcrt, not \"" + value + "\"");
            o.rand = value == "glibc" ? rand_kind::glibc : rand_kind::msvcrt;
        } else if (option == "--source") {
            const std::string error = parse_sources(value, &o.sources);
            if (!error.empty())
                return fail(error);
        } else if (option == "--duration") {
            char *end = nullptr;
            o.duration_s = std::strtod(value.c_str(), &end);
            if (value.empty() || *end != '\0' || !std::isfinite(o.duration_s) ||
                o.duration_s <= 0 || value.find_first_not_of("0123456789.") != std::string::npos)
                return fail("--duration wants a positive number of seconds, not \"" + value + "\"");
        } else if (option == "--count") {
            if (!parse_integer(value, 1, 1000000000, &o.count))
                return fail("--count wants a positive number of messages, not \"" + value + "\"");
        } else {
            return fail("unknown option " + option);
        }
    }

    if (o.help || o.version)
        return r;
    if (have_shard && have_first)
        return fail("--shard and --first-unit exclude each other");
    if (!have_units)
        return fail("--units is required");
    if (!o.dry_run && !have_server)
        return fail("--server is required");
    if (!o.dry_run && !have_type)
        return fail("--type is required");
    if (have_shard)
        o.first_unit = shard * o.units;
    char name[64];
    const long long last_unit = o.first_unit + o.units - 1;
    if (o.name_prefix.size() + 20 > sizeof name ||
        write_unit_name(name, o.name_prefix, last_unit) > FLEET_MAX_NAME_LENGTH)
        return fail("unit names must fit " + std::to_string(FLEET_MAX_NAME_LENGTH) +
                    " characters: prefix \"" + o.name_prefix + "\" with unit number " +
                    std::to_string(last_unit) + " is longer");
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

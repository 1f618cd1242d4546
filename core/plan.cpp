#include "core/plan.h"

#include "core/command_line.h"
#include "core/message.h"

#include <algorithm>
#include <istream>
#include <sstream>
#include <unordered_set>

namespace vandry {

namespace {

constexpr char MAGIC[] = "vandry-plan";

std::string at_line(long long line, const std::string &what) {
    return "line " + std::to_string(line) + ": " + what;
}

// One "key=value" word of the header; empty when it is accepted. A key given twice is refused:
// which of the two would hold is a guess.
std::string header_word(const std::string &word, Plan &plan,
                        std::unordered_set<std::string> &keys) {
    const size_t equals = word.find('=');
    const std::string key = word.substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : word.substr(equals + 1);
    long long number = 0;
    if (!keys.insert(key).second)
        return key + "= twice";
    if (key == "type" && parse_decimal(value, 0, 99, &number) &&
        (number == 0 || is_data_type(static_cast<int>(number))))
        plan.data_type = static_cast<int>(number);
    else if (key == "rand" && (value == "glibc" || value == "msvcrt"))
        plan.rand = value == "glibc" ? RandKind::glibc : RandKind::msvcrt;
    else if (key == "interval" && parse_decimal(value, 0, 86400, &number))
        plan.interval_s = static_cast<int>(number);
    else if (key == "seed" && parse_decimal(value, 0, 4294967295LL, &number))
        plan.seed = static_cast<unsigned>(number);
    else if (key == "count" && parse_decimal(value, 1, 4294967295LL, &number))
        plan.count = static_cast<std::uint32_t>(number);
    else
        return "\"" + word + "\" is no type=CODE, rand=glibc|msvcrt, interval=S, seed=S or count=N";
    return std::string();
}

bool is_name(const std::string &name) {
    return !name.empty() && name.size() <= MAX_NAME_LENGTH &&
           std::all_of(name.begin(), name.end(),
                       [](char c) { return static_cast<unsigned char>(c) > ' ' && c != '\x7f'; });
}

} // namespace

std::string plan_header(const Plan &plan) {
    return std::string(MAGIC) + " type=" + std::to_string(plan.data_type) +
           " rand=" + rand_name(plan.rand) + " interval=" + std::to_string(plan.interval_s) +
           " seed=" + std::to_string(plan.seed) +
           (plan.count > 0 ? " count=" + std::to_string(plan.count) : std::string()) + "\n";
}

std::string plan_line(const PlannedStation &station) {
    return station.name + " " + std::to_string(station.seed) + "\n";
}

PlanReading read_plan(std::istream &in) {
    PlanReading r;
    std::string line;
    constexpr std::size_t magic = sizeof MAGIC - 1;
    if (!std::getline(in, line) || line.compare(0, magic, MAGIC) != 0 ||
        (line.size() > magic && line[magic] != ' ' && line[magic] != '\t' && line[magic] != '\r')) {
        r.error = "line 1: not a plan: it begins with \"vandry-plan\" (vandry-fleet --dry-run "
                  "writes one)";
        return r;
    }
    std::istringstream header(line.substr(magic));
    std::unordered_set<std::string> keys;
    for (std::string word; header >> word;)
        if (std::string error = header_word(word, r.plan, keys); !error.empty()) {
            r.error = at_line(1, error);
            return r;
        }
    std::unordered_set<std::string> names;
    for (long long number = 2; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::istringstream words(line);
        PlannedStation station;
        std::string seed, extra;
        long long value = 0;
        if (!(words >> station.name))
            continue; // an empty line
        if (!(words >> seed) || (words >> extra) || !is_name(station.name) ||
            !parse_decimal(seed, 0, 4294967295LL, &value)) {
            r.error = at_line(number, "not NAME SEED (a station name, a seed 0 to 4294967295)");
            return r;
        }
        if (!names.insert(station.name).second) {
            r.error = at_line(number, "station " + station.name + " twice");
            return r;
        }
        station.seed = static_cast<unsigned>(value);
        r.plan.stations.push_back(std::move(station));
    }
    return r;
}

} // namespace vandry

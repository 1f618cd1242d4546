#include "core/faults.h"

#include "core/csv_text.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

namespace vandry {

namespace {

constexpr const char *NAMES[FAULT_KINDS] = {"none",      "drop",    "cut", "garble",
                                            "duplicate", "silence", "slow"};

// A probability: a decimal fraction from 0 to 1, digits and one point only. The length limit
// keeps strtod to plain fractions; it leaves room for more digits than a double holds.
bool parse_probability(const std::string &text, double *out) {
    if (text.empty() || text.size() > 40 ||
        text.find_first_not_of("0123456789.") != std::string::npos ||
        text.find('.') != text.rfind('.') || text == ".")
        return false;
    *out = std::strtod(text.c_str(), nullptr);
    return *out >= 0 && *out <= 1;
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

} // namespace

const char *fault_name(FaultKind kind) {
    return NAMES[static_cast<int>(kind)];
}

bool FaultRates::any() const {
    for (int k = 1; k < FAULT_KINDS; ++k)
        if (probability[static_cast<std::size_t>(k)] > 0)
            return true;
    return false;
}

namespace {

// Rates that leave no message ever delivered would run for ever: with --count it would never
// end, and a unit silenced with every draw would reconnect without pause.
std::string total_error(const FaultRates &rates) {
    double total = 0;
    for (int k = 1; k < FAULT_KINDS; ++k)
        total += rates.probability[static_cast<std::size_t>(k)];
    if (total > 1 + 1e-9)
        return "the probabilities add up to more than 1";
    const auto p = [&rates](FaultKind k) { return rates.probability[static_cast<std::size_t>(k)]; };
    if (p(FaultKind::drop) + p(FaultKind::cut) + p(FaultKind::silence) >= 1 - 1e-9)
        return "drop, cut and silence add up to 1: no message would ever arrive";
    return std::string();
}

} // namespace

FaultRatesReading parse_faults(const std::string &text) {
    FaultRatesReading r;
    if (text.empty()) {
        r.error = "no fault named: name at least one, e.g. drop=0.01";
        return r;
    }
    std::istringstream items(text);
    std::array<bool, FAULT_KINDS> given{};
    for (std::string item; std::getline(items, item, ',');) {
        const std::size_t equals = item.find('=');
        const std::string name = item.substr(0, equals);
        std::string value = equals == std::string::npos ? "" : item.substr(equals + 1);
        int kind = 1;
        while (kind < FAULT_KINDS && name != NAMES[kind])
            ++kind;
        if (kind == FAULT_KINDS) {
            r.error = "unknown fault \"" + name + "\": drop, cut, garble, duplicate, silence, slow";
            return r;
        }
        if (given[static_cast<std::size_t>(kind)]) {
            r.error = name + " is given twice";
            return r;
        }
        given[static_cast<std::size_t>(kind)] = true;
        if (static_cast<FaultKind>(kind) == FaultKind::silence) {
            const std::size_t colon = value.find(':');
            const std::string seconds = colon == std::string::npos ? "" : value.substr(colon + 1);
            if (colon != std::string::npos)
                value.resize(colon);
            if (seconds.empty() || seconds.size() > 5 ||
                seconds.find_first_not_of("0123456789") != std::string::npos) {
                r.error = "silence wants P:SECONDS, e.g. silence=0.01:30";
                return r;
            }
            long long silence = 0;
            parse_decimal(seconds, 0, 99999, &silence);
            r.rates.silence_s = static_cast<int>(silence);
        }
        double &p = r.rates.probability[static_cast<std::size_t>(kind)];
        if (!parse_probability(value, &p)) {
            r.error = name;
            r.error.append(" wants a probability from 0 to 1, not \"").append(value).append("\"");
            return r;
        }
    }
    r.error = total_error(r.rates);
    return r;
}

std::uint64_t fault_seed_of(unsigned unit_seed) {
    // Apart from the telemetry's stream: the unit's seed, moved into a stream of its own.
    FaultStream mix(0x6661756C74000000ULL ^ unit_seed);
    return mix.next();
}

FaultKind draw_fault(const FaultRates &rates, FaultStream &stream) {
    const double u = static_cast<double>(stream.next() >> 11) * 0x1.0p-53;
    double edge = 0;
    for (int k = 1; k < FAULT_KINDS; ++k) {
        edge += rates.probability[static_cast<std::size_t>(k)];
        if (u < edge)
            return static_cast<FaultKind>(k);
    }
    return FaultKind::none;
}

std::string garble_message(char *message, int length, std::size_t name_length,
                           FaultStream &stream) {
    // The values: the record's fields before its sequence number, after the name's comma.
    std::vector<std::pair<std::size_t, std::size_t>> fields; // first byte, end
    std::size_t at = name_length + 1;
    const auto end = static_cast<std::size_t>(length);
    while (at < end) {
        std::size_t stop = at;
        while (stop < end && message[stop] != ',' && message[stop] != '\n')
            ++stop; // fill blanks stay inside their field
        fields.emplace_back(at, stop);
        if (stop >= end || message[stop] != ',')
            break;
        at = stop + 1;
    }
    // Long and GPS records have vin and rssi too; a message cut short of its values has none.
    const std::size_t values = fields.size() >= 9 ? 8 : fields.size() >= 7 ? 6 : 0;
    if (values == 0)
        return "no value to garble";
    auto [first, stop] = fields[stream.below(static_cast<unsigned>(values))];
    while (message[first] == ' ')
        ++first; // fill blanks
    std::vector<std::size_t> digits;
    for (std::size_t i = first; i < stop; ++i)
        if (is_digit(message[i]))
            digits.push_back(i);
    if (digits.empty())
        return "no digit to garble";
    const std::size_t pick = digits[stream.below(static_cast<unsigned>(digits.size()))];
    // A first digit followed by more digits must not become 0: that would be a leading zero.
    const bool leading = pick == first && pick + 1 < stop && is_digit(message[pick + 1]);
    std::string candidates;
    for (char d = leading ? '1' : '0'; d <= '9'; ++d)
        if (d != message[pick])
            candidates += d;
    if (candidates.empty()) // every other digit is a candidate: never
        return "no digit to garble";
    const std::string before(message + first, stop - first);
    message[pick] = candidates[stream.below(static_cast<unsigned>(candidates.size()))];
    return "offset " + std::to_string(pick) + ": " + before + " -> " +
           std::string(message + first, stop - first);
}

int cut_length(int length, FaultStream &stream) {
    return 1 + static_cast<int>(stream.below(static_cast<unsigned>(length - 1)));
}

SlowPiece slow_piece(int left, FaultStream &stream) {
    const int bytes = 1 + static_cast<int>(stream.below(8));
    return {bytes < left ? bytes : left, 50 + static_cast<int>(stream.below(451))};
}

Wire apply_fault(FaultKind kind, char *message, int length, std::size_t name_length,
                 FaultStream &stream) {
    Wire w;
    w.bytes = length;
    switch (kind) {
    case FaultKind::drop:
        w.bytes = 0;
        w.detail = "not written";
        break;
    case FaultKind::cut:
        w.bytes = cut_length(length, stream);
        w.reset = true;
        w.detail = "wrote " + std::to_string(w.bytes) + " of " + std::to_string(length) +
                   " bytes, then reset the connection";
        break;
    case FaultKind::garble:
        w.detail = garble_message(message, length, name_length, stream);
        break;
    case FaultKind::duplicate:
        w.copies = 2;
        w.detail = "written twice";
        break;
    case FaultKind::slow:
        w.slow = true;
        w.detail = "in pieces of 1 to 8 bytes, 50 to 500 ms apart";
        break;
    default:
        break;
    }
    return w;
}

const char FAULT_LOG_HEADER[] = "time,station,tick,kind,detail\r\n";

std::vector<Option> fault_options(FaultOptions &o, const std::string &seed_help) {
    return {
        {"--faults", "SPEC",
         "field faults per message, e.g. drop=0.01,cut=0.01,garble=0.01,\n"
         "duplicate=0.01,silence=0.01:30,slow=0.01 (at most one a message)",
         [&o](const std::string &v) {
             FaultRatesReading r = parse_faults(v);
             o.rates = r.rates;
             o.list = v;
             return r.error.empty() ? std::string() : "--faults: " + r.error;
         }},
        number("--fault-seed", "N", seed_help, {"a number from 0 to 4294967295", 0, 4294967295LL},
               [&o](long long n) { o.seed = static_cast<unsigned>(n); }),
        file_name("--fault-log", "write a CSV row for every injected fault to FILE", &o.log),
    };
}

bool FaultLogFile::open(const std::string &path) {
    if (path.empty())
        return true;
    path_ = path;
    file_.reset(std::fopen(path.c_str(), "wb"));
    return file_ && std::fputs(FAULT_LOG_HEADER, file_.get()) >= 0 && std::fflush(file_.get()) == 0;
}

std::string fault_log_row(long long utc_ms, const std::string &station, std::uint32_t tick,
                          const char *kind, const std::string &detail) {
    return iso8601_utc(utc_ms) + "," + csv_field(station) + "," + std::to_string(tick) + "," +
           kind + "," + csv_field(detail) + "\r\n";
}

void FaultLogFile::write(const std::string &station, std::uint32_t tick, const char *kind,
                         const std::string &detail) {
    const std::lock_guard<std::mutex> hold(mutex_);
    if (!file_ || failed_)
        return;
    const std::string row = fault_log_row(utc_ms_now(), station, tick, kind, detail);
    if (std::fwrite(row.data(), 1, row.size(), file_.get()) == row.size() &&
        std::fflush(file_.get()) == 0)
        return;
    failed_ = true;
    std::fprintf(stderr, "%s: cannot write the fault log %s (%s): its later rows are missing\n",
                 program_, path_.c_str(), std::strerror(errno));
}

std::string silence_detail(const FaultRates &rates) {
    return "quiet for " + std::to_string(rates.silence_s) + " s";
}

} // namespace vandry

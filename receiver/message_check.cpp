#include "receiver/message_check.h"

#include <algorithm>

namespace vandry::receiver {

namespace {

// One numeric field of a record: "%<width>.<precision>f", or the sequence number when
// precision is negative.
struct Field {
    const char *name;
    int width;
    int precision;
};

constexpr Field SHORT_FIELDS[] = {{"distance", 4, 3}, {"level", 4, 3}, {"d1", 2, 1},
                                  {"volume", 5, 1},   {"temp1", 3, 1}, {"temp2", 3, 1},
                                  {"sequence", 0, -1}};
constexpr Field LONG_FIELDS[] = {{"distance", 4, 3}, {"level", 4, 3}, {"d1", 2, 1},
                                 {"volume", 5, 1},   {"temp1", 3, 1}, {"temp2", 3, 1},
                                 {"vin", 4, 1},      {"rssi", 4, 1},  {"sequence", 0, -1}};
constexpr std::size_t SHORT_COUNT = sizeof SHORT_FIELDS / sizeof SHORT_FIELDS[0];
constexpr std::size_t LONG_COUNT = sizeof LONG_FIELDS / sizeof LONG_FIELDS[0];

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string quoted(std::string_view text) {
    return "'" + escape(text) + "'";
}

std::string num(std::size_t n) {
    return std::to_string(n);
}

std::size_t count_digits(std::string_view s, std::size_t from) {
    std::size_t i = from;
    while (i < s.size() && is_digit(s[i]))
        ++i;
    return i - from;
}

} // namespace

Pieces split_commas(std::string_view s) {
    Pieces p;
    p.text.reserve(24);
    p.start.reserve(24);
    std::size_t from = 0;
    for (;;) {
        const std::size_t comma = s.find(',', from);
        p.text.push_back(s.substr(from, comma == std::string_view::npos ? std::string_view::npos
                                                                        : comma - from));
        p.start.push_back(from);
        if (comma == std::string_view::npos)
            return p;
        from = comma + 1;
    }
}

namespace {

// "field N (name) 'token' ", the start of every complaint about a field.
std::string field_where(std::string_view token, const Field &field, std::size_t position) {
    return "field " + num(position) + " (" + field.name + ") " + quoted(token) + " ";
}

std::string sequence_error(std::string_view token, const Field &field, std::size_t position) {
    if (token.empty() || count_digits(token, 0) != token.size())
        return field_where(token, field, position) + "is not a sequence number";
    if (token.size() > 1 && token[0] == '0')
        return field_where(token, field, position) + "has a leading zero";
    if (token.size() > 2 || std::stoi(std::string(token)) > 15)
        return field_where(token, field, position) + "is out of the range 0-15";
    return {};
}

// Empty when token is exactly what the field's conversion prints for some value. The words of
// a complaint are made only when there is one: most fields are right.
std::string field_error(std::string_view token, const Field &field, std::size_t position) {
    if (field.precision < 0)
        return sequence_error(token, field, position);
    std::size_t blanks = 0;
    while (blanks < token.size() && token[blanks] == ' ')
        ++blanks;
    const std::string_view core = token.substr(blanks);
    std::size_t i = !core.empty() && core[0] == '-' ? 1 : 0;
    const std::size_t whole_start = i;
    const std::size_t whole_digits = count_digits(core, i);
    i += whole_digits;
    bool point = false;
    std::size_t decimals = 0;
    if (i < core.size() && core[i] == '.') {
        point = true;
        decimals = count_digits(core, i + 1);
        i += 1 + decimals;
    }
    const auto width = static_cast<std::size_t>(field.width);
    const std::size_t fill = width > core.size() ? width - core.size() : 0;
    const bool number = whole_digits != 0 && i == core.size() && point && decimals != 0;
    if (number && decimals == static_cast<std::size_t>(field.precision) &&
        !(whole_digits > 1 && core[whole_start] == '0') && blanks == fill)
        return {};
    const std::string where = field_where(token, field, position);
    const std::string conversion =
        "%" + std::to_string(field.width) + "." + std::to_string(field.precision) + "f";
    if (!number)
        return where + "is not a number as " + conversion + " prints it";
    if (decimals != static_cast<std::size_t>(field.precision))
        return where + "has " + num(decimals) + " decimals, " + conversion + " prints " +
               std::to_string(field.precision);
    if (whole_digits > 1 && core[whole_start] == '0')
        return where + "has a leading zero";
    return where + "is filled wrongly: " + conversion + " prints " +
           quoted(std::string(fill, ' ') + std::string(core));
}

// How far the last fields of pieces fit a layout, checked from the end; the first field
// (pieces.text[0]) is always left to the station name.
struct Fit {
    std::size_t matched = 0; // fields that fit, counted from the end
    bool whole = false;      // every field fits
    std::string error;       // the first misfit found from the end
};

Fit fit_fields(const Pieces &pieces, const Field *fields, std::size_t count) {
    Fit fit;
    const std::size_t n = pieces.text.size();
    for (std::size_t k = 0; k < count; ++k) {
        if (k + 1 >= n) {
            fit.error = "too few fields";
            return fit;
        }
        const std::size_t f = count - 1 - k;
        fit.error = field_error(pieces.text[n - 1 - k], fields[f], f + 1);
        if (!fit.error.empty())
            return fit;
        ++fit.matched;
    }
    fit.whole = true;
    return fit;
}

std::string name_error(std::string_view name) {
    if (name.empty())
        return "empty station name";
    if (name.size() > static_cast<std::size_t>(MAX_NAME_LENGTH))
        return "station name of " + num(name.size()) + " bytes, at most 30";
    for (const char c : name)
        if (is_space(c))
            return "whitespace in the station name " + quoted(name);
    return {};
}

int sequence_of(const Pieces &pieces) {
    return std::stoi(std::string(pieces.text.back()));
}

// The numbers before the sequence number (the last count pieces but one), without fill blanks.
void take_values(const Pieces &pieces, std::size_t count, Verdict &v) {
    const std::size_t n = pieces.text.size();
    for (std::size_t k = n - count; k + 1 < n; ++k) {
        const std::string_view value = pieces.text[k];
        v.values.emplace_back(value.substr(std::min(value.find_first_not_of(' '), value.size())));
    }
}

std::string field_count(std::size_t after_name) {
    return num(after_name) +
           " fields after the first comma, a short record has 7 and a long record 9";
}

// Short or long record; line is the message without its LF.
std::string check_plain(std::string_view line, Verdict &v) {
    const bool blank = !line.empty() && line.back() == ' ';
    const std::string_view body = blank ? line.substr(0, line.size() - 1) : line;
    const Pieces pieces = split_commas(body);
    const std::size_t n = pieces.text.size();
    if (n < 2)
        return "no comma: not a station name and a record";

    const Fit long_fit = fit_fields(pieces, LONG_FIELDS, LONG_COUNT);
    const Fit short_fit = fit_fields(pieces, SHORT_FIELDS, SHORT_COUNT);
    if (long_fit.whole || short_fit.whole) {
        const bool is_long = long_fit.whole;
        const std::size_t count = is_long ? LONG_COUNT : SHORT_COUNT;
        const std::string_view name = body.substr(0, pieces.start[n - count] - 1);
        std::string error = name_error(name);
        if (!error.empty())
            return error;
        if (!blank)
            return std::string(is_long ? "long" : "short") +
                   " record: missing blank before the line feed";
        v.layout = is_long ? Layout::long_record : Layout::short_record;
        v.station = std::string(name);
        v.sequence = sequence_of(pieces);
        take_values(pieces, count, v);
        v.text_length = body.size();
        return {};
    }
    const std::size_t after_name = n - 1;
    if (after_name < SHORT_COUNT || after_name == SHORT_COUNT + 1)
        return "wrong field count: " + field_count(after_name);
    if (after_name == SHORT_COUNT)
        return "short record: " + short_fit.error;
    if (after_name == LONG_COUNT)
        return "long record: " + long_fit.error;
    // More fields: the name may hold commas. Name the layout that fits further.
    const bool as_long = long_fit.matched >= short_fit.matched;
    return std::string(as_long ? "long record: " + long_fit.error
                               : "short record: " + short_fit.error) +
           " (or wrong field count: " + field_count(after_name) + ")";
}

bool is_upper_hex(char c) {
    return is_digit(c) || (c >= 'A' && c <= 'F');
}

int hex_value(char c) {
    return is_digit(c) ? c - '0' : c - 'A' + 10;
}

// digits, '.', decimals and nothing else.
bool is_fixed(std::string_view s, std::size_t digits, std::size_t decimals) {
    return s.size() == digits + 1 + decimals && count_digits(s, 0) == digits && s[digits] == '.' &&
           count_digits(s, digits + 1) == decimals;
}

// Collects faults, joined by "; ".
struct Faults {
    std::string text;
    void add(const std::string &fault) { text += (text.empty() ? "" : "; ") + fault; }
};

bool is_gll_time(std::string_view time) {
    return count_digits(time, 0) == 6 &&
           (time.size() == 6 ||
            (time[6] == '.' && time.size() > 7 && count_digits(time, 7) == time.size() - 7));
}

void check_longitude(std::string_view lon, Faults &faults) {
    if (is_fixed(lon, 5, 4))
        return;
    if (!lon.empty() && lon[0] == ' ' && is_fixed(lon.substr(1), 4, 4))
        faults.add("longitude " + quoted(lon) + " is blank-filled, dddmm.mmmm is zero-filled: " +
                   quoted("0" + std::string(lon.substr(1))));
    else
        faults.add("longitude " + quoted(lon) + " is not dddmm.mmmm");
}

// The eight fields of a GLL sentence before its '*'.
void check_gll_fields(const Pieces &f, Faults &faults) {
    if (f.text.size() != 8) {
        faults.add("GLL sentence of " + num(f.text.size()) +
                   " fields, $GPGLL,lat,N,lon,E,time,status,mode has 8");
        return;
    }
    if (f.text[0] != "$GPGLL")
        faults.add("sentence start " + quoted(f.text[0]) + " is not $GPGLL");
    if (!is_fixed(f.text[1], 4, 4))
        faults.add("latitude " + quoted(f.text[1]) + " is not ddmm.mmmm");
    if (f.text[2] != "N" && f.text[2] != "S")
        faults.add("latitude hemisphere " + quoted(f.text[2]) + " is not N or S");
    check_longitude(f.text[3], faults);
    if (f.text[4] != "E" && f.text[4] != "W")
        faults.add("longitude hemisphere " + quoted(f.text[4]) + " is not E or W");
    if (!is_gll_time(f.text[5]))
        faults.add("time " + quoted(f.text[5]) + " is not hhmmss.sss");
    if (f.text[6] != "A" && f.text[6] != "V")
        faults.add("status " + quoted(f.text[6]) + " is not A or V");
    if (f.text[7].size() != 1 ||
        std::string_view("ADEMNS").find(f.text[7][0]) == std::string_view::npos)
        faults.add("mode indicator " + quoted(f.text[7]) + " is not one of A D E M N S");
}

// The two hex digits after the '*' at star, against the exclusive-or of what lies between.
void check_checksum(std::string_view sentence, std::size_t star, Faults &faults) {
    const std::string_view found = sentence.substr(star + 1);
    if (found.size() != 2 || !is_upper_hex(found[0]) || !is_upper_hex(found[1])) {
        faults.add("checksum " + quoted(found) + " is not two upper-case hex digits");
        return;
    }
    unsigned sum = 0;
    for (const char c : sentence.substr(1, star - 1))
        sum ^= static_cast<unsigned char>(c);
    if (static_cast<unsigned>(hex_value(found[0]) * 16 + hex_value(found[1])) != sum) {
        static constexpr char UPPER_HEX[] = "0123456789ABCDEF";
        const char expected[] = {UPPER_HEX[(sum >> 4) & 0xf], UPPER_HEX[sum & 0xf]};
        faults.add("bad checksum: expected " + std::string(expected, sizeof expected) + ", found " +
                   std::string(found));
    }
}

// The GLL sentence from '$' to the end of the line; every fault found, joined by "; ".
std::string check_sentence(std::string_view sentence) {
    const std::size_t star = sentence.find('*');
    if (star == std::string_view::npos)
        return "GLL sentence without '*' and checksum";
    Faults faults;
    check_gll_fields(split_commas(sentence.substr(0, star)), faults);
    check_checksum(sentence, star, faults);
    return faults.text;
}

// GPS record; line is the message without its LF, dollar the offset of its "$GPGLL".
std::string check_gps(std::string_view line, std::size_t dollar, Verdict &v) {
    if (line.back() == ' ')
        return "GPS record: blank before the line feed";
    if (dollar == 0 || line[dollar - 1] != ',')
        return "GPS record: no comma before the GLL sentence";
    const std::string_view head = line.substr(0, dollar - 1);
    const Pieces pieces = split_commas(head);
    const std::size_t after_name = pieces.text.size() - 1;
    if (after_name < LONG_COUNT)
        return "GPS record: wrong field count: " + num(after_name) +
               " fields between the first comma and the GLL sentence, 9 wanted";
    const Fit fit = fit_fields(pieces, LONG_FIELDS, LONG_COUNT);
    if (!fit.whole)
        return "GPS record: " + fit.error +
               (after_name > LONG_COUNT
                    ? " (or wrong field count: " + num(after_name) +
                          " fields between the first comma and the GLL sentence, 9 wanted)"
                    : std::string());
    const std::string_view name = head.substr(0, pieces.start[pieces.text.size() - LONG_COUNT] - 1);
    std::string error = name_error(name);
    if (!error.empty())
        return error;
    error = check_sentence(line.substr(dollar));
    if (!error.empty())
        return "GPS record: " + error;
    v.layout = Layout::gps_record;
    v.station = std::string(name);
    v.sequence = sequence_of(pieces);
    take_values(pieces, LONG_COUNT, v);
    const Pieces sentence = split_commas(line.substr(dollar));
    v.values.emplace_back(sentence.text[1]); // latitude
    v.values.emplace_back(sentence.text[3]); // longitude
    v.text_length = line.size();
    return {};
}

std::string check(std::string_view m, Mode mode, Verdict &v) {
    if (m.empty())
        return "empty message";
    if (const std::size_t zero = m.find('\0'); zero != std::string_view::npos)
        return "zero byte at offset " + num(zero);
    const bool crlf = m.size() >= 2 && m.substr(m.size() - 2) == "\r\n";
    if (mode == Mode::keep_open) {
        if (!crlf)
            return m.back() == '\n' ? "missing CR LF at the end of a keep-open message"
                                    : "missing CR LF at the end of a keep-open message, and the "
                                      "record has no line feed (cut short?)";
        m.remove_suffix(2);
    } else if (crlf) {
        return "CR LF at the end of a close-after-send message";
    }
    const std::size_t lf = m.find('\n');
    if (lf == std::string_view::npos)
        return mode == Mode::keep_open ? "no line feed before the CR LF"
                                       : "no line feed at the end of the record (cut short?)";
    if (lf + 1 != m.size())
        return num(m.size() - lf - 1) + " trailing bytes after the record's line feed" +
               (mode == Mode::keep_open ? " (a CR LF missing between two messages?)" : "");
    if (const std::size_t cr = m.find('\r'); cr != std::string_view::npos)
        return "stray CR at offset " + num(cr);
    const std::string_view line = m.substr(0, lf);
    const std::size_t dollar = line.rfind("$GPGLL");
    return dollar == std::string_view::npos ? check_plain(line, v) : check_gps(line, dollar, v);
}

} // namespace

Verdict check_message(std::string_view message, Mode mode) {
    Verdict v;
    v.mode = mode;
    v.error = check(message, mode, v);
    v.ok = v.error.empty();
    if (!v.ok) {
        v.layout = Layout::short_record;
        v.station.clear();
        v.sequence = -1;
        v.text_length = 0;
        v.values.clear();
    }
    return v;
}

std::string escape(std::string_view bytes) {
    static constexpr char HEX[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size());
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\\':
            out += "\\\\";
            break;
        default:
            if (c < 0x20 || c > 0x7e) {
                out += "\\x";
                out += HEX[c >> 4];
                out += HEX[c & 0xf];
            } else {
                out += ch;
            }
        }
    }
    return out;
}

} // namespace vandry::receiver

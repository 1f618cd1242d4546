#include "vandry.h"

#include "platform.h"
#include "simulation.h"

#include <climits>
#include <cstring>
#include <fstream>
#include <istream>
#include <iterator>
#include <sstream>

namespace {

// The whitespace of formatted input in the C locale, whatever the process locale.
bool is_blank(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A zero byte cannot be part of a C text: between tokens and inside them it separates tokens
// as whitespace does, so a stored token is always whole and an accepted name never empty.
bool is_separator(int c) {
    return is_blank(c) || c == '\0';
}

bool is_digit(int c) {
    return c >= '0' && c <= '9';
}

// Skips whitespace and zero bytes; false when the input ends first.
bool skip_blanks(std::istream &in) {
    for (;;) {
        const int c = in.peek();
        if (c == std::char_traits<char>::eof())
            return false;
        if (!is_separator(c))
            return true;
        in.get();
    }
}

// Reads one text token into buf (LARGE_SIZE bytes), keeping what fits. Returns the token's
// whole length, or -1 when the input ends before the token begins.
long long read_token(std::istream &in, char *buf) {
    if (!skip_blanks(in))
        return -1;
    long long length = 0;
    for (int c = in.peek(); c != std::char_traits<char>::eof() && !is_separator(c); c = in.peek()) {
        if (length < LARGE_SIZE - 1)
            buf[length] = static_cast<char>(c);
        ++length;
        in.get();
    }
    buf[length < LARGE_SIZE - 1 ? length : LARGE_SIZE - 1] = '\0';
    return length;
}

// Adds a digit to a magnitude that saturates just past the int range.
long long accumulate(long long magnitude, int digit) {
    const long long limit = static_cast<long long>(INT_MAX) + 1;
    magnitude = magnitude * 10 + digit;
    return magnitude > limit ? limit : magnitude;
}

int clamp_to_int(bool negative, long long magnitude) {
    const long long value = negative ? -magnitude : magnitude;
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

// Reads a decimal integer as "%d" does: an optional sign and digits, stopping before the first
// character that cannot continue it. Returns false only when the input ends before the number
// begins; a token that is no number leaves value unchanged. Out-of-range numbers saturate.
bool read_int(std::istream &in, int *value) {
    if (!skip_blanks(in))
        return false;
    bool negative = false;
    int c = in.peek();
    if (c == '+' || c == '-') {
        negative = c == '-';
        in.get();
        c = in.peek();
    }
    if (!is_digit(c))
        return true;
    long long magnitude = 0;
    for (; is_digit(c); c = in.peek()) {
        magnitude = accumulate(magnitude, c - '0');
        in.get();
    }
    *value = clamp_to_int(negative, magnitude);
    return true;
}

// The leading decimal number of a text, as atoi gives it (0 when there is none), saturated.
int leading_int(const char *text) {
    while (is_blank(*text))
        ++text;
    const bool negative = *text == '-';
    if (*text == '+' || *text == '-')
        ++text;
    long long magnitude = 0;
    for (; is_digit(*text); ++text)
        magnitude = accumulate(magnitude, *text - '0');
    return clamp_to_int(negative, magnitude);
}

// Appends a code point (at most U+10FFFF) as UTF-8.
void append_utf8(std::string *text, unsigned long code) {
    if (code < 0x80) {
        *text += static_cast<char>(code);
        return;
    }
    const int tail = code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
    static const unsigned char lead[] = {0, 0xC0, 0xE0, 0xF0};
    *text += static_cast<char>(lead[tail] | (code >> (6 * tail)));
    for (int shift = 6 * (tail - 1); shift >= 0; shift -= 6)
        *text += static_cast<char>(0x80 | ((code >> shift) & 0x3F));
}

// UTF-16 text (after its byte-order mark) as UTF-8. A surrogate without its partner becomes
// U+FFFD; an odd last byte is dropped.
std::string utf8_of_utf16(const std::string &bytes, size_t from, bool big_endian) {
    const auto unit = [&](size_t at) {
        const auto first = static_cast<unsigned char>(bytes[at]);
        const auto second = static_cast<unsigned char>(bytes[at + 1]);
        return big_endian ? (first << 8) | second : (second << 8) | first;
    };
    std::string text;
    for (size_t at = from; at + 1 < bytes.size(); at += 2) {
        unsigned long code = static_cast<unsigned long>(unit(at));
        if (code >= 0xD800 && code < 0xDC00 && at + 3 < bytes.size()) {
            const auto low = static_cast<unsigned long>(unit(at + 2));
            if (low >= 0xDC00 && low < 0xE000) {
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                at += 2;
            }
        }
        append_utf8(&text, code >= 0xD800 && code < 0xE000 ? 0xFFFD : code);
    }
    return text;
}

bool may_begin_with_bom(int first_byte) {
    return first_byte == 0xEF || first_byte == 0xFF || first_byte == 0xFE;
}

} // namespace

const char *parse_cfg(std::istream &in, char *name, char *ipaddr, char *port, int *data_type,
                      int *smst) {
    *data_type = 0;
    *smst = 0;
    const long long name_length = read_token(in, name);
    if (name_length < 0)
        return "no name in cfg file\n";
    const long long ipaddr_length = read_token(in, ipaddr);
    if (ipaddr_length < 0)
        return "no ip address in cfg file\n";
    const long long port_length = read_token(in, port);
    if (port_length < 0)
        return "no port number in cfg file\n";
    if (!read_int(in, data_type))
        return "no client type in cfg file\n";
    if (!read_int(in, smst))
        return "no smst in cfg file\n";

    // Checks come only after all five reads, in this order; the first failure decides.
    if (name_length > MAX_NAME_LENGTH)
        return "name too long in cfg file\n";
    if (ipaddr_length > LARGE_SIZE - 1)
        return "ip address too long in cfg file\n";
    const int port_number = leading_int(port);
    if (port_length > LARGE_SIZE - 1 || port_number < 1024 || port_number > 65000)
        return "port not legal (1024...65000) in cfg file\n";
    if (!is_data_type(*data_type))
        return "data_type must be 10/11/20/21/30/31 in cfg file\n";
    return nullptr;
}

bool parse_decimal(const std::string &text, long long low, long long high, long long *out) {
    if (text.empty() || text.size() > 18 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const long long value = std::stoll(text);
    if (value < low || value > high)
        return false;
    *out = value;
    return true;
}

bool is_data_type(int code) {
    return code == 10 || code == 11 || code == 20 || code == 21 || code == 30 || code == 31;
}

std::string cfg_text_of(const std::string &bytes) {
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
        return bytes.substr(3);
    if (bytes.compare(0, 2, "\xFF\xFE") == 0)
        return utf8_of_utf16(bytes, 2, false);
    if (bytes.compare(0, 2, "\xFE\xFF") == 0)
        return utf8_of_utf16(bytes, 2, true);
    return bytes;
}

const char *read_cfg(std::istream &file, char *name, char *ipaddr, char *port, int *data_type,
                     int *smst) {
    // Only a file that may begin with a byte-order mark is read whole; others are streamed.
    if (!may_begin_with_bom(file.peek()))
        return parse_cfg(file, name, ipaddr, port, data_type, smst);
    std::istringstream text(cfg_text_of(std::string(std::istreambuf_iterator<char>(file), {})));
    return parse_cfg(text, name, ipaddr, port, data_type, smst);
}

std::string cfg_echo(const char *name, const char *ipaddr, const char *port, int data_type,
                     int smst) {
    std::string line = "cfg: name=";
    line += name;
    line += " ip=";
    line += ipaddr;
    line += " port=";
    line += port;
    line += " data_type=" + std::to_string(data_type) + " smst=" + std::to_string(smst) + " \n";
    return line;
}

int smst_to_ms(int seconds) {
    const long long ms = static_cast<long long>(seconds) * 1000;
    if (ms > INT_MAX)
        return INT_MAX;
    return ms < 3000 ? 3000 : static_cast<int>(ms);
}

std::string cfg_path() {
    std::string dir = working_directory();
    if (dir.empty())
        dir = ".";
    return dir + DIR_SEPARATOR + "cfg.txt";
}

void halt(const char *message) {
    report("%s", message);
    for (;;)
        pause_ms(10000);
}

const char NO_CFG_FILE[] = "====NO cfg.txt FILE here\n";

const char *load_cfg(const std::string &path, char *ipaddr, char *port, char *name, int *data_type,
                     int *smst) {
    std::ifstream file(path);
    if (!file.is_open())
        return NO_CFG_FILE;
    // A file that may begin with a byte-order mark is read again as plain bytes: Windows' text
    // mode would take bytes of UTF-16 characters for line ends or the end of the file.
    if (may_begin_with_bom(file.peek())) {
        file.close();
        file.open(path, std::ios::binary);
    }
    // Closed on return, before any halt, so the halted unit holds no lock on the file.
    return read_cfg(file, name, ipaddr, port, data_type, smst);
}

void read_vector_cfg(char *ipaddr, char *port, char *name, int *data_type, int *smst,
                     const std::string &path) {
    const char *error;
    while ((error = load_cfg(path, ipaddr, port, name, data_type, smst)) == NO_CFG_FILE) {
        report("%s", NO_CFG_FILE);
        pause_ms(5000);
    }
    if (error != nullptr)
        halt(error);
    report("%s", cfg_echo(name, ipaddr, port, *data_type, *smst).c_str());
    *smst = smst_to_ms(*smst);
}

bool read_cfg_once(const std::string &path, FILE *console, char *ipaddr, char *port, char *name,
                   int *data_type, int *smst) {
    if (const char *error = load_cfg(path, ipaddr, port, name, data_type, smst)) {
        report_to(console, "%s", error);
        return false;
    }
    report_to(console, "%s", cfg_echo(name, ipaddr, port, *data_type, *smst).c_str());
    *smst = smst_to_ms(*smst);
    return true;
}

namespace {

constexpr char UNIT_USAGE[] =
    "usage: vandry [--config FILE] [--seed N] [--count N] [--dry-run] [--verbose]\n"
    "              [--help] [--version]\n"
    "Stands in for a telemetry unit on a liquid tank: sends one record per interval to the\n"
    "server that cfg.txt in the working directory names (station name, server address, port,\n"
    "data type code, interval in seconds), and echoes each message it sends.\n"
    "  --config FILE  read FILE instead of cfg.txt\n"
    "  --seed N       seed the random stream with N (0 to 4294967295) instead of the clock:\n"
    "                 the same seed, configuration and build send the same bytes\n"
    "  --count N      end with status 0 once N messages have been sent\n"
    "  --dry-run      no network and no pauses: standard output carries exactly the bytes\n"
    "                 that would be sent, message after message; the other lines go to\n"
    "                 standard error\n"
    "  --verbose      also print the seed, so that the run can be repeated\n"
    "With --count or --dry-run, a missing or bad configuration ends the run with status 2.\n";

parsed_unit_options unit_exit(int status, const std::string &text) {
    parsed_unit_options parsed;
    parsed.exit_status = status;
    parsed.text = status == 0 ? text : "vandry: " + text + "\n" + UNIT_USAGE;
    return parsed;
}

} // namespace

parsed_unit_options parse_unit_options(const std::vector<std::string> &args) {
    parsed_unit_options parsed;
    unit_options &options = parsed.options;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        // "--name=value" and "--name value" alike.
        std::optional<std::string> value;
        if (const size_t equals = arg.find('=');
            arg.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = arg.substr(equals + 1);
            arg.resize(equals);
        }
        const bool takes_value = arg == "--config" || arg == "--seed" || arg == "--count";
        if (value && !takes_value)
            return unit_exit(2, arg + " takes no value");
        if (takes_value && !value) {
            if (i + 1 == args.size())
                return unit_exit(2, arg + " needs a value");
            value = args[++i];
        }
        long long number = 0;
        if (arg == "-h" || arg == "--help")
            return unit_exit(0, UNIT_USAGE);
        if (arg == "--version")
            return unit_exit(0, std::string(UNIT_VERSION) + "\n");
        if (arg == "--config") {
            if (value->empty())
                return unit_exit(2, "--config needs a file name");
            options.config = *value;
        } else if (arg == "--seed") {
            if (!parse_decimal(*value, 0, 4294967295LL, &number))
                return unit_exit(2, "--seed wants a number from 0 to 4294967295, not \"" + *value +
                                        "\"");
            options.seed = static_cast<unsigned>(number);
        } else if (arg == "--count") {
            if (!parse_decimal(*value, 1, 999999999999999999LL, &number))
                return unit_exit(2, "--count wants a number of messages of at least 1, not \"" +
                                        *value + "\"");
            options.count = number;
        } else if (arg == "--dry-run") {
            options.dry_run = true;
        } else if (arg == "--verbose") {
            options.verbose = true;
        } else {
            return unit_exit(
                2, (arg.size() > 1 && arg[0] == '-' ? "unknown option " : "unexpected argument ") +
                       arg);
        }
    }
    return parsed;
}

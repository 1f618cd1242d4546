#include "core/config.h"

#include "core/console.h"
#include "core/message.h"
#include "platform/platform.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <filesystem>
#include <fstream>
#include <istream>
#include <iterator>
#include <sstream>
#include <system_error>
#include <thread>

namespace vandry {

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

// Reads one text token, keeping at most MAX_TOKEN_LENGTH bytes of it. Returns the token's whole
// length, or -1 when the input ends before the token begins.
long long read_token(std::istream &in, std::string *token) {
    token->clear();
    if (!skip_blanks(in))
        return -1;
    long long length = 0;
    for (int c = in.peek(); c != std::char_traits<char>::eof() && !is_separator(c); c = in.peek()) {
        if (length < MAX_TOKEN_LENGTH)
            *token += static_cast<char>(c);
        ++length;
        in.get();
    }
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
// begins; a token that is no number leaves value unchanged.
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
int leading_int(const std::string &text) {
    size_t at = 0;
    while (at < text.size() && is_blank(text[at]))
        ++at;
    const bool negative = at < text.size() && text[at] == '-';
    if (at < text.size() && (text[at] == '+' || text[at] == '-'))
        ++at;
    long long magnitude = 0;
    for (; at < text.size() && is_digit(text[at]); ++at)
        magnitude = accumulate(magnitude, text[at] - '0');
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
        auto code = static_cast<unsigned long>(unit(at));
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

// The checks that follow the five reads, in their order; the first that fails decides.
const char *refusal(const Config &c, long long name_length, long long address_length,
                    long long port_length) {
    if (name_length > MAX_NAME_LENGTH)
        return "name too long in cfg file\n";
    if (address_length > MAX_TOKEN_LENGTH)
        return "ip address too long in cfg file\n";
    const int port_number = leading_int(c.port);
    if (port_length > MAX_TOKEN_LENGTH || port_number < 1024 || port_number > 65000)
        return "port not legal (1024...65000) in cfg file\n";
    if (!is_data_type(c.data_type))
        return "data_type must be 10/11/20/21/30/31 in cfg file\n";
    return "";
}

} // namespace

ConfigReading parse_config(std::istream &in) {
    ConfigReading r;
    Config &c = r.config;
    const long long name_length = read_token(in, &c.name);
    if (name_length < 0) {
        r.error = "no name in cfg file\n";
        return r;
    }
    const long long address_length = read_token(in, &c.address);
    const long long port_length = address_length < 0 ? -1 : read_token(in, &c.port);
    if (address_length < 0)
        r.error = "no ip address in cfg file\n";
    else if (port_length < 0)
        r.error = "no port number in cfg file\n";
    else if (!read_int(in, &c.data_type))
        r.error = "no client type in cfg file\n";
    else if (!read_int(in, &c.interval_s))
        r.error = "no smst in cfg file\n";
    else
        r.error = refusal(c, name_length, address_length, port_length);
    return r;
}

std::string config_text_of(const std::string &bytes) {
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
        return bytes.substr(3);
    if (bytes.compare(0, 2, "\xFF\xFE") == 0)
        return utf8_of_utf16(bytes, 2, false);
    if (bytes.compare(0, 2, "\xFE\xFF") == 0)
        return utf8_of_utf16(bytes, 2, true);
    return bytes;
}

ConfigReading read_config(std::istream &file) {
    // Only a file that may begin with a byte-order mark is read whole; others are streamed.
    if (!may_begin_with_bom(file.peek()))
        return parse_config(file);
    std::istringstream text(config_text_of(std::string(std::istreambuf_iterator<char>(file), {})));
    return parse_config(text);
}

const char NO_CONFIG_FILE[] = "====NO cfg.txt FILE here\n";

namespace {

// Why the file cannot be read, or empty when it can be opened.
std::string unreadable_file(const std::string &path, bool named, std::ifstream &file) {
    const std::string name = named ? path : "cfg.txt";
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(path, ec);
    if (status.type() == std::filesystem::file_type::not_found)
        return named ? "====NO " + path + " FILE here\n" : std::string(NO_CONFIG_FILE);
    if (status.type() == std::filesystem::file_type::directory)
        return name + " is a directory, not a file\n";
    errno = 0;
    file.open(path);
    if (file.is_open())
        return std::string();
    const int error = errno;
    return name + " cannot be read" +
           (error != 0 ? ": " + std::generic_category().message(error) : std::string()) + "\n";
}

} // namespace

ConfigReading load_config(const std::string &path, bool named) {
    std::ifstream file;
    if (std::string unreadable = unreadable_file(path, named, file); !unreadable.empty()) {
        ConfigReading r;
        r.error = std::move(unreadable);
        r.unreadable = true;
        return r;
    }
    // A file that may begin with a byte-order mark is read again as plain bytes: Windows' text
    // mode would take bytes of UTF-16 characters for line ends or the end of the file.
    if (may_begin_with_bom(file.peek())) {
        file.close();
        file.open(path, std::ios::binary);
    }
    // Closed on return, before any halt, so the halted unit holds no lock on the file.
    return read_config(file);
}

std::string config_echo(const Config &c) {
    return "cfg: name=" + c.name + " ip=" + c.address + " port=" + c.port +
           " data_type=" + std::to_string(c.data_type) + " smst=" + std::to_string(c.interval_s) +
           " \n";
}

int interval_ms(int seconds) {
    const long long ms = static_cast<long long>(seconds) * 1000;
    if (ms > INT_MAX)
        return INT_MAX;
    return ms < 3000 ? 3000 : static_cast<int>(ms);
}

std::string default_config_path() {
    std::string dir = platform::working_directory();
    if (dir.empty())
        dir = ".";
    return dir + platform::DIR_SEPARATOR + "cfg.txt";
}

void halt(const std::string &message) {
    report("%s", message.c_str());
    for (;;)
        std::this_thread::sleep_for(std::chrono::seconds(10));
}

Config wait_for_config(const std::string &path, bool named) {
    ConfigReading r;
    while ((r = load_config(path, named)).unreadable) {
        report("%s", r.error.c_str());
        std::this_thread::sleep_for(std::chrono::seconds(5));
    }
    if (!r.error.empty())
        halt(r.error);
    report("%s", config_echo(r.config).c_str());
    return r.config;
}

std::optional<Config> read_config_once(const std::string &path, bool named, FILE *console) {
    const ConfigReading r = load_config(path, named);
    if (!r.error.empty()) {
        report_to(console, "%s", r.error.c_str());
        return std::nullopt;
    }
    report_to(console, "%s", config_echo(r.config).c_str());
    return r.config;
}

} // namespace vandry

// libFuzzer target over the configuration reader: any bytes as the contents of cfg.txt (the
// model reads the text that the byte-order mark, if any, makes of them).
// Checks that read_config keeps at most MAX_TOKEN_LENGTH bytes of a token, returns only known
// messages, agrees with a small independent model of the reading rules, and that an accepted
// configuration holds only values the program can run with.
#include "core/config.h"
#include "core/message.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>

using namespace vandry;

namespace {

const char *const KNOWN_MESSAGES[] = {
    "no name in cfg file\n",
    "no ip address in cfg file\n",
    "no port number in cfg file\n",
    "no client type in cfg file\n",
    "no smst in cfg file\n",
    "name too long in cfg file\n",
    "ip address too long in cfg file\n",
    "port not legal (1024...65000) in cfg file\n",
    "data_type must be 10/11/20/21/30/31 in cfg file\n",
};

[[noreturn]] void fail(const char *what, const std::string &input) {
    std::fprintf(stderr, "fuzz_cfg: %s\ninput (%zu bytes): \"", what, input.size());
    for (const unsigned char c : input) {
        if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\')
            std::fputc(c, stderr);
        else
            std::fprintf(stderr, "\\x%02x", c);
    }
    std::fprintf(stderr, "\"\n");
    std::abort();
}

bool is_space(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A zero byte cannot be part of a C text, so it separates tokens as whitespace does: a stored
// token is then always the whole token, and an accepted name is never empty.
bool is_separator(unsigned char c) {
    return is_space(c) || c == '\0';
}

bool is_digit(unsigned char c) {
    return c >= '0' && c <= '9';
}

// The reading rules written out again, independently of the code under test: "%s" and "%d"
// reads over a string, numbers saturating at the int bounds, zero bytes as separators.
struct model {
    explicit model(const std::string &text) : in(text) {}

    const std::string &in;
    size_t pos = 0;

    bool skip_space() {
        while (pos < in.size() && is_separator(static_cast<unsigned char>(in[pos])))
            ++pos;
        return pos < in.size();
    }

    bool token(std::string *out) {
        if (!skip_space())
            return false;
        const size_t begin = pos;
        while (pos < in.size() && !is_separator(static_cast<unsigned char>(in[pos])))
            ++pos;
        *out = in.substr(begin, pos - begin);
        return true;
    }

    static int saturate(bool negative, const std::string &digits) {
        // Leading zeros do not count towards the size of the number.
        const size_t first = digits.find_first_not_of('0');
        const std::string significant = first == std::string::npos ? "" : digits.substr(first);
        if (significant.size() > 12)
            return negative ? INT_MIN : INT_MAX;
        long long v = significant.empty() ? 0 : std::stoll(significant);
        if (negative)
            v = -v;
        if (v > INT_MAX)
            return INT_MAX;
        if (v < INT_MIN)
            return INT_MIN;
        return static_cast<int>(v);
    }

    bool number(int *value) {
        if (!skip_space())
            return false;
        bool negative = false;
        if (in[pos] == '+' || in[pos] == '-') {
            negative = in[pos] == '-';
            ++pos;
        }
        const size_t begin = pos;
        while (pos < in.size() && is_digit(static_cast<unsigned char>(in[pos])))
            ++pos;
        if (pos > begin)
            *value = saturate(negative, in.substr(begin, pos - begin));
        return true;
    }

    static int leading_number(const std::string &text) {
        size_t i = 0;
        bool negative = false;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
            negative = text[i] == '-';
            ++i;
        }
        size_t end = i;
        while (end < text.size() && is_digit(static_cast<unsigned char>(text[end])))
            ++end;
        return saturate(negative, text.substr(i, end - i));
    }

    std::string name, ipaddr, port;
    int data_type = 0;
    int smst = 0;
    int tokens_read = 0;

    const char *run() {
        if (!token(&name))
            return KNOWN_MESSAGES[0];
        ++tokens_read;
        if (!token(&ipaddr))
            return KNOWN_MESSAGES[1];
        ++tokens_read;
        if (!token(&port))
            return KNOWN_MESSAGES[2];
        ++tokens_read;
        if (!number(&data_type))
            return KNOWN_MESSAGES[3];
        if (!number(&smst))
            return KNOWN_MESSAGES[4];
        if (name.size() > MAX_NAME_LENGTH)
            return KNOWN_MESSAGES[5];
        if (ipaddr.size() > MAX_TOKEN_LENGTH)
            return KNOWN_MESSAGES[6];
        const int p = leading_number(port);
        if (port.size() > MAX_TOKEN_LENGTH || p < 1024 || p > 65000)
            return KNOWN_MESSAGES[7];
        if (data_type != 10 && data_type != 11 && data_type != 20 && data_type != 21 &&
            data_type != 30 && data_type != 31)
            return KNOWN_MESSAGES[8];
        return nullptr;
    }
};

// The stored text: the token cut to MAX_TOKEN_LENGTH bytes.
void check_stored(const char *what, const std::string &stored, const std::string &token,
                  const std::string &input) {
    if (stored != token.substr(0, MAX_TOKEN_LENGTH))
        fail(what, input);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string input(reinterpret_cast<const char *>(data), size);
    std::istringstream in(input);
    const ConfigReading r = read_config(in);
    const Config &c = r.config;
    const char *error = r.error.empty() ? nullptr : r.error.c_str();

    const std::string text = config_text_of(input);
    model m(text);
    const char *expected = m.run();

    if (error != nullptr) {
        bool known = false;
        for (const char *message : KNOWN_MESSAGES)
            known = known || std::strcmp(error, message) == 0;
        if (!known)
            fail("unknown failure message", input);
    }
    if ((error == nullptr) != (expected == nullptr) ||
        (error != nullptr && std::strcmp(error, expected) != 0))
        fail("result differs from the model of the reading rules", input);

    // What was read is kept whatever the outcome.
    if (m.tokens_read >= 1)
        check_stored("name differs from token 1", c.name, m.name, input);
    if (m.tokens_read >= 2)
        check_stored("address differs from token 2", c.address, m.ipaddr, input);
    if (m.tokens_read >= 3)
        check_stored("port differs from token 3", c.port, m.port, input);
    if (c.data_type != m.data_type)
        fail("data_type differs from the model", input);
    if (c.interval_s != m.smst)
        fail("send interval differs from the model", input);

    if (error != nullptr)
        return 0;

    // An accepted configuration.
    if (c.name.empty() || c.name.size() > MAX_NAME_LENGTH)
        fail("accepted name length outside 1..30", input);
    for (const char ch : c.name)
        if (is_separator(static_cast<unsigned char>(ch)))
            fail("accepted name holds whitespace", input);
    if (c.address.empty() || c.port.empty())
        fail("accepted empty address or port", input);
    const int port_number = model::leading_number(c.port);
    if (port_number < 1024 || port_number > 65000)
        fail("accepted port number outside 1024..65000", input);
    if (!is_data_type(c.data_type))
        fail("accepted data_type outside the six codes", input);

    const int ms = interval_ms(c.interval_s);
    const long long exact = static_cast<long long>(c.interval_s) * 1000;
    const long long want = exact < 3000 ? 3000 : (exact > INT_MAX ? INT_MAX : exact);
    if (ms < 3000 || ms != want)
        fail("send interval in milliseconds wrong", input);

    const std::string want_echo = "cfg: name=" + c.name + " ip=" + c.address + " port=" + c.port +
                                  " data_type=" + std::to_string(c.data_type) +
                                  " smst=" + std::to_string(c.interval_s) + " \n";
    if (config_echo(c) != want_echo)
        fail("echo line wrong", input);
    return 0;
}

// The configuration reader over in-memory files: messages, order of checks, layouts, limits.
#include "core/config.h"

#include <gtest/gtest.h>

#include <climits>
#include <sstream>
#include <string>
#include <vector>

using namespace vandry;

namespace {

const char NO_NAME[] = "no name in cfg file\n";
const char NO_IP[] = "no ip address in cfg file\n";
const char NO_PORT[] = "no port number in cfg file\n";
const char NO_TYPE[] = "no client type in cfg file\n";
const char NO_SMST[] = "no smst in cfg file\n";
const char NAME_LONG[] = "name too long in cfg file\n";
const char IP_LONG[] = "ip address too long in cfg file\n";
const char BAD_PORT[] = "port not legal (1024...65000) in cfg file\n";
const char BAD_TYPE[] = "data_type must be 10/11/20/21/30/31 in cfg file\n";

struct Parsed {
    std::string error, name, ipaddr, port;
    int data_type, smst;
};

// The file's bytes as the unit reads them.
Parsed parse(const std::string &text) {
    std::istringstream in(text);
    const ConfigReading r = read_config(in);
    const Config &c = r.config;
    return {r.error.empty() ? "accepted" : r.error,
            c.name,
            c.address,
            c.port,
            c.data_type,
            c.interval_s};
}

// A good file with some of its five tokens replaced.
std::string cfg(std::string name = "st", std::string ip = "127.0.0.1", std::string port = "5000",
                std::string type = "10", std::string smst = "3") {
    return name + " " + ip + " " + port + " " + type + " " + smst + "\n";
}

TEST(Config, ReadsAllFiveTokensThenChecksThemInOrder) {
    const std::string n31(31, 'n'), ip1000(1000, 'h'), port1000 = "5000" + std::string(996, 'x');
    // All five reads come before any check; then name, address, port and type, in that order.
    const struct {
        const char *error;
        std::vector<std::string> files;
    } groups[] = {
        {NO_NAME, {"", " \t\r\n\n  \v\f"}},
        {NO_IP, {"st"}},
        {NO_PORT, {"st 127.0.0.1\n"}},
        {NO_TYPE, {"st 127.0.0.1 5000\n"}},
        {NO_SMST, {"st 127.0.0.1 5000 10\n\n \n", n31 + " h 1 12"}},
        {NAME_LONG,
         {cfg(n31), cfg(std::string(999, 'n')), cfg(std::string(5000, 'n')),
          cfg(n31, ip1000, "1", "12")}},
        {IP_LONG, {cfg("st", ip1000), cfg("st", ip1000, "1", "12")}},
        {BAD_PORT,
         {cfg("st", "h", "1023"), cfg("st", "h", "65001"), cfg("st", "h", "0"),
          cfg("st", "h", "http"), cfg("st", "h", "-5000"), cfg("st", "h", port1000),
          cfg("st", "h", "1", "12"), cfg("st", "h", "99999999999999999999"),
          cfg("st", "h", "-99999999999999999999"), cfg("st", "h", "4294972296"),
          cfg("st", "h", "18446744073709556616")}}, // 2^32 + 5000, 2^64 + 5000
        {BAD_TYPE,
         {cfg("st", "h", "5000", "12"), cfg("st", "h", "5000", "40"), cfg("st", "h", "5000", "0"),
          cfg("st", "h", "5000", "-10"), cfg("st", "h", "5000", "x10"),
          cfg("st", "h", "5000", "99999999999999"), cfg("st", "h", "5000", "4294967306"),
          cfg("st", "h", "5000", "18446744073709551626")}}, // 2^32 + 10, 2^64 + 10
        {"accepted",
         {cfg(std::string(30, 'n')), cfg("a,b;c=d"), cfg("st", std::string(999, 'h')),
          cfg("st", "h", "1024"), cfg("st", "h", "65000"), cfg("st", "h", "+5000"),
          cfg("st", "h", "5000abc"), cfg("st", "h", port1000.substr(0, 999)),
          cfg("st", "h", "00000000000000000001024"), cfg("st", "h", "5000", "11"),
          cfg("st", "h", "5000", "20"), cfg("st", "h", "5000", "21"), cfg("st", "h", "5000", "30"),
          cfg("st", "h", "5000", "31")}},
    };
    for (const auto &g : groups)
        for (const std::string &file : g.files)
            EXPECT_EQ(parse(file).error, g.error) << file.substr(0, 60);
}

// The text as UTF-16 with its byte-order mark.
std::string utf16(const std::u16string &text, bool big_endian) {
    std::string bytes = big_endian ? "\xFE\xFF" : "\xFF\xFE";
    for (const char16_t unit : text) {
        const char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xFF);
        bytes += big_endian ? std::string{high, low} : std::string{low, high};
    }
    return bytes;
}

TEST(Config, LayoutsReadTheSame) {
    const std::string layouts[] = {"st 127.0.0.1 5000 10 3",
                                   "\xEF\xBB\xBFst 127.0.0.1 5000 10 3\r\n",
                                   utf16(u"st 127.0.0.1 5000 10 3\r\n", false),
                                   utf16(u"st\r\n127.0.0.1 5000 10 3", true),
                                   "st\n127.0.0.1\n5000\n10\n3\n",
                                   "st\r\n127.0.0.1\r\n5000\r\n10\r\n3\r\n",
                                   "st 127.0.0.1 5000 10 3x",
                                   "\t st \t\t127.0.0.1      \n\n\n 5000\t10 \v\f  3  \n\n",
                                   "st 127.0.0.1 5000 10 3 trailing tokens 99 are never read\n"};
    for (const std::string &layout : layouts) {
        const Parsed p = parse(layout);
        EXPECT_EQ(p.error + p.name + "|" + p.ipaddr + "|" + p.port, "acceptedst|127.0.0.1|5000")
            << layout;
        EXPECT_EQ(p.data_type, 10) << layout;
        EXPECT_EQ(p.smst, 3) << layout;
    }
    // Non-ASCII text of a UTF-16 file comes as UTF-8 (U+00E4, U+011A, U+20AC, U+1F600), a lone
    // surrogate as U+FFFD; bytes that only look like a byte-order mark later on stay as they are.
    const struct {
        std::string file, name;
    } names[] = {
        {utf16(u"T\u00E4nk h 5000 10 3", false), "T\xC3\xA4nk"},
        {utf16(u"\u011A\u20AC\U0001F600\xD800 h 5000 10 3", false),
         "\xC4\x9A\xE2\x82\xAC\xF0\x9F\x98\x80\xEF\xBF\xBD"},
        {utf16(u"\u011A h 5000 10 3", true), "\xC4\x9A"},
        {"\xEF\xBB\xBF\xEF\xBB\xBFst h 5000 10 3", "\xEF\xBB\xBFst"},
        {"\xEF\xBBst h 5000 10 3", "\xEF\xBBst"},
        {"st\xFF\xFE h 5000 10 3", "st\xFF\xFE"},
    };
    for (const auto &n : names) {
        const Parsed p = parse(n.file);
        EXPECT_EQ(p.error, "accepted") << n.name;
        EXPECT_EQ(p.name, n.name);
        EXPECT_EQ(p.ipaddr + "|" + p.port, "h|5000") << n.name;
    }

    const Parsed p = parse(cfg(std::string(30, 'n'), std::string(999, 'h'), "5000abc", "31"));
    EXPECT_EQ(p.name, std::string(30, 'n'));
    EXPECT_EQ(p.ipaddr, std::string(999, 'h'));
    EXPECT_EQ(p.port, "5000abc");
}

TEST(Config, NonNumericTypeReadsAsZero) {
    // The send interval read then meets the rest of the same token.
    const Parsed p = parse(cfg("st", "h", "5000", "abc", "7"));
    EXPECT_EQ(p.error, BAD_TYPE);
    EXPECT_EQ(p.data_type, 0);
    EXPECT_EQ(p.smst, 0);
    const Parsed q = parse(cfg("st", "h", "5000", "10.5", "7"));
    EXPECT_EQ(q.error, "accepted");
    EXPECT_EQ(q.data_type, 10);
    EXPECT_EQ(q.smst, 0);
}

TEST(Config, SendIntervalSaturatesAndIsNeverShorterThanThreeSeconds) {
    const struct {
        const char *token;
        int seconds, ms;
    } cases[] = {
        // clang-format off
        {"0", 0, 3000}, {"1", 1, 3000}, {"2", 2, 3000}, {"-5", -5, 3000}, {"3", 3, 3000},
        {"4", 4, 4000}, {"+7", 7, 7000}, {"010", 10, 10000}, {"abc", 0, 3000},
        {"2147483", 2147483, 2147483000}, {"2147484", 2147484, INT_MAX},
        {"2147483647", INT_MAX, INT_MAX}, {"4294967299", INT_MAX, INT_MAX},
        {"18446744073709551621", INT_MAX, INT_MAX}, {"99999999999999999999", INT_MAX, INT_MAX},
        {"-2147483648", INT_MIN, 3000}, {"-99999999999999999999", INT_MIN, 3000},
        // clang-format on
    };
    for (const auto &c : cases) {
        const Parsed p = parse(cfg("st", "h", "5000", "10", c.token));
        EXPECT_EQ(p.error, "accepted") << c.token;
        EXPECT_EQ(p.smst, c.seconds) << c.token;
        EXPECT_EQ(interval_ms(p.smst), c.ms) << c.token;
    }
}

TEST(Config, EchoLineShowsEachValueAsRead) {
    EXPECT_EQ(config_echo({"st,1", "127.0.0.1", "5000abc", 30, 2}),
              "cfg: name=st,1 ip=127.0.0.1 port=5000abc data_type=30 smst=2 \n");
    EXPECT_EQ(config_echo({"x", "host.example", "65000", 11, -4}),
              "cfg: name=x ip=host.example port=65000 data_type=11 smst=-4 \n");
}

} // namespace

// Start-up of the real program: waiting for cfg.txt, halting on a bad one, echoing a good one
// and reporting the tank.
#include "harness.h"

#include <gtest/gtest.h>

#include <regex>

using namespace proc;

namespace {

const std::string NO_CFG = "====NO cfg.txt FILE here\n";

std::string cfg_echo(const std::string &name, int port, int data_type, int smst) {
    return "cfg: name=" + name + " ip=127.0.0.1 port=" + std::to_string(port) +
           " data_type=" + std::to_string(data_type) + " smst=" + std::to_string(smst) + " \n";
}

bool matches(const std::string &text, const std::string &pattern) {
    return std::regex_match(text, std::regex(pattern));
}

// The echo line and the tank report at the very start of the output, then anything.
std::string startup_pattern(const std::string &echo) {
    return quote(echo) + TANK_REPORT + R"([\s\S]*)";
}

} // namespace

TEST(Startup, WaitsForCfgTxtAndGoesOnWhenItAppears) {
    Listener listener;
    ScratchDir dir;
    Program prog(dir.path());
    ASSERT_TRUE(prog.wait_for(NO_CFG, 20, 1)) << prog.output();
    const double first = seconds_now();
    ASSERT_TRUE(prog.wait_for(NO_CFG, 20, 2)) << prog.output();
    EXPECT_GE(seconds_now() - first, 5 - SEEN_LATE) << "looked for cfg.txt again too soon";
    EXPECT_TRUE(matches(prog.output(), "(" + quote(NO_CFG) + ")+")) << prog.output();

    dir.write_file("cfg.txt", cfg_text("tank7", "127.0.0.1", listener.port(), 10, 3));
    const std::string echo = cfg_echo("tank7", listener.port(), 10, 3);
    ASSERT_TRUE(prog.wait_for_regex(quote(echo) + TANK_REPORT, 20)) << prog.output();
    EXPECT_TRUE(matches(prog.output(), "(" + quote(NO_CFG) + ")+" + startup_pattern(echo)))
        << prog.output();
}

TEST(Startup, GoodFileIsEchoedAndTheTankReported) {
    Listener listener;
    ScratchDir dir;
    // Any whitespace separates the tokens; whatever follows the fifth is never read.
    dir.write_file("cfg.txt", "  north-3\t127.0.0.1\n\n" + std::to_string(listener.port()) +
                                  "\n  20 \t 4 extra tokens\n");
    Program prog(dir.path());
    const std::string echo = cfg_echo("north-3", listener.port(), 20, 4);
    ASSERT_TRUE(prog.wait_for_regex(quote(echo) + TANK_REPORT, 20)) << prog.output();
    EXPECT_TRUE(matches(prog.output(), startup_pattern(echo))) << prog.output();
}

// As Windows PowerShell 5.1 writes it: UTF-16 with a byte-order mark. U+011A is the bytes 1A 01,
// and 1A ends a file read in Windows' text mode.
TEST(Startup, ReadsAUtf16File) {
    Listener listener;
    ScratchDir dir;
    std::string utf16 = "\xFF\xFE\x1A\x01";
    for (const char c : " 127.0.0.1 " + std::to_string(listener.port()) + " 21 3\r\n")
        utf16 += std::string{c, '\0'};
    dir.write_file("cfg.txt", utf16);
    Program prog(dir.path());
    const std::string echo = cfg_echo("\xC4\x9A", listener.port(), 21, 3);
    ASSERT_TRUE(prog.wait_for_regex(quote(echo) + TANK_REPORT, 20)) << prog.output();
}

TEST(Startup, RunsInADeepWorkingDirectory) {
    if (Target::get().launched())
        GTEST_SKIP() << "a launcher may not start a program in so deep a directory (Wine cannot "
                        "start one whose working directory is longer than MAX_PATH)";
    Listener listener;
    ScratchDir dir(3000);
    ASSERT_GE(dir.path().size(), 3000u);
    dir.write_file("cfg.txt", cfg_text("deep", "127.0.0.1", listener.port(), 11, 3));
    Program prog(dir.path());
    const std::string echo = cfg_echo("deep", listener.port(), 11, 3);
    ASSERT_TRUE(prog.wait_for_regex(quote(echo) + TANK_REPORT, 20)) << prog.output();
    EXPECT_TRUE(matches(prog.output(), startup_pattern(echo))) << prog.output();
    Connection conn;
    EXPECT_TRUE(listener.accept(&conn, 20)) << prog.output();
}

struct BadCfg {
    const char *label;
    const char *content;
    const char *message;
};

class BadFile : public testing::TestWithParam<BadCfg> {};

TEST_P(BadFile, PrintsItsOneMessageAndHalts) {
    ScratchDir dir;
    dir.write_file("cfg.txt", GetParam().content);
    Program prog(dir.path());
    ASSERT_TRUE(prog.wait_for(GetParam().message, 20)) << prog.output();
    prog.idle(7); // longer than any retry pause: nothing more may come
    EXPECT_EQ(prog.output(), GetParam().message);
    EXPECT_TRUE(prog.running()) << prog.status();
}

INSTANTIATE_TEST_SUITE_P(
    Startup, BadFile,
    testing::Values(BadCfg{"Empty", "", "no name in cfg file\n"},
                    BadCfg{"MissingSmst", "st 127.0.0.1 5000 10\n", "no smst in cfg file\n"},
                    BadCfg{"NameTooLong", "abcdefghij0123456789ABCDEFGHIJK 127.0.0.1 5000 10 3\n",
                           "name too long in cfg file\n"},
                    BadCfg{"PortTooLow", "st 127.0.0.1 1023 10 3\n",
                           "port not legal (1024...65000) in cfg file\n"},
                    BadCfg{"PortNotANumber", "st 127.0.0.1 http 10 3",
                           "port not legal (1024...65000) in cfg file\n"},
                    BadCfg{"BadDataType", "st 127.0.0.1 5000 12 3\n",
                           "data_type must be 10/11/20/21/30/31 in cfg file\n"}),
    [](const testing::TestParamInfo<BadCfg> &info) { return info.param.label; });

// A run that must end neither waits for its configuration nor halts on it: its usual line (on
// standard error for a dry run), then exit status 2.
TEST(Startup, ARunThatMustEndExitsWithTwoOnABadConfiguration) {
    ScratchDir dir;
    dir.write_file("bad.cfg", "st 127.0.0.1 5000 12 3\n");
    const std::pair<std::vector<std::string>, std::string> runs[] = {
        {{"--count", "1"}, NO_CFG},
        {{"--count=1", "--config", "bad.cfg"}, "data_type must be 10/11/20/21/30/31 in cfg file\n"},
        {{"--dry-run", "--config", "bad.cfg"}, ""},
        {{"--bogus"}, ""}};
    for (const auto &[args, output] : runs) {
        Program prog(dir.path(), args);
        ASSERT_TRUE(prog.wait_exit(20)) << args[0];
        EXPECT_EQ(prog.status(), "exited with 2") << args[0];
        EXPECT_EQ(prog.output(), output) << args[0];
    }
}

#include "receiver_options.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

using namespace vandry_check;

namespace {

// A command line and what comes of it: an exit status with the first line of its text, or
// (status -1) the options it runs with, as "address port mode [quiet] [csv F] [read F]".
struct Args {
    std::vector<std::string> args;
    int status;
    std::string outcome;
};

void PrintTo(const Args &a, std::ostream *os) {
    for (const std::string &arg : a.args)
        *os << arg << ' ';
}

class ReceiverArguments : public ::testing::TestWithParam<Args> {};

TEST_P(ReceiverArguments, GiveOptionsOrStatus) {
    const Args &a = GetParam();
    const ParsedArguments parsed = parse_receiver_arguments(a.args);
    const ReceiverOptions &o = parsed.options;
    if (a.status < 0) {
        ASSERT_FALSE(parsed.exit_status.has_value()) << parsed.text;
        EXPECT_EQ(o.address + " " + o.port + " " + (o.mode ? mode_name(*o.mode) : "auto") +
                      (o.quiet ? " quiet" : "") + (o.csv.empty() ? "" : " csv " + o.csv) +
                      (o.read ? " read " + *o.read : ""),
                  a.outcome);
    } else {
        EXPECT_EQ(parsed.exit_status, a.status);
        EXPECT_EQ(parsed.text.substr(0, parsed.text.find('\n')), a.outcome);
    }
}

const std::string HELP = "vandry-receiver: prints every message that the telemetry unit sends, "
                         "checked";

INSTANTIATE_TEST_SUITE_P(
    CommandLines, ReceiverArguments,
    ::testing::Values(
        Args{{}, -1, "127.0.0.1 5000 auto"}, Args{{"--help"}, 0, HELP},
        Args{{"-h", "--bad"}, 0, HELP}, Args{{"--version"}, 0, RECEIVER_VERSION},
        Args{{"--mode", "keep-open"}, -1, "127.0.0.1 5000 keep-open"},
        Args{{"--mode=close-after-send", "--quiet", "0.0.0.0", "0"},
             -1,
             "0.0.0.0 0 close-after-send quiet"},
        Args{{"--mode=keep-open", "--mode=auto", "h", "65535"}, -1, "h 65535 auto"},
        Args{{"h", "65536"}, 2, "vandry-receiver: bad port 65536"},
        Args{{"h", "5a"}, 2, "vandry-receiver: bad port 5a"},
        Args{{"--loud"}, 2, "vandry-receiver: unknown option --loud"},
        Args{{"--mode"}, 2, "vandry-receiver: --mode needs a value"},
        Args{{"--mode", "fast"}, 2, "vandry-receiver: unknown mode fast"},
        Args{{"a", "1", "2"}, 2, "vandry-receiver: too many arguments"},
        Args{{"--csv", "r.csv", "--read=-"}, -1, "127.0.0.1 5000 auto csv r.csv read -"},
        Args{{"--csv="}, 2, "vandry-receiver: --csv needs a file name"},
        Args{{"--read", "r.txt", "h"},
             2,
             "vandry-receiver: --read listens nowhere: no address or port"}));

} // namespace

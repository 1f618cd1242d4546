#include "core/file_identity.h"
#include "receiver/receiver_options.h"
#include "tls/tls.h"
#include "unit/unit_options.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

using namespace vandry;
using namespace vandry::receiver;

namespace {

// A command line and what comes of it: an exit status with the first line of its text, or
// (status -1) the options it runs with, as a line of the options set.
struct Args {
    std::vector<std::string> args;
    int status;
    std::string outcome;
};

void PrintTo(const Args &a, std::ostream *os) {
    for (const std::string &arg : a.args)
        *os << arg << ' ';
}

// The receiver: "address port mode [quiet] [csv F] [read F] [threads N [capped]]".
class ReceiverArguments : public ::testing::TestWithParam<Args> {};

TEST_P(ReceiverArguments, GiveOptionsOrStatus) {
    const Args &a = GetParam();
    const Parsed<ReceiverOptions> parsed = parse_receiver_arguments(a.args);
    const ReceiverOptions &o = parsed.options;
    if (a.status < 0) {
        ASSERT_FALSE(parsed.exit_status.has_value()) << parsed.text;
        EXPECT_EQ(o.address + " " + o.port + " " + (o.mode ? mode_name(*o.mode) : "auto") +
                      (o.quiet ? " quiet" : "") + (o.csv.empty() ? "" : " csv " + o.csv) +
                      (o.read ? " read " + *o.read : "") +
                      (o.threads != 1 ? " threads " + std::to_string(o.threads) : "") +
                      (o.threads_capped ? " capped" : ""),
                  a.outcome);
    } else {
        EXPECT_EQ(parsed.exit_status, a.status);
        EXPECT_EQ(parsed.text.substr(0, parsed.text.find('\n')), a.outcome);
    }
}

const std::string HELP = "vandry-receiver: prints every message that the telemetry unit sends, "
                         "checked";

// What a TLS option's error says: in a build without TLS, that it has none.
std::string tls_said(const std::string &reason) {
    return "vandry-receiver: " + (tls::available() ? reason
                                                   : "--tls-cert, --tls-key and --tls-client-ca: "
                                                     "this build speaks no TLS (it was built "
                                                     "without OpenSSL)");
}

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
        Args{{"h", "65536"},
             2,
             "vandry-receiver: bad port 65536: a port is a number from 0 to 65535"},
        Args{{"h", "5a"}, 2, "vandry-receiver: bad port 5a: a port is a number from 0 to 65535"},
        Args{{"h", "-1"}, 2, "vandry-receiver: bad port -1: a port is a number from 0 to 65535"},
        Args{{"", "5600"},
             2,
             "vandry-receiver: an empty address (an unset variable?): give one, such as "
             "127.0.0.1, or 0.0.0.0 for every interface"},
        Args{{"::1"},
             2,
             "vandry-receiver: address ::1 is IPv6: the receiver listens on IPv4, as the units "
             "connect (e.g. 127.0.0.1)"},
        Args{{"--loud"}, 2, "vandry-receiver: unknown option --loud"},
        Args{{"--mode"}, 2, "vandry-receiver: --mode needs a value"},
        Args{{"--mode", "fast"}, 2, "vandry-receiver: unknown mode fast"},
        Args{{"a", "1", "2"}, 2, "vandry-receiver: too many arguments"},
        Args{{"--csv", "r.csv", "--read=-"}, -1, "127.0.0.1 5000 auto csv r.csv read -"},
        Args{{"--csv="}, 2, "vandry-receiver: --csv needs a file name"},
        Args{{"--threads", "2"}, -1, "127.0.0.1 5000 auto threads 2"},
        Args{{"--threads=0"}, -1, "127.0.0.1 5000 auto threads 0"},
        Args{{"--threads", "1"}, -1, "127.0.0.1 5000 auto"},
        Args{{"--threads", "257"}, -1, "127.0.0.1 5000 auto threads 256 capped"},
        Args{{"--threads", "-1"},
             2,
             "vandry-receiver: --threads wants a number of threads, not \"-1\""},
        Args{{"--read", "r.txt", "h"},
             2,
             "vandry-receiver: --read listens nowhere: no address or port"},
        Args{{"--tls-cert", "s.crt"}, 2, tls_said("--tls-cert and --tls-key go together")},
        Args{{"--tls-key=s.key", "--tls-client-ca", "ca.crt"},
             2,
             tls_said("--tls-cert and --tls-key go together")},
        Args{{"--tls-cert", "s.crt", "--tls-key", "s.key", "--read", "r.txt"},
             2,
             tls_said("--read listens nowhere: no TLS")},
        Args{{"--tls-client-ca", "ca.crt"},
             2,
             tls_said("--tls-client-ca goes with --tls-cert and --tls-key")},
        Args{{"--tls-cert="}, 2, "vandry-receiver: --tls-cert needs a file name"}));

// The unit: "config seed count [dry-run] [verbose] [timeout S] [ends]".
class UnitArguments : public ::testing::TestWithParam<Args> {};

TEST_P(UnitArguments, GiveOptionsOrStatus) {
    const Args &a = GetParam();
    const Parsed<UnitOptions> parsed = parse_unit_options(a.args);
    const UnitOptions &o = parsed.options;
    if (a.status < 0) {
        ASSERT_FALSE(parsed.exit_status.has_value()) << parsed.text;
        EXPECT_EQ((o.config.empty() ? "-" : o.config) + " " +
                      (o.seed ? std::to_string(*o.seed) : "clock") + " " + std::to_string(o.count) +
                      (o.dry_run ? " dry-run" : "") + (o.verbose ? " verbose" : "") +
                      (o.timeout_s > 0 ? " timeout " + std::to_string(o.timeout_s) : "") +
                      (ends_on_bad_config(o) ? " ends" : ""),
                  a.outcome);
    } else {
        EXPECT_EQ(parsed.exit_status, a.status);
        EXPECT_EQ(parsed.text.substr(0, parsed.text.find('\n')), a.outcome);
    }
}

const std::string USAGE = "usage: vandry [--config FILE] [--seed N] [--count N] [--dry-run] "
                          "[--verbose]";

INSTANTIATE_TEST_SUITE_P(
    CommandLines, UnitArguments,
    ::testing::Values(
        Args{{}, -1, "- clock 0"}, Args{{"--help"}, 0, USAGE}, Args{{"-h", "--bad"}, 0, USAGE},
        Args{{"--version"}, 0, UNIT_VERSION},
        Args{{"--config", "a b.txt", "--seed=4294967295", "--verbose"},
             -1,
             "a b.txt 4294967295 0 verbose"},
        Args{{"--seed", "0", "--count", "500", "--dry-run"}, -1, "- 0 500 dry-run ends"},
        Args{{"--count=1"}, -1, "- clock 1 ends"},
        Args{{"--timeout", "60"}, -1, "- clock 0 timeout 60 ends"},
        Args{{"--timeout=0"},
             2,
             "vandry: --timeout wants a number of seconds from 1 to 31536000, not \"0\""},
        Args{{"--seed", "4294967296"},
             2,
             "vandry: --seed wants a number from 0 to 4294967295, not \"4294967296\""},
        Args{{"--seed=-1"}, 2, "vandry: --seed wants a number from 0 to 4294967295, not \"-1\""},
        Args{{"--count", "0"},
             2,
             "vandry: --count wants a number of messages of at least 1, not \"0\""},
        Args{{"--count"}, 2, "vandry: --count needs a value"},
        Args{{"--config="}, 2, "vandry: --config needs a file name"},
        Args{{"--dry-run=yes"}, 2, "vandry: --dry-run takes no value"},
        Args{{"--loud"}, 2, "vandry: unknown option --loud"},
        Args{{"cfg.txt"}, 2, "vandry: unexpected argument cfg.txt"}));

// File options that name one file, by path or by identity: an output over anything is refused.
TEST(FileClash, AnOutputIsNoOtherFile) {
    const platform::FileId one{1, 7}, other{1, 8};
    const struct {
        std::vector<FileFacts> facts; // of --read (in), --csv (out), --report (out)
        std::string error;
    } cases[] = {
        {{{"/a", one}, {"/b", other}, {"/c", {}}}, ""},
        {{{"/a", one}, {"/a", {}}, {"/c", {}}},
         "--csv b and --read a are the same file: writing "
         "--csv would destroy the file --read reads"},
        {{{"/a", one}, {"/b", other}, {"/d", one}},
         "--report c and --read a are the same file: writing --report would destroy the file "
         "--read reads"},
        {{{"/a", one}, {"/c", {}}, {"/c", {}}},
         "--csv b and --report c are the same file: writing "
         "--csv would destroy what --report writes"},
    };
    const std::vector<NamedFile> files = {
        {"--read", "a"}, {"--csv", "b", true}, {"--report", "c", true}};
    for (const auto &c : cases)
        EXPECT_EQ(file_clash(files, c.facts), c.error);
    // Two inputs may be one file; an option not given is no file.
    EXPECT_EQ(file_clash({{"--expect", "p"}, {"--fault-log", "p"}, {"--csv", "", true}},
                         {{"/p", one}, {"/p", one}, {"/", one}}),
              "");
}

} // namespace

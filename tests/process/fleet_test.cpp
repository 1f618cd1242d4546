// vandry-fleet against real listeners on 127.0.0.1: every unit's bytes are those of the single
// unit seeded with the unit's seed, and a unit meets failures as the single unit does.
#include "framing.h"
#include "harness.h"
#include "message.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <regex>

using namespace proc;
using namespace vandry;

namespace {

constexpr unsigned SEED = 4294967294u; // unit 2's seed wraps round to 0
constexpr int UNITS = 3, COUNT = 2;

std::vector<std::string> fleet_args(int port, int code, const std::string &more) {
    std::vector<std::string> args = {
        "--units", std::to_string(UNITS), "--server", "127.0.0.1:" + std::to_string(port),
        "--type",  std::to_string(code),  "--seed",   std::to_string(SEED)};
    std::istringstream words(more);
    for (std::string w; words >> w;)
        args.push_back(w);
    return args;
}

// The messages of a unit seeded with seed: for glibc, the single unit's own stream, which draws
// from std::rand; for msvcrt, the generator that reproduces the Windows C runtime.
template <class Rng>
std::vector<std::string> messages_of(unsigned seed, const std::string &name, int code, int count) {
    std::vector<std::string> messages;
    UnitStream<Rng> unit(seed);
    char out[MAX_MESSAGE_LENGTH + 1];
    for (int i = 0; i < count; ++i)
        messages.emplace_back(out, static_cast<size_t>(unit.next(out, name.c_str(), code)));
    return messages;
}

std::vector<std::string> reference_messages(const std::string &rand, unsigned seed,
                                            const std::string &name, int code, int count) {
    return rand == "glibc" ? messages_of<StdRand>(seed, name, code, count)
                           : messages_of<MsvcrtRand>(seed, name, code, count);
}

std::string name_of(const std::string &message) {
    return message.substr(0, message.find(','));
}

double seconds_since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

class EachStream : public testing::TestWithParam<std::tuple<int, const char *>> {};

} // namespace

TEST_P(EachStream, EveryUnitSendsExactlyTheSingleUnitsBytes) {
    const struct {
        int code;
        std::string rand;
    } s{std::get<0>(GetParam()), std::get<1>(GetParam())};
    const bool keep_open = keeps_connection(s.code);
    Listener listener;
    ScratchDir dir;
    Program prog(dir.path(),
                 fleet_args(listener.port(), s.code,
                            "--echo --count " + std::to_string(COUNT) + " --rand " + s.rand),
                 Target::fleet());

    // Every connection is taken in the order it came and read to its end; the fleet ends the
    // run itself once every unit has sent its count.
    std::map<std::string, std::vector<std::string>> received; // by unit name
    const auto started = std::chrono::steady_clock::now();
    int connections = 0;
    while (connections < (keep_open ? UNITS : UNITS * COUNT) && seconds_since(started) < 30) {
        Connection conn;
        if (!listener.accept(&conn, 1))
            continue;
        ++connections;
        ASSERT_TRUE(conn.wait_closed(30)) << prog.output();
        std::vector<std::string> messages;
        if (keep_open) {
            for (const check::Message &m : check::Splitter(Mode::keep_open).feed(conn.data()))
                messages.push_back(m.bytes);
        } else {
            messages.push_back(conn.data());
        }
        ASSERT_FALSE(messages.empty());
        for (const std::string &m : messages)
            received[name_of(m)].push_back(m);
    }
    ASSERT_TRUE(prog.wait_exit(30)) << prog.output();
    EXPECT_EQ(prog.status(), "exited with 0") << prog.output();
    EXPECT_FALSE(listener.pending(0)) << "more connections than messages";

    const std::string out = prog.output();
    EXPECT_TRUE(std::regex_search(
        out, std::regex("fleet summary: duration=\\d+\\.\\ds units=3 connected=\\d sent=6 "
                        "expected=6 send_errors=0 connect_failures=0 late_ms p50=[0-9.]+ "
                        "p99=[0-9.]+ max=[0-9.]+\n$")))
        << out;
    ASSERT_EQ(received.size(), static_cast<size_t>(UNITS)) << out;
    for (int k = 0; k < UNITS; ++k) {
        const std::string name = "U0000" + std::to_string(k);
        const std::vector<std::string> expected =
            reference_messages(s.rand, SEED + static_cast<unsigned>(k), name, s.code, COUNT);
        EXPECT_EQ(received[name], expected) << name;
        for (const std::string &m : expected) {
            const std::string echo =
                "(" + std::to_string(m.size()) + ") " + echo_tag(s.code) + ": " + m;
            EXPECT_EQ(count_of(out, echo), 1u) << echo << out;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Fleet, EachStream,
                         testing::Combine(testing::Values(10, 11, 20, 21, 30, 31),
                                          testing::Values("glibc", "msvcrt")),
                         [](const auto &info) {
                             return std::get<1>(info.param) +
                                    ("Code" + std::to_string(std::get<0>(info.param)));
                         });

TEST(Fleet, ReconnectsAfterTheServerClosesAndTheSequenceRunsOn) {
    Listener listener;
    ScratchDir dir;
    std::vector<std::string> args = fleet_args(listener.port(), 10, "--echo");
    args[1] = "1";
    Program prog(dir.path(), args, Target::fleet());
    {
        Connection first;
        ASSERT_TRUE(listener.accept(&first, 20)) << prog.output();
        ASSERT_TRUE(first.wait_for([](const std::string &d) { return !d.empty(); }, 20));
    } // closed: a later send fails
    ASSERT_TRUE(prog.wait_for_regex(R"(send error:\d+\n)", 20)) << prog.output();
    const auto failed = std::chrono::steady_clock::now();
    Connection second;
    ASSERT_TRUE(listener.accept(&second, 20)) << prog.output();
    EXPECT_GE(seconds_since(failed), 5.0) << "reconnected before the 5 s pause was over";
    ASSERT_TRUE(second.wait_for([](const std::string &d) { return d.size() > 4; }, 20));

    // The message whose send failed is lost, and its sequence number with it.
    const std::string out = prog.output();
    std::smatch error;
    ASSERT_TRUE(std::regex_search(out, error, std::regex(R"(send error:(\d+)\n)"))) << out;
    const std::vector<int> codes = send_lost_codes();
    EXPECT_NE(std::find(codes.begin(), codes.end(), std::stoi(error[1].str())), codes.end());
    const size_t echoed = count_of(error.prefix().str(), "shrt opn: ");
    std::smatch seq;
    ASSERT_TRUE(std::regex_search(second.data(), seq, std::regex(R"(,(\d+) \n\r\n)")));
    EXPECT_EQ(std::stoul(seq[1].str()), (echoed + 1) % 16) << out;
}

TEST(Fleet, WaitsFiveSecondsBetweenRefusedConnectsAndFailsItsCount) {
    Listener listener(false);
    ScratchDir dir;
    std::vector<std::string> args =
        fleet_args(listener.port(), 11, "--echo --count 1 --duration 8");
    args[1] = "1";
    Program prog(dir.path(), args, Target::fleet());
    const std::string refused =
        "connect failed with error: " + std::to_string(refused_code()) + "\n";
    ASSERT_TRUE(prog.wait_for(refused, 10)) << prog.output();
    const auto first = std::chrono::steady_clock::now();
    ASSERT_TRUE(prog.wait_for(refused, 10, 2)) << prog.output();
    EXPECT_GE(seconds_since(first), 5.0);
    ASSERT_TRUE(prog.wait_exit(10)) << prog.output();
    EXPECT_EQ(prog.status(), "exited with 1");
    EXPECT_TRUE(std::regex_search(prog.output(),
                                  std::regex("fleet summary: .* sent=0 expected=1 send_errors=0 "
                                             "connect_failures=2 ")))
        << prog.output();
}

TEST(Fleet, UsageErrorsExitWithTwoAndTheDryRunPrintsThePlan) {
    ScratchDir dir;
    Program bad(dir.path(), {"--units", "3", "--type", "12"}, Target::fleet());
    ASSERT_TRUE(bad.wait_exit(20));
    EXPECT_EQ(bad.status(), "exited with 2");
    Program plan(dir.path(), {"--dry-run", "--units", "2", "--shard", "3", "--seed", "10"},
                 Target::fleet());
    ASSERT_TRUE(plan.wait_exit(20));
    EXPECT_EQ(plan.status(), "exited with 0");
    EXPECT_EQ(plan.output(), "seed 10\nU00006 16\nU00007 17\n");
}

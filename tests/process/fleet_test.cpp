// vandry-fleet against real listeners on 127.0.0.1: every unit's bytes are those of the single
// unit seeded with the unit's seed, and a unit meets failures as the single unit does.
#include "core/message.h"
#include "harness.h"
#include "receiver/framing.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <thread>

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
    Program prog(
        dir.path(),
        fleet_args(listener.port(), s.code,
                   "--echo --report r.json --count " + std::to_string(COUNT) + " --rand " + s.rand),
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
            for (const receiver::Message &m : receiver::Splitter(Mode::keep_open).feed(conn.data()))
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
        out, std::regex("fleet summary: duration=\\d+\\.\\ds units=3 connected=\\d written=6 "
                        "unconfirmed=0 failed=0 expected=6 connect_failures=0 skipped=0 held=0 "
                        "unsent=0 late_ms p50=[0-9.]+ p99=[0-9.]+ max=[0-9.]+\n$")))
        << out;
    ASSERT_EQ(received.size(), static_cast<size_t>(UNITS)) << out;
    EXPECT_EQ(fleet_report_mismatch(dir.path() + "/r.json"), "");
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

// A server that closes after one message: the unit sees the end of the stream, writes nothing
// more into that connection, comes back 5 s later and goes on with the next tick, so that every
// message it wrote has arrived.
TEST(Fleet, ReconnectsAfterTheServerClosesAndLosesNothing) {
    Listener listener;
    ScratchDir dir;
    std::vector<std::string> args = fleet_args(listener.port(), 10, "--echo");
    args[1] = "1";
    Program prog(dir.path(), args, Target::fleet());
    std::string first_data;
    {
        Connection first;
        ASSERT_TRUE(listener.accept(&first, 20)) << prog.output();
        ASSERT_TRUE(first.wait_for([](const std::string &d) { return !d.empty(); }, 20));
        first_data = first.data();
    } // closed: the unit must not write into it again
    ASSERT_TRUE(prog.wait_for("connection ended by the server\n", 20)) << prog.output();
    const auto ended = std::chrono::steady_clock::now();
    Connection second;
    ASSERT_TRUE(listener.accept(&second, 20)) << prog.output();
    EXPECT_GE(seconds_since(ended), 5.0 - SEEN_LATE) << "reconnected before the 5 s pause was over";
    ASSERT_TRUE(second.wait_for([](const std::string &d) { return d.size() > 4; }, 20));
    ASSERT_TRUE(prog.wait_for("shrt opn: ", 20, 2)) << prog.output();

    const std::string out = prog.output();
    EXPECT_EQ(out.find("send error"), std::string::npos) << out;
    EXPECT_EQ(count_of(first_data, "\r\n"), 1u) << first_data;
    std::smatch seq;
    ASSERT_TRUE(std::regex_search(second.data(), seq, std::regex(R"(,(\d+) \n\r\n)")));
    EXPECT_EQ(std::stoul(seq[1].str()), 1u) << "a message was lost: " << out;
}

// A server that resets every connection: nothing that the fleet wrote counts as delivered, the
// first reset is named with its reason, and the run fails.
TEST(Fleet, CountsNothingDeliveredToAServerThatResets) {
    if (Target::fleet().launched())
        GTEST_SKIP() << "Wine's sockets do not always report a reset to a unit that waits";
    Listener listener;
    ScratchDir dir;
    std::vector<std::string> args =
        fleet_args(listener.port(), 11, "--duration 7 --report r.json --fault-log f.csv");
    args[1] = "2";
    Program prog(dir.path(), args, Target::fleet());
    const auto started = std::chrono::steady_clock::now();
    while (prog.running() && seconds_since(started) < 20) {
        Connection conn;
        if (listener.accept(&conn, 0.1))
            conn.reset();
    }
    ASSERT_TRUE(prog.wait_exit(10)) << prog.output();
    EXPECT_EQ(prog.status(), "exited with 1");
    std::smatch m;
    const std::string out = prog.output();
    ASSERT_TRUE(std::regex_search(out, m,
                                  std::regex(R"(written=(\d+) unconfirmed=(\d+) failed=(\d+) )"
                                             R"(expected=\d+ connect_failures=(\d+) )")))
        << out;
    EXPECT_EQ(m[1].str(), m[2].str()) << out;
    EXPECT_EQ(fleet_report_mismatch(dir.path() + "/r.json"), "");
    std::ifstream log(dir.path() + "/f.csv");
    EXPECT_EQ(count_of(std::string(std::istreambuf_iterator<char>(log), {}), ",unconfirmed,"),
              std::stoul(m[2].str()));
    // Written and reset, failed while written, or (Windows' sockets may tell the reset first)
    // failed to connect: tried at every pass, delivered at none.
    EXPECT_GE(std::stoi(m[1].str()) + std::stoi(m[3].str()) + std::stoi(m[4].str()), 2) << out;
    EXPECT_TRUE(std::regex_search(out, std::regex("vandry-fleet: first (connection reset|send "
                                                  "failure|connect failure): [a-z]+ (failed with "
                                                  ")?error:? ?[0-9]+ \\(")))
        << out;
}

// A fleet stopped for longer than two intervals and resumed skips the slots it missed instead
// of catching up: no two messages of a unit less than an interval apart.
TEST(Fleet, SkipsTheSlotsItMissedWhileStopped) {
    Listener listener;
    ScratchDir dir;
    std::vector<std::string> args = fleet_args(listener.port(), 10, "");
    args[1] = "1";
    Program prog(dir.path(), args, Target::fleet());
    Connection conn;
    ASSERT_TRUE(listener.accept(&conn, 20)) << prog.output();
    std::vector<double> arrivals;
    for (size_t n = 1; n <= 4; ++n) {
        ASSERT_TRUE(
            conn.wait_for([n](const std::string &d) { return count_of(d, "\r\n") >= n; }, 30))
            << prog.output();
        arrivals.push_back(seconds_now());
        if (n == 1) {
            kill(prog.pid(), SIGSTOP);
            std::this_thread::sleep_for(std::chrono::seconds(8));
            kill(prog.pid(), SIGCONT);
        }
    }
    for (size_t i = 1; i < arrivals.size(); ++i)
        EXPECT_GE(arrivals[i] - arrivals[i - 1], 3 - SEEN_LATE) << testing::PrintToString(arrivals);
}

// Close-after-send to a server whose handshake takes 200 ms: each message goes out that late in
// its slot, and no slot is skipped for it.
TEST(Fleet, KeepsEverySlotWhenEachHandshakeIsSlow) {
    if (Target::fleet().launched())
        GTEST_SKIP() << "the slow handshake is made by a Linux library loaded into the program";
    Target slow = Target::fleet();
    slow.argv.insert(slow.argv.begin(), {"env", std::string("LD_PRELOAD=") + SLOW_CONNECT,
                                         "ASAN_OPTIONS=verify_asan_link_order=0"});
    Listener listener;
    ScratchDir dir;
    std::vector<std::string> args = fleet_args(listener.port(), 11, "--count 3");
    args[1] = "1";
    Program prog(dir.path(), args, slow);
    std::vector<double> arrivals;
    while (arrivals.size() < 3) {
        Connection conn;
        ASSERT_TRUE(listener.accept(&conn, 20)) << prog.output();
        ASSERT_TRUE(conn.wait_for([](const std::string &d) { return !d.empty(); }, 20));
        arrivals.push_back(seconds_now());
        ASSERT_TRUE(conn.wait_closed(20)) << prog.output();
    }
    ASSERT_TRUE(prog.wait_exit(20)) << prog.output();
    EXPECT_TRUE(std::regex_search(prog.output(), std::regex(" written=3 .* skipped=0 ")))
        << prog.output();
    for (size_t i = 1; i < arrivals.size(); ++i)
        EXPECT_GE(arrivals[i] - arrivals[i - 1], 3 - SEEN_LATE) << testing::PrintToString(arrivals);
}

TEST(Fleet, WaitsFiveSecondsBetweenRefusedConnectsAndFailsItsCount) {
    Listener listener(false);
    ScratchDir dir;
    std::vector<std::string> args =
        fleet_args(listener.port(), 11, "--echo --count 1 --duration 8 --report r.json");
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
                                  std::regex("fleet summary: .* written=0 unconfirmed=0 failed=0 "
                                             "expected=3 connect_failures=2 skipped=3 ")))
        << prog.output();
    EXPECT_EQ(fleet_report_mismatch(dir.path() + "/r.json"), "");
}

// Units that the connect-rate cap holds back lose the slots of the wait, counted as held.
TEST(Fleet, CountsTheSlotsThatTheConnectRateHoldsBack) {
    Listener listener; // the kernel takes the connections and their messages
    ScratchDir dir;
    std::vector<std::string> args =
        fleet_args(listener.port(), 10, "--connect-rate 1 --duration 6 --ramp 0 --report r.json");
    args[1] = "12";
    Program prog(dir.path(), args, Target::fleet());
    ASSERT_TRUE(prog.wait_exit(20)) << prog.output();
    EXPECT_TRUE(std::regex_search(prog.output(), std::regex(" held=[1-9]"))) << prog.output();
    EXPECT_EQ(fleet_report_mismatch(dir.path() + "/r.json"), "");
}

// The same faulted run on one thread and split over two, side by side: every unit keeps its
// seed, faults and slots whichever thread drives it, so the figures that do not depend on timing
// and the fault logs are the same, and each receiver finds nothing that its log leaves
// unexplained.
TEST(Fleet, SplitOverThreadsSendsAndFaultsAsOneThread) {
    if (Target::fleet().launched())
        GTEST_SKIP() << "the receiver and the fleet are tested as built for this machine";
    const std::vector<std::string> run = {
        "--rand",       "glibc",
        "--count",      "5",
        "--faults",     "drop=0.1,cut=0.1,garble=0.1,duplicate=0.1",
        "--fault-seed", "9",
        "--fault-log",  "f.csv",
        "--report",     "r.json"};
    std::vector<std::unique_ptr<ScratchDir>> dirs;
    std::vector<std::unique_ptr<Program>> receivers, fleets;
    for (const std::string threads : {"1", "2"}) {
        dirs.push_back(std::make_unique<ScratchDir>());
        const std::string &dir = dirs.back()->path();
        Program plan(dir, fleet_args(1, 21, "--dry-run --rand glibc"), Target::fleet());
        ASSERT_TRUE(plan.wait_exit(20));
        dirs.back()->write_file("plan.txt", plan.raw_output());
        receivers.push_back(std::make_unique<Program>(
            dir,
            std::vector<std::string>{VANDRY_RECEIVER_EXE, "--quiet", "--expect", "plan.txt",
                                     "--fault-log", "f.csv", "127.0.0.1", "0"},
            Target{}));
        std::vector<std::string> args = fleet_args(listening_port(*receivers.back()), 21, "");
        args.insert(args.end(), run.begin(), run.end());
        args.insert(args.end(), {"--threads", threads});
        fleets.push_back(std::make_unique<Program>(dir, args, Target::fleet()));
    }
    std::vector<nlohmann::json> reports;
    std::vector<std::multiset<std::string>> logs;
    for (std::size_t i = 0; i < fleets.size(); ++i) {
        ASSERT_TRUE(fleets[i]->wait_exit(90)) << fleets[i]->output();
        EXPECT_EQ(fleets[i]->status(), "exited with 0") << fleets[i]->output();
        kill(receivers[i]->pid(), SIGTERM);
        ASSERT_TRUE(receivers[i]->wait_exit(20));
        EXPECT_EQ(receivers[i]->status(), "exited with 0") << receivers[i]->output();
        reports.push_back(json_file(dirs[i]->path() + "/r.json"));
        for (const char *timed : {"seconds", "connected_at_end", "late_ms_p50", "late_ms_p99",
                                  "late_ms_max", "lateness"})
            reports.back().erase(timed);
        std::ifstream log(dirs[i]->path() + "/f.csv");
        logs.emplace_back();
        for (std::string row; std::getline(log, row);) // without the time of each row
            logs.back().insert(row.substr(row.find(',')));
    }
    EXPECT_EQ(reports[0], reports[1]);
    EXPECT_GT(logs[0].size(), 4u);
    EXPECT_EQ(logs[0], logs[1]);
}

// Two shards' reports merged: the figures of both, every unit's station in order, and the
// summary as the fleet prints its own.
TEST(Fleet, MergesTheReportsOfItsShards) {
    Listener listener; // the kernel takes the connections and their messages
    ScratchDir dir;
    std::vector<std::unique_ptr<Program>> shards;
    for (const std::string shard : {"0", "1"})
        shards.push_back(std::make_unique<Program>(
            dir.path(),
            fleet_args(listener.port(), 10, "--count 2 --shard " + shard + " --report " + shard),
            Target::fleet()));
    for (const auto &shard : shards)
        ASSERT_TRUE(shard->wait_exit(30)) << shard->output();
    Program merge(dir.path(), {"--merge", "1", "0", "--report", "m.json"}, Target::fleet());
    ASSERT_TRUE(merge.wait_exit(20));
    EXPECT_EQ(merge.status(), "exited with 0") << merge.output();
    EXPECT_TRUE(std::regex_match(
        merge.output(), std::regex("fleet summary: duration=\\d+\\.\\ds units=6 connected=\\d "
                                   "written=12 unconfirmed=0 failed=0 expected=12 .*\n")))
        << merge.output();
    EXPECT_EQ(fleet_report_mismatch(dir.path() + "/m.json"), "");
    std::ifstream in(dir.path() + "/m.json"), first(dir.path() + "/0"), second(dir.path() + "/1");
    const nlohmann::json m = nlohmann::json::parse(in), a = nlohmann::json::parse(first),
                         b = nlohmann::json::parse(second);
    EXPECT_EQ(m["written"], a["written"].get<int>() + b["written"].get<int>());
    EXPECT_EQ(m["lateness"]["count"],
              a["lateness"]["count"].get<int>() + b["lateness"]["count"].get<int>());
    EXPECT_EQ(m["shards"], 2);
    for (int k = 0; k < 2 * UNITS; ++k)
        EXPECT_EQ(m["stations"][k]["name"], "U0000" + std::to_string(k));
}

TEST(Fleet, UsageErrorsExitWithTwoAndTheDryRunPrintsThePlan) {
    ScratchDir dir;
    Program bad(dir.path(), {"--units", "3", "--type", "12"}, Target::fleet());
    ASSERT_TRUE(bad.wait_exit(20));
    EXPECT_EQ(bad.status(), "exited with 2");
    Program plan(dir.path(),
                 {"--dry-run", "--units", "2", "--shard", "3", "--seed", "10", "--rand", "glibc"},
                 Target::fleet());
    ASSERT_TRUE(plan.wait_exit(20));
    EXPECT_EQ(plan.status(), "exited with 0");
    EXPECT_EQ(plan.output(),
              "vandry-plan type=0 rand=glibc interval=3 seed=10\nU00006 16\nU00007 17\n");
}

// The metrics endpoint answers each request by its own status and closes, while a scraper that
// sends nothing waits for its deadline without holding up the others, and a crowd of them
// gives way to a scraper that asks.
TEST(Fleet, MetricsEndpointAnswersEachRequestAndClosesIt) {
    Listener listener;
    ScratchDir dir;
    Program fleet(dir.path(), fleet_args(listener.port(), 30, "--duration 60 --metrics 0"),
                  Target::fleet(), Console::merged);
    const int port = metrics_port(fleet);
    ASSERT_NE(port, 0) << fleet.output();
    const double idle_since = seconds_now();
    Connection idle(connect_to(port));
    const struct {
        std::string request, answer;
    } rows[] = {
        {"GET /metrics HTTP/1.1\r\nHost: a\r\n\r\n",
         "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"},
        {"GET /metrics?x=1 HTTP/1.0\n\n", "HTTP/1.1 200 OK\r\n"},
        {"GET /x HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found\r\n"},
        {"POST /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
        {"garbage\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
        {"GET /metrics HTTP/1.1\r\nno colon\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
        {"GET /metrics HTTP/1.1\r\nX: " + std::string(1 << 20, 'a') + "\r\n\r\n",
         "HTTP/1.1 431 Request Header Fields Too Large\r\n"},
    };
    for (const auto &row : rows) {
        const std::string answer = http_exchange(port, row.request, 10);
        EXPECT_EQ(answer.substr(0, row.answer.size()), row.answer) << row.request.substr(0, 40);
        EXPECT_EQ(answer.find("vandry_fleet_") != std::string::npos,
                  row.answer.find(" 200 ") != std::string::npos);
    }
    EXPECT_FALSE(idle.wait_closed(0)) << "a scraper that sends nothing held the others up";
    EXPECT_TRUE(idle.wait_closed(10));
    EXPECT_GE(seconds_now() - idle_since, 5 - SEEN_LATE);
    std::vector<std::unique_ptr<Connection>> crowd; // holding connections open, asking nothing
    for (int i = 0; i < 100; ++i)
        crowd.push_back(std::make_unique<Connection>(connect_to(port)));
    EXPECT_EQ(http_exchange(port, "GET /metrics HTTP/1.0\r\n\r\n", 10).substr(0, 15),
              "HTTP/1.1 200 OK")
        << "a crowd of idle clients kept a scraper out";

    for (const std::string &metrics :
         {std::string("--metrics 0 --metrics 0"), "--metrics 127.0.0.1:" + std::to_string(port)}) {
        Program refused(dir.path(), fleet_args(listener.port(), 30, metrics), Target::fleet());
        ASSERT_TRUE(refused.wait_exit(20));
        EXPECT_EQ(refused.status(), "exited with 2") << metrics;
    }
}

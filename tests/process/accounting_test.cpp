// Exact accounting end to end: a fleet through a proxy that breaks messages the way networks do,
// against the receiver with the fleet's plan; and a collector's SQLite store checked against it.
#include "core/message.h"
#include "harness.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <set>
#include <sstream>

using namespace proc;
using Json = nlohmann::json;

namespace {

constexpr unsigned SEED = 20261209;

// Between keep-open units and the receiver: each whole message is forwarded, dropped, garbled
// (one digit of its level), sent twice, or its connection is reset on both sides instead; a
// unit's first message always goes through. What it forwarded is kept, in order.
class FaultProxy {
  public:
    enum class Kind { intact, garbled, twice };
    struct Forwarded {
        std::string message; // as the unit sent it
        Kind kind;
    };

    explicit FaultProxy(int upstream) : upstream_(upstream) {}
    int port() const { return front_.port(); }
    const std::vector<Forwarded> &forwarded() const { return forwarded_; }

    // Serves until the program has ended and its connections are done.
    void serve(Program &fleet, double seconds) {
        const double end = seconds_now() + seconds;
        while (seconds_now() < end && (fleet.running() || !pairs_.empty())) {
            for (Fd down; (down = front_.take(0)).get() >= 0;)
                pairs_.push_back({std::move(down), connect_to(upstream_), ""});
            std::vector<pollfd> fds;
            for (const Pair &p : pairs_)
                fds.push_back({p.down.get(), POLLIN, 0});
            poll(fds.data(), fds.size(), 20);
            for (size_t i = fds.size(); i-- > 0;)
                if (fds[i].revents != 0 && !take(pairs_[i]))
                    pairs_.erase(pairs_.begin() + static_cast<long>(i));
        }
    }

  private:
    struct Pair {
        Fd down, up;
        std::string pending;
    };

    // Reads what the unit sent and passes its whole messages on; false when the pair is done.
    bool take(Pair &p) {
        char buf[4096];
        const ssize_t n = recv(p.down.get(), buf, sizeof buf, 0);
        if (n <= 0)
            return false; // the unit ended it: the receiver sees the end too
        p.pending.append(buf, static_cast<size_t>(n));
        for (size_t end; (end = p.pending.find("\r\n")) != std::string::npos;) {
            const std::string message = p.pending.substr(0, end + 2);
            p.pending.erase(0, end + 2);
            const std::string station = message.substr(0, message.find(','));
            const int roll = seen_.count(station) == 0 ? 99 : static_cast<int>(rng_() % 100);
            seen_.insert(station);
            if (roll < 6) {
                linger abort{1, 0};
                setsockopt(p.down.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
                return false;
            }
            if (roll < 14)
                continue; // dropped
            forward(p, message, roll < 22 ? Kind::garbled : roll < 30 ? Kind::twice : Kind::intact);
        }
        return true;
    }

    void forward(Pair &p, const std::string &message, Kind kind) {
        std::string bytes = message;
        if (kind == Kind::garbled) { // the last digit of the level, the record's second value
            const size_t level = message.find(',', message.find(',') + 1) + 1;
            const size_t digit = message.find(',', level) - 1;
            bytes[digit] = static_cast<char>('0' + (bytes[digit] - '0' + 1) % 10);
        }
        EXPECT_TRUE(send_whole(p.up, kind == Kind::twice ? bytes + bytes : bytes));
        forwarded_.push_back({message, kind});
    }

    int upstream_;
    Listener front_;
    std::vector<Pair> pairs_;
    std::vector<Forwarded> forwarded_;
    std::set<std::string> seen_;
    std::mt19937 rng_{SEED};
};

} // namespace

namespace {

struct Truth {
    long long lost = 0, duplicated = 0, altered = 0;
};

// What the receiver must report, station by station, from what the proxy passed on: every
// message is known by its tick in its unit's own stream.
std::map<std::string, Truth> truth_of(const std::vector<FaultProxy::Forwarded> &forwarded,
                                      int units, unsigned ticks) {
    std::map<std::string, std::pair<std::string, unsigned>> tick_of;
    for (int k = 0; k < units; ++k) {
        char name[16];
        std::snprintf(name, sizeof name, "U%05d", k);
        vandry::UnitStream<vandry::GlibcRand> unit(SEED + static_cast<unsigned>(k));
        char out[vandry::MAX_MESSAGE_LENGTH + 1];
        for (unsigned t = 0; t < ticks; ++t)
            tick_of[std::string(out, static_cast<size_t>(unit.next(out, name, 20)))] = {name, t};
    }
    std::map<std::string, std::set<unsigned>> placed;
    std::map<std::string, Truth> truth;
    for (const FaultProxy::Forwarded &f : forwarded) {
        const auto &[station, tick] = tick_of.at(f.message);
        placed[station].insert(tick);
        truth[station].duplicated += f.kind == FaultProxy::Kind::twice ? 1 : 0;
        truth[station].altered += f.kind == FaultProxy::Kind::garbled ? 1 : 0;
    }
    for (const auto &[station, ticks_placed] : placed)
        truth[station].lost = *ticks_placed.rbegin() - *ticks_placed.begin() + 1 -
                              static_cast<long long>(ticks_placed.size());
    return truth;
}

// A fleet's plan, written by the fleet itself; with a count, it says so.
void write_plan(const ScratchDir &dir, int units, int count = 0, const std::string &type = "20") {
    std::vector<std::string> args = {"--dry-run",
                                     "--units",
                                     std::to_string(units),
                                     "--seed",
                                     std::to_string(SEED),
                                     "--type",
                                     type,
                                     "--rand",
                                     "glibc"};
    if (count > 0)
        args.insert(args.end(), {"--count", std::to_string(count)});
    Program plan(dir.path(), args, Target::fleet());
    ASSERT_TRUE(plan.wait_exit(20));
    dir.write_file("plan.txt", plan.raw_output());
}

} // namespace

// The receiver with the plan reports exactly what a network that resets connections and drops,
// garbles and repeats single messages did: lost, duplicated and altered, station by station.
TEST(Accounting, ReportEqualsWhatAFaultyNetworkPassedOn) {
    if (Target::get().launched())
        GTEST_SKIP() << "the receiver and the fleet are tested as built for this machine";
    constexpr int UNITS = 12;
    constexpr unsigned COUNT = 8;
    ScratchDir dir;
    write_plan(dir, UNITS);
    Program receiver(dir.path(),
                     {VANDRY_RECEIVER_EXE, "--quiet", "--expect", "plan.txt", "--report",
                      "report.json", "127.0.0.1", "0"},
                     Target{});
    const int port = listening_port(receiver);
    ASSERT_NE(port, 0) << receiver.output();
    FaultProxy proxy(port);
    Program fleet(dir.path(),
                  {"--units", std::to_string(UNITS), "--server",
                   "127.0.0.1:" + std::to_string(proxy.port()), "--type", "20", "--seed",
                   std::to_string(SEED), "--rand", "glibc", "--count", std::to_string(COUNT)},
                  Target::fleet());
    proxy.serve(fleet, 150);
    ASSERT_FALSE(fleet.running()) << fleet.output();
    kill(receiver.pid(), SIGTERM);
    ASSERT_TRUE(receiver.wait_exit(20)) << receiver.output();

    const std::map<std::string, Truth> truth = truth_of(proxy.forwarded(), UNITS, COUNT + 40);
    Truth total;
    for (const auto &[station, t] : truth)
        total = {total.lost + t.lost, total.duplicated + t.duplicated, total.altered + t.altered};
    ASSERT_GT(total.lost * total.duplicated * total.altered, 0) << "the proxy broke too little";
    const Json report = json_file(dir.path() + "/report.json");
    ASSERT_FALSE(report.is_discarded()) << receiver.output();
    EXPECT_EQ(report["lost"], total.lost) << receiver.output();
    EXPECT_EQ(report["duplicated"], total.duplicated);
    EXPECT_EQ(report["altered"], total.altered);
    EXPECT_EQ(report["malformed"], 0);
    for (const Json &s : report["stations"]) {
        const Truth t = truth.count(s["name"]) != 0 ? truth.at(s["name"]) : Truth{};
        EXPECT_EQ(s["lost"], t.lost) << s;
        EXPECT_EQ(s["duplicated"], t.duplicated) << s;
        EXPECT_EQ(s["altered"], t.altered) << s;
    }
    EXPECT_EQ(receiver.status(), "exited with 1"); // lost and altered
}

namespace {

// A shell command in the directory; its output.
std::string shell(const ScratchDir &dir, const std::string &command) {
    Program p(dir.path(), {"/bin/sh", "-c", command}, Target{});
    EXPECT_TRUE(p.wait_exit(30)) << command;
    EXPECT_EQ(p.status(), "exited with 0") << command << "\n" << p.output();
    return p.output();
}

// The store exported as PostgreSQL's \copy or sqlite3 -csv -header gives it, checked against
// the plan: the receiver's report and its console.
Json check_store(const ScratchDir &dir, Program **checked, std::unique_ptr<Program> *holder,
                 const std::string &order = "id", const std::vector<std::string> &more = {}) {
    shell(dir, "sqlite3 -csv -header store.db "
               "'select station, message from messages order by " +
                   order + "' > export.csv");
    std::vector<std::string> args = {VANDRY_RECEIVER_EXE, "--quiet",   "--read",   "export.csv",
                                     "--column",          "message",   "--expect", "plan.txt",
                                     "--report",          "check.json"};
    args.insert(args.end(), more.begin(), more.end());
    *holder = std::make_unique<Program>(dir.path(), args, Target{});
    *checked = holder->get();
    EXPECT_TRUE((*checked)->wait_exit(20));
    return json_file(dir.path() + "/check.json");
}

} // namespace

// A collector keeps a fleet's messages in SQLite; its store, exported, is checked against the
// plan: exact, then with 20 rows of one station deleted and one value altered in the database.
TEST(Accounting, ChecksACollectorsSqliteStore) {
    if (std::system("command -v sqlite3 >/dev/null && command -v python3 >/dev/null") != 0 &&
        std::getenv("CI") == nullptr)
        GTEST_SKIP() << "the collector needs sqlite3 and python3";
    constexpr int UNITS = 3, TICKS = 30;
    ScratchDir dir;
    write_plan(dir, UNITS, TICKS);
    // A reader holds the database for a second as the collector starts: the collector waits.
    Program reader(dir.path(),
                   {"/bin/sh", "-c",
                    "(echo 'BEGIN EXCLUSIVE;'; echo \"select 'locked';\"; sleep 1; echo 'COMMIT;') "
                    "| sqlite3 store.db"},
                   Target{});
    ASSERT_TRUE(reader.wait_for("locked\n", 20)) << reader.output();
    Program collector(dir.path(), {"python3", VANDRY_COLLECTOR_SCRIPT, "store.db", "0"}, Target{});
    std::smatch found;
    ASSERT_TRUE(collector.wait_for_regex("collector listening on ([0-9]+)\n", 20))
        << collector.output();
    const std::string head = collector.output();
    ASSERT_TRUE(std::regex_search(head, found, std::regex("on ([0-9]+)\n")));
    // A message with a NUL byte, stored as it came; the rows after it are stored whole.
    ASSERT_TRUE(send_whole(connect_to(std::stoi(found[1])), std::string("X\0\r\n", 4)));
    // The units' messages, exactly as the fleet sends them, one keep-open connection each.
    for (int k = 0; k < UNITS; ++k) {
        const Fd unit = connect_to(std::stoi(found[1]));
        vandry::UnitStream<vandry::GlibcRand> stream(SEED + static_cast<unsigned>(k));
        char out[vandry::MAX_MESSAGE_LENGTH + 1];
        const std::string name = "U0000" + std::to_string(k);
        for (int t = 0; t < TICKS; ++t)
            ASSERT_TRUE(send_whole(
                unit, std::string(out, static_cast<size_t>(stream.next(out, name.c_str(), 20)))));
    }
    const std::string count =
        "sqlite3 store.db '.timeout 2000' 'select count(*) from messages' 2>/dev/null || true";
    for (int i = 0; i < 100 && shell(dir, count) != std::to_string(UNITS * TICKS + 1) + "\n"; ++i)
        usleep(100000);
    kill(collector.pid(), SIGTERM);
    ASSERT_TRUE(collector.wait_exit(10));
    EXPECT_EQ(shell(dir, "sqlite3 store.db \"delete from messages where hex(message) = '5800'; "
                         "select changes()\""),
              "1\n");

    Program *checked = nullptr;
    std::unique_ptr<Program> holder;
    Json report = check_store(dir, &checked, &holder);
    EXPECT_EQ(checked->status(), "exited with 0") << checked->output();
    EXPECT_EQ(report["messages"], UNITS * TICKS) << checked->output();
    EXPECT_EQ(report["lost"], 0);
    EXPECT_EQ(report["altered"], 0);

    // 20 consecutive rows of U00001 gone, and the distance of U00002's tick 5 changed.
    shell(dir, "sqlite3 store.db \"delete from messages where id in (select id from messages "
               "where station = 'U00001' order by id limit 20 offset 3); update messages set "
               "message = substr(message, 1, 7) || case substr(message, 8, 1) when '9' then "
               "'8' else '9' end || substr(message, 9) where id = (select id from messages "
               "where station = 'U00002' order by id limit 1 offset 5)\"");
    report = check_store(dir, &checked, &holder);
    EXPECT_EQ(checked->status(), "exited with 1") << checked->output();
    EXPECT_EQ(report["lost"], 20);
    EXPECT_EQ(report["altered"], 1);
    EXPECT_EQ(report["stations"][1]["lost"], 20);
    EXPECT_EQ(report["stations"][2]["altered"], 1);
    EXPECT_TRUE(std::regex_search(checked->output(),
                                  std::regex("LOST on export.csv: station U00001 ticks 3-22 \\(20 "
                                             "lost\\)\nALTERED on export.csv: station U00002 "
                                             "tick 5: distance expected [0-9.]+, got [0-9.]+\n")))
        << checked->output();

    // Station U00000 gone whole, the rows in random order: a missing station, all its ticks
    // lost, whatever the order; JUnit that a real XML parser reads, failing for it.
    shell(dir, "sqlite3 store.db \"delete from messages where station = 'U00000'\"");
    report = check_store(dir, &checked, &holder, "random()", {"--any-order", "--junit", "j.xml"});
    EXPECT_EQ(checked->status(), "exited with 1") << checked->output();
    EXPECT_EQ(report["missing_stations"], 1);
    EXPECT_EQ(report["lost"], 20 + TICKS);
    EXPECT_EQ(report["findings"][0],
              Json::parse(R"({"station": "U00000", "kind": "missing_station", "first_tick": null,
                 "last_tick": null, "count": 1, "explained_by": null})"));
    EXPECT_NE(checked->output().find("MISSING STATION: U00000"), std::string::npos);
    EXPECT_EQ(shell(dir, "python3 -c \"import xml.etree.ElementTree as E; s = E.parse('j.xml')"
                         ".getroot(); print(s.get('tests'), s.get('failures'), [c.get('name') "
                         "for c in s if c.find('failure') is not None])\""),
              "5 3 ['station U00000', 'station U00001', 'station U00002']\n");
}

// A fleet run for a while (no count) into a collector that lost one station's first message
// and another's last: with the fleet's report, exactly those two are lost.
TEST(Accounting, TheFleetsReportShowsLossesAtAStreamsEnds) {
    if (std::system("command -v sqlite3 >/dev/null && command -v python3 >/dev/null") != 0 &&
        std::getenv("CI") == nullptr)
        GTEST_SKIP() << "the collector needs sqlite3 and python3";
    ScratchDir dir;
    write_plan(dir, 3);
    Program collector(dir.path(), {"python3", VANDRY_COLLECTOR_SCRIPT, "store.db", "0"}, Target{});
    ASSERT_TRUE(collector.wait_for_regex("collector listening on ([0-9]+)\n", 20));
    std::smatch port;
    const std::string head = collector.output();
    ASSERT_TRUE(std::regex_search(head, port, std::regex("on ([0-9]+)\n")));
    Program fleet(dir.path(),
                  {"--units", "3", "--server", "127.0.0.1:" + port[1].str(), "--type", "20",
                   "--seed", std::to_string(SEED), "--rand", "glibc", "--interval", "3", "--ramp",
                   "0", "--duration", "7", "--report", "sent.json"},
                  Target::fleet());
    ASSERT_TRUE(fleet.wait_exit(30)) << fleet.output();
    const Json sent = json_file(dir.path() + "/sent.json");
    ASSERT_EQ(sent["stations"].size(), 3U) << fleet.output();
    const int last = sent["stations"][2]["last_tick"];
    for (int i = 0; i < 100 && shell(dir, "sqlite3 store.db '.timeout 2000' 'select count(*) "
                                          "from messages'") != to_string(sent["written"]) + "\n";
         ++i)
        usleep(100000);
    kill(collector.pid(), SIGTERM);
    ASSERT_TRUE(collector.wait_exit(10));
    shell(dir, "sqlite3 store.db \"delete from messages where id in ((select min(id) from "
               "messages where station = 'U00001'), (select max(id) from messages where station "
               "= 'U00002'))\"");
    Program *checked = nullptr;
    std::unique_ptr<Program> holder;
    const Json report =
        check_store(dir, &checked, &holder, "random()", {"--any-order", "--sent", "sent.json"});
    EXPECT_EQ(checked->status(), "exited with 1");
    EXPECT_EQ(report["findings"],
              Json::parse(R"([{"station": "U00001", "kind": "lost", "first_tick": 0,
                 "last_tick": 0, "count": 1, "explained_by": null}, {"station": "U00002",
                 "kind": "lost", "first_tick": )" +
                          std::to_string(last) + R"(, "last_tick": )" + std::to_string(last) +
                          R"(, "count": 1, "explained_by": null}])"))
        << checked->output();
    EXPECT_NE(checked->output().find("the fleet wrote " + to_string(sent["written"])),
              std::string::npos)
        << checked->output();
}

// A fleet that injects every kind of fault, through the receiver with the plan and the fault
// log: the receiver's lost is the drops and cuts after each station's first message, its
// duplicated the duplicates, its altered the garbles, a cut leaves an incomplete fragment, slow
// messages arrive whole, and nothing is unexplained. The same keep-open run, received on two
// reader threads, gives the same report (close-after-send connections of one station that end
// within a moment of each other may be read by two readers in either order).
TEST(Accounting, ExplainsEveryFaultThatTheUnitsInjected) {
    if (Target::get().launched())
        GTEST_SKIP() << "the receiver and the fleet are tested as built for this machine";
    constexpr int UNITS = 20;
    // Keep-open, and close-after-send, whose duplicate goes on a connection of its own.
    for (const std::string type : {"20", "21"}) {
        SCOPED_TRACE(type);
        ScratchDir dir;
        write_plan(dir, UNITS, 0, type);
        std::vector<std::unique_ptr<Program>> receivers, fleets; // on 1 and on 2 reader threads
        const std::vector<std::string> readers =
            type == "20" ? std::vector<std::string>{"1", "2"} : std::vector<std::string>{"1"};
        for (const std::string &threads : readers) {
            receivers.push_back(std::make_unique<Program>(
                dir.path(),
                std::vector<std::string>{VANDRY_RECEIVER_EXE, "--quiet", "--threads", threads,
                                         "--expect", "plan.txt", "--fault-log",
                                         "faults" + threads + ".csv", "--report",
                                         "report" + threads + ".json", "127.0.0.1", "0"},
                Target{}));
            const int port = listening_port(*receivers.back());
            ASSERT_NE(port, 0) << receivers.back()->output();
            fleets.push_back(std::make_unique<Program>(
                dir.path(),
                std::vector<std::string>{
                    "--units", std::to_string(UNITS), "--server",
                    "127.0.0.1:" + std::to_string(port), "--type", type, "--seed",
                    std::to_string(SEED), "--rand", "glibc", "--count", "6", "--faults",
                    "drop=0.06,cut=0.06,garble=0.06,duplicate=0.06,silence=0.06:3,slow=0.06",
                    "--fault-log", "faults" + threads + ".csv"},
                Target::fleet()));
        }
        std::vector<Json> reports;
        for (size_t n = 0; n < fleets.size(); ++n) {
            Program &fleet = *fleets[n], &receiver = *receivers[n];
            ASSERT_TRUE(fleet.wait_exit(150)) << fleet.output();
            EXPECT_EQ(fleet.status(), "exited with 0") << fleet.output();
            kill(receiver.pid(), SIGTERM);
            ASSERT_TRUE(receiver.wait_exit(20)) << receiver.output();
            EXPECT_EQ(receiver.status(), "exited with 0") << receiver.output();
            reports.push_back(json_file(dir.path() + "/report" + std::to_string(n + 1) + ".json"));
            ASSERT_FALSE(reports.back().is_discarded()) << receiver.output();
            // Findings come in the order of arrival, which differs between runs.
            std::sort(reports.back()["findings"].begin(), reports.back()["findings"].end());
        }
        if (reports.size() == 2) {
            EXPECT_EQ(reports[1], reports[0]);
        }
        const Json &report = reports[0];

        std::map<std::string, std::pair<long long, long long>> ticks; // station: first, last
        for (const Json &s : report["stations"])
            if (s["first_tick"].is_number())
                ticks[s["name"]] = {s["first_tick"], s["last_tick"]};
        std::map<std::string, long long> injected, lost_to; // by kind; drops and cuts in the count
        std::ifstream log(dir.path() + "/faults1.csv");
        std::string row;
        std::getline(log, row);
        while (std::getline(log, row)) {
            std::vector<std::string> f;
            std::istringstream fields(row);
            for (std::string field; f.size() < 4 && std::getline(fields, field, ',');)
                f.push_back(field);
            ++injected[f[3]];
            const auto [first, last] = ticks.at(f[1]);
            const long long tick = std::stoll(f[2]);
            if ((f[3] == "drop" || f[3] == "cut") && tick > first && tick < last)
                ++lost_to[f[3]];
        }
        for (const char *kind : {"drop", "cut", "garble", "duplicate", "silence", "slow"})
            EXPECT_GT(injected[kind], 0) << kind;
        EXPECT_EQ(report["lost"], lost_to["drop"] + lost_to["cut"]) << receivers[0]->output();
        EXPECT_EQ(report["duplicated"], injected["duplicate"]);
        EXPECT_EQ(report["altered"], injected["garble"]);
        EXPECT_EQ(report["incomplete"], injected["cut"]);
        EXPECT_EQ(report["malformed"], 0) << receivers[0]->output(); // slow messages arrive whole
        for (const char *unexplained : {"unexplained_lost", "unexplained_duplicated",
                                        "unexplained_altered", "unexplained_incomplete"})
            EXPECT_EQ(report[unexplained], 0) << unexplained;
    }
}

// The figures that scrapers see at the end of a run are those of the fleet's and the
// receiver's reports.
TEST(Accounting, MetricsAtTheEndEqualTheReports) {
    if (Target::get().launched())
        GTEST_SKIP() << "the receiver and the fleet are tested as built for this machine";
    ScratchDir dir;
    Program receiver(dir.path(),
                     {VANDRY_RECEIVER_EXE, "--quiet", "--report", "rr.json", "--metrics", "0",
                      "--metrics-linger", "3", "127.0.0.1", "0"},
                     Target{}, Console::merged);
    const int receiver_metrics = metrics_port(receiver), port = listening_port(receiver);
    ASSERT_NE(receiver_metrics * port, 0) << receiver.output();
    Program fleet(dir.path(),
                  {"--units", "3", "--server", "127.0.0.1:" + std::to_string(port), "--type", "20",
                   "--count", "3", "--report", "fr.json", "--metrics", "127.0.0.1:0",
                   "--metrics-linger", "3"},
                  Target::fleet(), Console::merged);
    const int fleet_metrics = metrics_port(fleet);
    ASSERT_TRUE(fleet.wait_for("fleet summary:", 60)) << fleet.output();
    const std::string fleet_text = http_exchange(fleet_metrics, "GET /metrics HTTP/1.1\n\n", 10);
    const Json fr = json_file(dir.path() + "/fr.json");
    double connect_failures = 0;
    for (const char *reason : {"resolve", "socket", "bind", "connect"})
        connect_failures +=
            series_value(fleet_text, "vandry_fleet_connect_failures_total{reason=\"" +
                                         std::string(reason) + "\"}");
    EXPECT_EQ(connect_failures, fr["connect_failures"].get<double>());
    for (const auto &[series, key] :
         std::map<std::string, std::string>{{"units", "units"},
                                            {"connected_units", "connected_at_end"},
                                            {"messages_written_total", "written"},
                                            {"messages_unconfirmed_total", "unconfirmed"},
                                            {"messages_failed_total", "failed"},
                                            {"connects_total", "connects"},
                                            {"skipped_slots_total", "skipped"},
                                            {"held_slots_total", "held"},
                                            {"unsent_slots_total", "unsent"}})
        EXPECT_EQ(series_value(fleet_text, "vandry_fleet_" + series), fr[key].get<double>())
            << series;

    kill(receiver.pid(), SIGTERM);
    // From its closing line on, a scrape waits for the final figures.
    ASSERT_TRUE(receiver.wait_for("vandry-receiver stopped:", 10)) << receiver.output();
    const std::string receiver_text =
        http_exchange(receiver_metrics, "GET /metrics HTTP/1.1\n\n", 10);
    const Json rr = json_file(dir.path() + "/rr.json");
    for (const auto &[series, key] :
         std::map<std::string, std::string>{{"connections_accepted_total", "connections"},
                                            {"messages_total", "messages"},
                                            {"malformed_total", "malformed"},
                                            {"restarts_total", "restarts"},
                                            {"lost_messages", "lost"},
                                            {"duplicated_messages", "duplicated"},
                                            {"altered_messages", "altered"},
                                            {"incomplete_messages", "incomplete"},
                                            {"unknown_stations", "unknown_stations"},
                                            {"missing_stations", "missing_stations"}})
        EXPECT_EQ(series_value(receiver_text, "vandry_receiver_" + series), rr[key].get<double>())
            << series;
    EXPECT_EQ(rr["messages"], 9);
}

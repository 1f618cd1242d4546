// The programs' metrics as a real Prometheus scrapes them: a faulted fleet in two shards and the
// receiver, scraped every second; the figures Prometheus holds equal the reports, and every
// expression of the Grafana dashboard finds data.
#include "harness.h"

#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <regex>
#include <sstream>

#ifndef VANDRY_DASHBOARD
#error "VANDRY_DASHBOARD must name deploy/grafana-dashboard.json"
#endif

using namespace proc;
using Json = nlohmann::json;

namespace {

constexpr unsigned SEED = 20261210;
constexpr int SHARD_UNITS = 150;

double unix_now() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string url_encoded(const std::string &text) {
    std::string out;
    for (const unsigned char c : text) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%%%02X", c);
        out += std::isalnum(c) != 0 || c == '_' || c == '.' || c == '-' ? std::string(1, c) : hex;
    }
    return out;
}

// Prometheus on a free loopback port, scraping every second the targets of targets.json, which
// is written as the programs say their ports (file_sd reads it again when it changes).
class Prometheus {
  public:
    explicit Prometheus(const ScratchDir &dir) : dir_(dir) {
        dir.write_file("targets.json", "[]");
        dir.write_file("prometheus.yml", "global: {scrape_interval: 1s, scrape_timeout: 1s}\n"
                                         "scrape_configs:\n"
                                         "  - job_name: vandry\n"
                                         "    file_sd_configs: [{files: [targets.json]}]\n");
        process_ = std::make_unique<Program>(
            dir.path(),
            std::vector<std::string>{"prometheus", "--config.file=prometheus.yml",
                                     "--storage.tsdb.path=tsdb",
                                     "--web.listen-address=127.0.0.1:0"},
            Target{}, Console::merged);
        const std::string listening = "msg=\"Listening on\" address=127\\.0\\.0\\.1:([0-9]+)";
        std::smatch found;
        const std::string log =
            process_->wait_for_regex(listening, 20) ? process_->output() : std::string();
        port_ = std::regex_search(log, found, std::regex(listening)) ? std::stoi(found[1]) : 0;
        scrape("prometheus", port_);
    }
    int port() const { return port_; }
    std::string log() { return process_->output(); }

    void scrape(const std::string &program, int port) {
        targets_.push_back({{"targets", {"127.0.0.1:" + std::to_string(port)}},
                            {"labels", {{"program", program}}}});
        dir_.write_file("targets.json", targets_.dump());
    }

    // The result of an instant query at the time (0: now), or of a range query from start to
    // the time, every second; null when Prometheus refuses it.
    Json query(const std::string &expr, double at = 0, double start = 0) {
        char times[64];
        std::snprintf(times, sizeof times, start > 0 ? "&start=%.3f&end=%.3f&step=1" : "&time=%.3f",
                      start > 0 ? start
                      : at > 0  ? at
                                : unix_now(),
                      at);
        const std::string response =
            http_get(port_,
                     std::string(start > 0 ? "/api/v1/query_range" : "/api/v1/query") +
                         "?query=" + url_encoded(expr) + times,
                     10);
        const size_t body = response.find("\r\n\r\n");
        const Json j =
            Json::parse(body == std::string::npos ? "" : response.substr(body + 4), nullptr, false);
        return !j.is_discarded() && j.value("status", "") == "success" ? j["data"]["result"]
                                                                       : Json();
    }

    // Each series' value by its label (or "" for one without), at the time.
    std::map<std::string, double> values(const std::string &expr, double at,
                                         const std::string &label = "") {
        std::map<std::string, double> out;
        for (const Json &s : query(expr, at))
            out[label.empty() ? "" : s["metric"].value(label, "")] =
                std::stod(s["value"][1].get<std::string>());
        return out;
    }

    // Waits until the query holds a sample (a true comparison); the time it did, 0 if never.
    double wait_until(const std::string &expr, double seconds) {
        for (const double end = seconds_now() + seconds; seconds_now() < end;) {
            const double now = unix_now();
            if (!query(expr, now).empty())
                return now;
            usleep(200000);
        }
        return 0;
    }

  private:
    const ScratchDir &dir_;
    std::unique_ptr<Program> process_;
    int port_ = 0;
    Json targets_ = Json::array();
};

// promtool's verdict on the exposition that a program serves now.
std::string promtool_check(const ScratchDir &dir, int port, const std::string &name) {
    const std::string response = http_get(port, "/metrics", 5);
    const size_t body = response.find("\r\n\r\n");
    if (!std::regex_search(response, std::regex("^HTTP/1\\.[01] 200 ")) ||
        body == std::string::npos)
        return "no exposition: " + response.substr(0, 200);
    dir.write_file(name + ".prom", response.substr(body + 4));
    Program check(dir.path(), {"/bin/sh", "-c", "promtool check metrics < " + name + ".prom"},
                  Target{}, Console::merged);
    return check.wait_exit(20) && check.status() == "exited with 0" ? std::string()
                                                                    : check.output();
}

std::vector<std::string> shard_args(int shard, int receiver_port) {
    const std::string n = std::to_string(shard);
    std::istringstream words("--units " + std::to_string(SHARD_UNITS) + " --shard " + n +
                             " --server 127.0.0.1:" + std::to_string(receiver_port) +
                             " --type 20 --seed " + std::to_string(SEED) +
                             " --rand glibc --duration 15 --faults "
                             "drop=0.01,cut=0.01,garble=0.01,duplicate=0.01,silence=0.01:3,slow=0."
                             "01 --fault-log faults" +
                             n + ".csv --report shard" + n +
                             ".json --metrics 127.0.0.1:0 --metrics-linger 5");
    return {std::istream_iterator<std::string>(words), std::istream_iterator<std::string>()};
}

// The two shards' fault logs as one, its header once: what the receiver reads at its end.
void join_fault_logs(const ScratchDir &dir) {
    std::string joined, row;
    for (const char *name : {"faults0.csv", "faults1.csv"}) {
        std::ifstream in(dir.path() + "/" + name);
        for (bool header = true; std::getline(in, row); header = false)
            if (!header || joined.empty())
                joined += row + "\n";
    }
    dir.write_file("faults.csv", joined);
}

// Each figure's series summed, at the time, against the report's figure of that name (neither
// there is a mismatch too).
void expect_sums(Prometheus &prom, double at, const Json &report,
                 const std::vector<std::pair<std::string, std::string>> &figures) {
    for (const auto &[metric, key] : figures) {
        const auto sum = prom.values("sum(" + metric + ")", at);
        EXPECT_EQ(sum.count("") != 0 ? sum.at("") : -1.0, report.value(key, -2.0)) << metric;
    }
}

// The series by their label, at the time, those at 0 left out.
std::map<std::string, double> by_label(Prometheus &prom, const std::string &metric,
                                       const std::string &label, double at) {
    std::map<std::string, double> out;
    for (const auto &[value, figure] :
         prom.values("sum by (" + label + ") (" + metric + ")", at, label))
        if (figure != 0)
            out[value] = figure;
    return out;
}

// Prometheus' last scrape of both shards, after their summaries, against the merged report.
void check_fleets(const ScratchDir &dir, Prometheus &prom, const std::vector<int> &ports) {
    const double ended = unix_now();
    const double at = prom.wait_until(
        "count(timestamp(vandry_fleet_units) > " + std::to_string(ended) + ") == 2", 4);
    ASSERT_NE(at, 0) << "no scrape of both shards after their summaries";
    EXPECT_EQ(promtool_check(dir, ports[0], "shard0"), "");
    EXPECT_EQ(promtool_check(dir, ports[1], "shard1"), "");
    Program merge(dir.path(), {"--merge", "shard0.json", "shard1.json", "--report", "merged.json"},
                  Target::fleet(), Console::merged);
    ASSERT_TRUE(merge.wait_exit(20));
    // 0 or 1 as a fleet's own status for the merged figures; 2 would be a refusal.
    ASSERT_TRUE(merge.status() == "exited with 0" || merge.status() == "exited with 1")
        << merge.output();
    const Json merged = json_file(dir.path() + "/merged.json");
    ASSERT_FALSE(merged.is_discarded()) << merge.output();
    expect_sums(prom, at, merged,
                {{"vandry_fleet_units", "units"},
                 {"vandry_fleet_connected_units", "connected_at_end"},
                 {"vandry_fleet_messages_written_total", "written"},
                 {"vandry_fleet_messages_unconfirmed_total", "unconfirmed"},
                 {"vandry_fleet_messages_failed_total", "failed"},
                 {"vandry_fleet_connects_total", "connects"},
                 {"vandry_fleet_connect_failures_total", "connect_failures"},
                 {"vandry_fleet_skipped_slots_total", "skipped"},
                 {"vandry_fleet_held_slots_total", "held"},
                 {"vandry_fleet_unsent_slots_total", "unsent"}});
    std::map<std::string, double> faults, failures;
    const Json injected = merged.value("faults", Json::object()),
               failed = merged.value("failures", Json::object());
    for (const auto &[kind, count] : injected.items())
        if (count != 0)
            faults[kind] = count.get<double>();
    EXPECT_FALSE(faults.empty()) << merged;
    EXPECT_EQ(by_label(prom, "vandry_fleet_faults_injected_total", "kind", at), faults);
    const std::map<std::string, std::string> reasons = {
        {"resolve failure", "resolve"},
        {"socket failure", "socket"},
        {"bind failure", "bind"},
        {"connect failure", "connect"},
        {"send failure", "send"},
        {"connection reset", "reset"},
        {"connection ended by the server", "ended"}};
    for (const auto &[kind, failure] : failed.items())
        failures[reasons.at(kind)] = failure.value("count", 0.0);
    auto seen = by_label(prom, "vandry_fleet_connect_failures_total", "reason", at);
    seen.merge(by_label(prom, "vandry_fleet_connection_failures_total", "reason", at));
    EXPECT_EQ(seen, failures);
    EXPECT_GT(prom.values("sum(vandry_fleet_lateness_seconds_count)", at)[""], 0);
}

// After SIGTERM: Prometheus' scrape of the lingering receiver against its report. The time of
// that scrape; 0 when there was none.
double check_receiver(const ScratchDir &dir, Prometheus &prom, Program &receiver, int port) {
    join_fault_logs(dir);
    kill(receiver.pid(), SIGTERM);
    EXPECT_TRUE(receiver.wait_for("vandry-receiver stopped", 20)) << receiver.output();
    Json report;
    for (int i = 0; i < 50 && (report = json_file(dir.path() + "/report.json")).is_discarded(); ++i)
        usleep(100000);
    const double stopped = unix_now();
    EXPECT_EQ(promtool_check(dir, port, "receiver"), "");
    const double at = prom.wait_until(
        "timestamp(vandry_receiver_messages_total) > " + std::to_string(stopped), 4);
    EXPECT_NE(at, 0) << "no scrape of the receiver after its report";
    EXPECT_GT(report.value("messages", 0), 0) << receiver.output();
    expect_sums(prom, at, report,
                {{"vandry_receiver_connections_accepted_total", "connections"},
                 {"vandry_receiver_messages_total", "messages"},
                 {"vandry_receiver_malformed_total", "malformed"},
                 {"vandry_receiver_restarts_total", "restarts"},
                 {"vandry_receiver_lost_messages", "lost"},
                 {"vandry_receiver_duplicated_messages", "duplicated"},
                 {"vandry_receiver_altered_messages", "altered"},
                 {"vandry_receiver_incomplete_messages", "incomplete"},
                 {"vandry_receiver_unknown_stations", "unknown_stations"},
                 {"vandry_receiver_missing_stations", "missing_stations"}});
    const auto unexplained = prom.values("vandry_receiver_unexplained_findings", at, "kind");
    for (const char *kind : {"lost", "duplicated", "altered", "incomplete"})
        EXPECT_EQ(unexplained.count(kind) != 0 ? unexplained.at(kind) : -1.0,
                  report.value(std::string("unexplained_") + kind, -2.0))
            << kind;
    return at;
}

} // namespace

// A faulted fleet in two shards and the receiver with its plan and the fault log, scraped every
// second by Prometheus: what it holds after the run equals the merged fleet report and the
// receiver's report, promtool accepts each exposition, and every expression of the dashboard
// finds data over the run.
TEST(Metrics, PrometheusHoldsTheReportsFiguresAndTheDashboardFindsData) {
    if (Target::get().launched())
        GTEST_SKIP() << "Prometheus scrapes the programs as built for this machine";
    if (std::system("command -v prometheus >/dev/null && command -v promtool >/dev/null") != 0) {
        const char *ci = std::getenv("CI");
        ASSERT_FALSE(ci != nullptr && std::string(ci) == "true")
            << "prometheus and promtool are missing (scripts/install-deps.sh installs them)";
        GTEST_SKIP() << "prometheus and promtool are not installed";
    }
    ScratchDir dir;
    const double start = unix_now();
    Program plan(dir.path(),
                 {"--dry-run", "--units", std::to_string(2 * SHARD_UNITS), "--seed",
                  std::to_string(SEED), "--type", "20", "--rand", "glibc"},
                 Target::fleet());
    ASSERT_TRUE(plan.wait_exit(20));
    dir.write_file("plan.txt", plan.raw_output());
    dir.write_file("faults.csv", "time,station,tick,kind,detail\r\n"); // the shards' logs later
    Prometheus prom(dir);
    ASSERT_NE(prom.port(), 0) << prom.log();
    ASSERT_NE(prom.wait_until("up{program=\"prometheus\"} == 1", 15), 0) << prom.log();
    Program receiver(dir.path(),
                     {VANDRY_RECEIVER_EXE, "--quiet", "--expect", "plan.txt", "--fault-log",
                      "faults.csv", "--report", "report.json", "--metrics", "127.0.0.1:0",
                      "--metrics-linger", "5", "127.0.0.1", "0"},
                     Target{}, Console::merged);
    const int port = listening_port(receiver);
    const int receiver_metrics = metrics_port(receiver);
    ASSERT_NE(port * receiver_metrics, 0) << receiver.output();
    prom.scrape("receiver", receiver_metrics);
    std::vector<std::unique_ptr<Program>> shards;
    std::vector<int> ports;
    for (int shard = 0; shard < 2; ++shard) {
        shards.push_back(std::make_unique<Program>(dir.path(), shard_args(shard, port),
                                                   Target::fleet(), Console::merged));
        ports.push_back(metrics_port(*shards.back()));
        ASSERT_NE(ports.back(), 0) << shards.back()->output();
        prom.scrape("fleet", ports.back());
    }
    for (int shard = 0; shard < 2; ++shard) {
        ASSERT_TRUE(shards[shard]->wait_for("fleet summary:", 40)) << shards[shard]->output();
        const std::string report = dir.path() + "/shard" + std::to_string(shard) + ".json";
        for (int i = 0; i < 50 && json_file(report).is_discarded(); ++i)
            usleep(100000);
    }
    check_fleets(dir, prom, ports);
    const double end = check_receiver(dir, prom, receiver, receiver_metrics);
    ASSERT_NE(end, 0);
    const Json dashboard = json_file(VANDRY_DASHBOARD);
    for (const Json &panel : dashboard["panels"])
        for (const Json &target : panel["targets"])
            EXPECT_FALSE(prom.query(target["expr"].get<std::string>(), end + 1, start).empty())
                << target["expr"];
}

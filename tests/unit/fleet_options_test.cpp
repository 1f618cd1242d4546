// The fleet's command line, its plan of names and seeds, its schedule and its lateness figures.
#include "fleet/merge.h"
#include "fleet/options.h"
#include "fleet/schedule.h"
#include "fleet/stats.h"
#include "fleet/status_line.h"
#include "receiver/extent.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>

using namespace vandry;
using namespace vandry::fleet;

namespace {

// The options, and the reason a command line is refused (empty when it is not).
struct ParsedLine {
    FleetOptions options;
    std::string error;
};

ParsedLine parse(const std::string &line) {
    std::istringstream words(line);
    std::vector<std::string> args;
    for (std::string w; words >> w;)
        args.push_back(w);
    const Parsed<FleetOptions> p = parse_fleet_options(args, 777);
    const std::string prefix = "vandry-fleet: ";
    std::string error;
    if (p.exit_status == 2)
        error = p.text.substr(prefix.size(), p.text.find('\n') - prefix.size());
    return {p.options, error};
}

const std::string BASE = "--units 10 --server 127.0.0.1:5000 --type 10 ";

// A report as the fleet writes it of units args, each of which wrote 3 messages, late by late.
NamedReport shard_report(const std::string &name, const std::string &args,
                         const std::vector<long long> &late) {
    const FleetOptions o = parse("--server h:1 --type 10 --seed 7 --units " + args).options;
    FleetResult r;
    r.figures.units = o.units;
    r.figures.written = r.expected = 3 * o.units;
    r.stations.assign(static_cast<std::size_t>(o.units), StationFigures{0, 2, 3, 0});
    for (const long long us : late)
        r.lateness.add(us);
    std::ostringstream out;
    write_fleet_report(out, r, o);
    return {name, ReportJson::parse(out.str())};
}

struct Rejected {
    const char *args;
    const char *error;
};

} // namespace

TEST(FleetOptions, UsageErrorsSayWhatIsWrong) {
    const Rejected table[] = {
        {"--server 127.0.0.1:5000 --type 10", "--units is required"},
        {"--units 10 --type 10", "--server is required"},
        {"--units 10 --server h:1", "--type is required"},
        {"--units 10 --server h --type 10",
         "--server wants HOST:PORT with a port from 1 to 65535, not \"h\""},
        {"--units 10 --server h:1 --type 12",
         "--type wants one of 10, 11, 20, 21, 30, 31, not \"12\""},
        {"--units 10 --server h:1 --type 10 --count", "--count needs a value"},
        {"--units 10 --server h:1 --type 10 --bogus 1", "unknown option --bogus"},
        {"--units 10 --server h:1 --type 10 extra", "unexpected argument \"extra\""},
        {"--units 10 --server h:1 --type 10 --shard 1 --first-unit 5",
         "--shard and --first-unit exclude each other"},
        {"--units 10 --server h:1 --type 10 --source 127.0.0.8-127.0.0.1",
         "--source range 127.0.0.8-127.0.0.1 must run upwards in the last octet (e.g. "
         "127.0.0.1-127.0.0.8)"},
        {"--units 10 --server h:1 --type 10 --source 127.0.0.256",
         "--source wants an IPv4 address or a range A-B, not \"127.0.0.256\""},
        {"--units 10 --server h:1 --type 10 --duration 10000000000",
         "--duration wants seconds from 0.001 to 31536000 (a year), not \"10000000000\""},
        {"--units 10 --server h:1 --type 10 --duration 1.2.3",
         "--duration wants seconds from 0.001 to 31536000 (a year), not \"1.2.3\""},
        {"--units 10 --server h:1 --type 10 --interval 2147483",
         "--interval wants whole seconds from 0 to 86400, not \"2147483\""},
        {"--units 10 --server h:1 --type 10 --ramp 86401",
         "--ramp wants seconds from 0 to 86400, not \"86401\""},
        {"--units 10 --server h:1 --type 10 --threads -1",
         "--threads wants a number of threads from 0, not \"-1\""},
        {"--units 10 --server h:1 --type 10 --connect-rate 0",
         "--connect-rate wants a number of connections a second from 1 to 1000000, not \"0\""},
        {"--units 10 --server h:1 --type 10 --metrics 1 --metrics 2", "--metrics given twice"},
        {"--units 10 --server h:1 --type 10 --metrics ::1:80",
         "--metrics wants [ADDR:]PORT, a numeric address and a port from 0 to 65535, not "
         "\"::1:80\""},
        {"--units 10 --server h:1 --type 10 --name-prefix a\x01b",
         "--name-prefix must not contain whitespace or control bytes, which end a station name"},
        {"--units 10 --server h:1 --type 10 --name-prefix ABCDEFGHIJKLMNOPQRSTUVWXYZ",
         "unit names must fit 30 characters: prefix \"ABCDEFGHIJKLMNOPQRSTUVWXYZ\" with unit "
         "number 9 is longer"},
        {"--units 10 --server h:1 --type 10 --name-prefix ABCDEFGHIJKLMNOPQRSTUVWXY --shard 10000",
         "unit names must fit 30 characters: prefix \"ABCDEFGHIJKLMNOPQRSTUVWXY\" with unit "
         "number 100009 is longer"},
    };
    for (const Rejected &r : table)
        EXPECT_EQ(parse(r.args).error, r.error) << r.args;
}

TEST(FleetOptions, TakeTheGivenValuesOrTheirDefaults) {
    ParsedLine p = parse(BASE);
    ASSERT_EQ(p.error, "");
    EXPECT_EQ(p.options.seed, 777u);
    EXPECT_EQ(p.options.interval_ms, 3000);
    EXPECT_EQ(p.options.first_unit, 0);
    EXPECT_EQ(p.options.rand, RandKind::glibc);
    EXPECT_EQ(start_line(p.options), "vandry-fleet: 10 units U00000..U00009, seed 777, type 10, "
                                     "interval 3s, rand glibc, server 127.0.0.1:5000\n");

    p = parse(BASE + "--interval=1 --seed 4294967295 --first-unit 99998 --name-prefix Tank- "
                     "--rand msvcrt --source 127.0.0.2-127.0.0.4 --duration 2.5 --count 7 --echo");
    ASSERT_EQ(p.error, "");
    const FleetOptions &o = p.options;
    EXPECT_EQ(o.interval_s, 1);
    EXPECT_EQ(o.interval_ms, 3000); // below 3 s counts as 3 s
    EXPECT_EQ(o.rand, RandKind::msvcrt);
    EXPECT_EQ(o.duration_s, 2.5);
    EXPECT_EQ(o.count, 7);
    EXPECT_TRUE(o.echo);
    ASSERT_EQ(o.sources.size(), 3u);
    EXPECT_EQ(ipv4_text(o.sources[2]), "127.0.0.4");
    EXPECT_EQ(unit_seed(o.seed, o.first_unit + 1), 99998u); // the seed wraps round
    EXPECT_EQ(start_line(o), "vandry-fleet: 10 units Tank-99998..Tank-100007, seed 4294967295, "
                             "type 10, interval 3s, rand msvcrt, server 127.0.0.1:5000\n");

    // Threads: one by default, one per core for 0, at most 256 and at most the units, each
    // cap said.
    const struct {
        const char *args;
        unsigned cores;
        long long threads;
        const char *notice;
    } threads[] = {
        {"", 8, 1, ""},
        {"--threads 4", 8, 4, ""},
        {"--threads 0", 8, 8, ""},
        {"--threads 0", 0, 1, ""},
        {"--threads 0", 64, 10, "vandry-fleet: --threads 0 (64 cores) is capped at the 10 units\n"},
        {"--threads 11", 8, 10, "vandry-fleet: --threads 11 is capped at the 10 units\n"},
        {"--units 1000 --threads 1000", 8, 256, "vandry-fleet: --threads 1000 is capped at 256\n"},
    };
    for (const auto &t : threads) {
        p = parse(BASE + t.args);
        ASSERT_EQ(p.error, "") << t.args;
        const ThreadsInEffect in_effect = threads_in_effect(p.options, t.cores);
        EXPECT_EQ(in_effect.threads, t.threads) << t.args;
        EXPECT_EQ(in_effect.notice, t.notice) << t.args;
    }

    // Commas are allowed in a name, as in cfg.txt; a 30-character name is the longest.
    EXPECT_EQ(parse(BASE + "--name-prefix T,7-").error, "");
    EXPECT_EQ(parse(BASE + "--name-prefix ABCDEFGHIJKLMNOPQRSTUVWXY").error, "");
}

TEST(FleetOptions, LoopbackServerSpreadsCrowdedUnitsOverSourceAddresses) {
    FleetOptions o = parse("--units 14116 --server 127.0.0.1:5000 --type 10").options;
    EXPECT_TRUE(loopback_sources(o, true, 28232, 60).empty()); // half the ports: one source
    o.units = 50000;
    const std::vector<std::uint32_t> four = loopback_sources(o, true, 28232, 60);
    ASSERT_EQ(four.size(), 4u);
    EXPECT_EQ(ipv4_text(four[0]) + " " + ipv4_text(four[3]), "127.0.0.1 127.0.0.4");
    EXPECT_EQ(loopback_sources(o, false, 28232, 60).size(), 36u); // 16,666/s, 470/s per source
    o.interval_ms = 600000; // 83/s, but 50,000 connections open at once
    EXPECT_EQ(loopback_sources(o, false, 28232, 60).size(), 4u);
    o.host = "10.0.0.1";
    EXPECT_TRUE(loopback_sources(o, true, 28232, 60).empty());
}

TEST(FleetOptions, ShardsAreDisjointAndMakeUpTheWholeFleet) {
    const std::string common = "--dry-run --units 100 --seed 4294967200 ";
    const ParsedLine whole = parse("--dry-run --units 200 --seed 4294967200");
    const ParsedLine first = parse(common + "--shard 0"), second = parse(common + "--shard 1");
    ASSERT_EQ(first.error + second.error + whole.error, "");
    EXPECT_EQ(second.options.first_unit, 100);
    const std::string a = plan_text(first.options), b = plan_text(second.options);
    EXPECT_EQ(a.substr(0, a.find('\n')),
              "vandry-plan type=0 rand=glibc interval=3 seed=4294967200");
    EXPECT_EQ(a.substr(a.find('\n') + 1, 17), "U00000 4294967200");
    EXPECT_EQ(b.substr(b.find('\n') + 1, 9), "U00100 4\n");
    // Both shards' lines together are the whole fleet's, with no name or seed twice.
    EXPECT_EQ(a + b.substr(b.find('\n') + 1), plan_text(whole.options));
    std::set<std::string> seeds; // no seed twice (the names are unit numbers, plainly apart)
    const std::string whole_plan = plan_text(whole.options);
    std::istringstream lines(whole_plan.substr(whole_plan.find('\n') + 1));
    for (std::string name, seed; lines >> name >> seed;)
        seeds.insert(seed);
    EXPECT_EQ(seeds.size(), 200u);
}

TEST(FleetStats, QuantilesComeWithinFourPercentAndTheLinesShowEveryFigure) {
    LatenessHistogram h;
    EXPECT_EQ(h.quantile_ms(0.5), 0);
    for (int us = 1; us <= 1000; ++us)
        h.add(us);
    h.add(-5); // early counts as on time
    EXPECT_EQ(h.count(), 1001u);
    EXPECT_NEAR(h.quantile_ms(0.5), 0.5, 0.5 * 0.04);
    EXPECT_NEAR(h.quantile_ms(0.99), 0.99, 0.99 * 0.04);
    EXPECT_EQ(h.max_ms(), 1.0);
    h.add(12050);
    EXPECT_EQ(h.quantile_ms(1.0), 12.05); // never above the largest sample

    FleetFigures f;
    f.units = 19000;
    f.connected = 19000;
    f.written_last_second = 6333;
    f.written = 75996;
    LatenessHistogram one;
    one.add(310);
    EXPECT_EQ(status_line(12, f, one),
              "fleet: t=12s units=19000 connected=19000 written/s=6333 written=75996 "
              "unconfirmed=0 failed=0 connect_failures=0 skipped=0 held=0 unsent=0 waiting=0 "
              "late_ms p50=0.31 p99=0.31 max=0.31");
    f.waiting = 120;
    f.held = 7;
    f.unsent = 2;
    f.connect_failures = 3;
    EXPECT_EQ(terminal_status_line(12, f, one),
              "t=12s conn=19000/19000 6333/s written=75996 failures=3 waiting=120 p99=0.3ms");
    f.failures[static_cast<int>(Failure::connect)] = 3;
    f.first_failure[static_cast<int>(Failure::connect)] =
        "connect failed with error: 111 (Connection refused)";
    EXPECT_EQ(summary_line(60.04, f, 379980, one),
              "fleet summary: duration=60.0s units=19000 connected=19000 written=75996 "
              "unconfirmed=0 failed=0 expected=379980 connect_failures=3 skipped=0 held=7 "
              "unsent=2 late_ms p50=0.31 p99=0.31 max=0.31\n"
              "  first connect failure (of 3): connect failed with error: 111 (Connection "
              "refused)\n");
}

// A message sent late by late_ms after the slot at 0 of an interval: the slot of the next one
// and when it goes (a slot more than 1 s late is skipped); a first message goes at its slot.
TEST(FleetSchedule, ALateMessageKeepsTheNextSlotUnlessThatWouldGoMoreThanASecondLate) {
    using Ms = std::chrono::milliseconds;
    using Time = std::chrono::steady_clock::time_point;
    const struct {
        long long interval_ms, late_ms, slot_ms, at_ms;
    } rows[] = {{3000, 10, 3000, 3000},   {3000, 51, 3000, 3000},      {3000, 1800, 3000, 3300},
                {3000, 1500, 3000, 3000}, {10000, 6000, 10000, 11000}, {10000, 1500, 10000, 10000},
                {3000, 2900, 6000, 6000}, {3000, -1, 6000, 6000}};
    for (const auto &r : rows) {
        const Time zero{}, late = zero + Ms(r.late_ms);
        const auto next = next_send(zero, Ms(r.interval_ms), r.late_ms < 0 ? zero + Ms(4000) : late,
                                    r.late_ms < 0 ? Time::min() : late, Ms(1000));
        EXPECT_EQ(next.slot - zero, Ms(r.slot_ms)) << r.interval_ms << " " << r.late_ms;
        EXPECT_EQ(next.at - zero, Ms(r.at_ms)) << r.interval_ms << " " << r.late_ms;
    }
}

// Four units over a 2 s ramp and a 10 s interval: where unit i connects, its slots and how many
// have passed; connects under a cap of 10 a second; the timers' wake-up grid.
TEST(FleetSchedule, UnitsShareTheRampAndTheIntervalAndCountTheirSlotsFromTheFirst) {
    using Ms = std::chrono::milliseconds;
    const Clock::time_point zero{};
    const Schedule s{zero, Ms(10000), Ms(2000), 4};
    const struct {
        std::uint32_t unit;
        long long connect_ms, first_slot_ms, at_ms, slots_before;
    } rows[] = {{0, 0, 0, 0, 0},          {0, 0, 0, 1, 1},           {2, 1000, 5000, 5000, 0},
                {2, 1000, 5000, 5001, 1}, {3, 1500, 7500, 27501, 3}, {3, 1500, 7500, 27500, 2}};
    for (const auto &r : rows) {
        EXPECT_EQ(s.first_connect(r.unit) - zero, Ms(r.connect_ms)) << r.unit;
        EXPECT_EQ(s.slot_from(r.unit, s.first_connect(r.unit)) - zero, Ms(r.first_slot_ms));
        EXPECT_EQ(s.slots_before(r.unit, zero + Ms(r.at_ms)), r.slots_before) << r.at_ms;
    }
    ConnectPermits permits(zero, Ms(100));
    EXPECT_EQ(permits.take(zero) - zero, Ms(0));
    EXPECT_EQ(permits.take(zero) - zero, Ms(100));
    EXPECT_EQ(permits.take(zero + Ms(1000)) - zero, Ms(1000));
    EXPECT_EQ(wake_up_at(zero, Ms(1), zero + std::chrono::microseconds(2500)) - zero, Ms(3));
    EXPECT_EQ(wake_up_at(zero + Ms(5), Ms(1), zero), zero + Ms(5));
}

// The status line's next second after the one printed at 1 s: a stall gives one line for the
// second to come, not a burst for the ones missed.
TEST(FleetStatus, TheNextLineComesAtTheNextWholeSecondStillToCome) {
    using Ms = std::chrono::milliseconds;
    const Clock::time_point zero{};
    const long long rows[][2] = {{1200, 2000}, {1999, 2000}, {2000, 3000}, {5500, 6000}};
    for (const auto &r : rows)
        EXPECT_EQ(next_second(zero + Ms(1000), zero + Ms(r[0])) - zero, Ms(r[1])) << r[0];
}

TEST(FleetMerge, ShardsOfOnePlanMergeExactlyIntoTheWholeFleetsReport) {
    const std::vector<long long> a = {0, 5, 31, 32, 33, 1000, 1001, 250000},
                                 b = {7, 40, 999, 1002, 1003, 3000000};
    struct Case {
        const char *second, *error, *note;
    };
    const Case cases[] = {
        {"2 --shard 1", "", ""},
        {"2 --shard 2", "", "units 2 to 3 are in no report"},
        {"2 --shard 1 --seed 8", "b is of another plan than a: its \"seed\" is 8, not 7", ""},
        {"2 --shard 1 --faults drop=0.1",
         "b is of another plan than a: its \"faults\" is \"drop=0.1\", not null", ""},
        {"2 --first-unit 1", "a and b overlap: units 0 to 1 and 1 to 2", ""},
        {"1 --first-unit 0", "a and b overlap: units 0 to 1 and 0 to 0", ""},
    };
    for (const Case &c : cases) {
        const MergedReport m = merge_fleet_reports(
            {shard_report("a", "2 --shard 0", a), shard_report("b", c.second, b)});
        EXPECT_EQ(m.error, c.error) << c.second;
        EXPECT_EQ(m.notes.empty() ? "" : m.notes[0], c.note) << c.second;
    }
    // Merged, the two shards are the report of one process that ran all four units.
    std::vector<long long> all = a;
    all.insert(all.end(), b.begin(), b.end());
    NamedReport whole = shard_report("whole", "4", all);
    MergedReport m =
        merge_fleet_reports({shard_report("b", "2 --shard 1", b), shard_report("a", "2", a)});
    EXPECT_EQ(m.head["shards"], 2);
    EXPECT_EQ(m.stations, whole.report["stations"]);
    whole.report.erase("stations");
    whole.report["shards"] = 2;
    EXPECT_EQ(m.head, whole.report);
    EXPECT_EQ(m.summary.substr(0, 60),
              "fleet summary: duration=0.0s units=4 connected=0 written=12 ");
    // Merged again with a third shard, it counts three; so does a receiver that reads it.
    std::ostringstream merged;
    write_report_layout(merged, m.head, 4, [&m](std::size_t k) { return m.stations[k].dump(); });
    m = merge_fleet_reports(
        {{"m", ReportJson::parse(merged.str())}, shard_report("c", "2 --shard 2", a)});
    EXPECT_EQ(m.head["shards"], 3);
    receiver::Extents extents;
    ASSERT_EQ(receiver::add_fleet_report(merged.str(), &extents), "");
    EXPECT_EQ(extents.reports, 2U);
}

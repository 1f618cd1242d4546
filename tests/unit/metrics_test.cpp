// The text exposition format written from constructed figures: names, types, label escaping,
// numbers and the order of a histogram's buckets.
#include "fleet/fleet_metrics.h"
#include "fleet/stats.h"
#include "metrics/exposition.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

using namespace vandry;

TEST(Exposition, WritesEachKindOfSampleAsScrapersReadIt) {
    metrics::Histogram h({0.125, 0.5, 1});
    for (const double v : {0.25, 0.5, 0.75, 2.0})
        h.add(v);
    const struct {
        std::function<void(metrics::Exposition &)> write;
        std::string text;
    } rows[] = {
        {[](auto &e) { e.counter("a_total", "A \\ b\nc.", 12345678901234LL); },
         "# HELP a_total A \\\\ b\\nc.\n# TYPE a_total counter\na_total 12345678901234\n"},
        {[](auto &e) { e.gauge("g", "G.", 0.1); }, "# HELP g G.\n# TYPE g gauge\ng 0.1\n"},
        {[](auto &e) {
             e.sample("s", {{"k", "a\"b\\c\nd"}, {"l", "x"}}, 2ULL);
         },
         "s{k=\"a\\\"b\\\\c\\nd\",l=\"x\"} 2\n"},
        {[](auto &e) { e.sample("w", {}, 1e6); }, "w 1000000\n"},
        {[](auto &e) { e.sample("f", {}, 1.0 / 3); }, "f 0.3333333333333333\n"},
        {[](auto &e) { e.sample("n", {}, std::nan("")); }, "n NaN\n"},
        {[](auto &e) { e.sample("i", {}, -HUGE_VAL); }, "i -Inf\n"},
        {[&h](auto &e) { e.histogram("h", "H.", h); },
         "# HELP h H.\n# TYPE h histogram\nh_bucket{le=\"0.125\"} 0\nh_bucket{le=\"0.5\"} 2\n"
         "h_bucket{le=\"1\"} 3\nh_bucket{le=\"+Inf\"} 4\nh_sum 3.5\nh_count 4\n"},
    };
    for (const auto &row : rows) {
        metrics::Exposition e;
        row.write(e);
        EXPECT_EQ(e.text(), row.text);
    }
}

TEST(Exposition, WritesTheFleetsFiguresByReasonAndKind) {
    fleet::FleetFigures f;
    f.failures[static_cast<std::size_t>(fleet::Failure::bind)] = 3;
    f.faults[static_cast<std::size_t>(FaultKind::slow)] = 4;
    f.connects = 5;
    metrics::Histogram lateness = fleet::lateness_seconds_histogram();
    lateness.add(0.0001);
    const std::string text = fleet::fleet_metrics_text(f, lateness);
    for (const char *line :
         {"# TYPE vandry_fleet_connects_total counter\nvandry_fleet_connects_total 5\n",
          "vandry_fleet_connect_failures_total{reason=\"bind\"} 3\n",
          "vandry_fleet_faults_injected_total{kind=\"slow\"} 4\n",
          "# TYPE vandry_fleet_lateness_seconds histogram\n"
          "vandry_fleet_lateness_seconds_bucket{le=\"0.0001\"} 1\n",
          "vandry_fleet_lateness_seconds_bucket{le=\"60\"} 1\n"
          "vandry_fleet_lateness_seconds_bucket{le=\"+Inf\"} 1\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
}

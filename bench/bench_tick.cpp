// One tick with its three records against formatting the same three records with snprintf, and one
// fixed-point field both ways. Prints the tick / snprintf ratio at the end.
#include "core/fixed_point.h"
#include "core/message.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

using namespace vandry;

namespace {

// The tank that a unit seeded with 1 draws: the same in every run.
Tank bench_tank() {
    GlibcRand rng(1);
    return draw_tank(rng);
}

// The values of real ticks, two whole level cycles, for the formatting-only baselines.
struct Sample {
    float distance, level, d1, volume, temp1, temp2, vin, rssi, lat, lon;
    int sequence;
};

const std::vector<Sample> &samples() {
    static const std::vector<Sample> all = [] {
        const Tank tank = bench_tank();
        Telemetry tm = START_TELEMETRY;
        StdRand rng(1);
        std::vector<Sample> v;
        for (int i = 0; i < 2 * tank.cycle_ticks; ++i) {
            tm.sequence = next_sequence(tm.sequence);
            advance_tick(draw_tick(rng), tank, tm);
            const Position at = drift_position(tm.drift_step);
            v.push_back({tm.distance, tm.level, tm.d1, tm.volume, tm.temp1, tm.temp2, tm.vin,
                         tm.rssi, at.latitude, at.longitude, tm.sequence});
        }
        return v;
    }();
    return all;
}

void BM_tick(benchmark::State &state) {
    const Tank tank = bench_tank();
    Telemetry tm = START_TELEMETRY;
    StdRand rng(1);
    char s[MAX_RECORD_LENGTH + 1], l[MAX_RECORD_LENGTH + 1], g[MAX_RECORD_LENGTH + 1];
    for (auto _ : state) {
        tm.sequence = next_sequence(tm.sequence);
        advance_tick(draw_tick(rng), tank, tm);
        write_record(s, Layout::short_record, tm, tank);
        write_record(l, Layout::long_record, tm, tank);
        write_record(g, Layout::gps_record, tm, tank);
        benchmark::DoNotOptimize(s[0]);
        benchmark::DoNotOptimize(l[0]);
        benchmark::DoNotOptimize(g[0]);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_tick);

// A unit's message: one tick, one record (GPS), the name and the line end.
void BM_compose_message(benchmark::State &state) {
    const Tank tank = bench_tank();
    Telemetry tm = START_TELEMETRY;
    char out[MAX_MESSAGE_LENGTH + 1];
    int r = 0;
    for (auto _ : state) {
        r = r == 50 ? 0 : r + 1;
        benchmark::DoNotOptimize(compose_message(out, "unit-0001", 30, tank, tm, {r, r, r}));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_compose_message);

void BM_snprintf_records(benchmark::State &state) {
    const std::vector<Sample> &v = samples();
    char s[MAX_RECORD_LENGTH + 28], l[MAX_RECORD_LENGTH + 28], g[MAX_RECORD_LENGTH + 28];
    size_t i = 0;
    for (auto _ : state) {
        const Sample &x = v[i];
        i = i + 1 == v.size() ? 0 : i + 1;
        const double distance = x.distance, level = x.level, d1 = x.d1, volume = x.volume,
                     temp1 = x.temp1, temp2 = x.temp2, vin = x.vin, rssi = x.rssi;
        std::snprintf(s, sizeof s, "%4.3f,%4.3f,%2.1f,%5.1f,%3.1f,%3.1f,%d \n", distance, level, d1,
                      volume, temp1, temp2, x.sequence);
        std::snprintf(l, sizeof l, "%4.3f,%4.3f,%2.1f,%5.1f,%3.1f,%3.1f,%4.1f,%4.1f,%d \n",
                      distance, level, d1, volume, temp1, temp2, vin, rssi, x.sequence);
        int n = std::snprintf(g, sizeof g,
                              "%4.3f,%4.3f,%2.1f,%5.1f,%3.1f,%3.1f,%4.1f,%4.1f,%d,%s,%9.4f,%s,"
                              "%010.4f,%s,%s,%s,%s",
                              distance, level, d1, volume, temp1, temp2, vin, rssi, x.sequence,
                              "$GPGLL", static_cast<double>(x.lat), "N", static_cast<double>(x.lon),
                              "E", "081359.129", "A", "A*");
        unsigned sum = 0;
        for (const char *c = std::strchr(g, '$') + 1; *c != '*'; ++c)
            sum ^= static_cast<unsigned char>(*c);
        std::snprintf(g + n, sizeof g - static_cast<size_t>(n), "%02X\n", sum);
        benchmark::DoNotOptimize(s[0]);
        benchmark::DoNotOptimize(l[0]);
        benchmark::DoNotOptimize(g[0]);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_snprintf_records);

// One field: the longitude, "%010.4f".
void BM_format_fixed_field(benchmark::State &state) {
    const std::vector<Sample> &v = samples();
    char out[FIXED_MAX + 1];
    size_t i = 0;
    for (auto _ : state) {
        format_fixed(out, v[i].lon, 10, 4, '0');
        i = i + 1 == v.size() ? 0 : i + 1;
        benchmark::DoNotOptimize(out[0]);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_format_fixed_field);

void BM_snprintf_field(benchmark::State &state) {
    const std::vector<Sample> &v = samples();
    char out[FIXED_MAX + 1];
    size_t i = 0;
    for (auto _ : state) {
        std::snprintf(out, sizeof out, "%010.4f", static_cast<double>(v[i].lon));
        i = i + 1 == v.size() ? 0 : i + 1;
        benchmark::DoNotOptimize(out[0]);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_snprintf_field);

// The console report without colours, then the two ratios from the medians (or the single
// runs), in CPU time and in wall time: CPU time is the steadier on a loaded machine.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    RatioReporter() : ConsoleReporter(OO_None) {}
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median")
                continue;
            times_[run.run_name.function_name] = {run.GetAdjustedCPUTime(),
                                                  run.GetAdjustedRealTime()};
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        ratio("tick / snprintf records", "BM_tick", "BM_snprintf_records");
        ratio("format_fixed / snprintf field", "BM_format_fixed_field", "BM_snprintf_field");
    }

  private:
    void ratio(const char *label, const std::string &a, const std::string &b) {
        const auto x = times_.find(a);
        const auto y = times_.find(b);
        if (x == times_.end() || y == times_.end() || y->second.cpu <= 0.0 || y->second.real <= 0.0)
            return;
        std::printf("%s: CPU %.1f / %.1f ns = %.3f, wall %.1f / %.1f ns = %.3f\n", label,
                    x->second.cpu, y->second.cpu, x->second.cpu / y->second.cpu, x->second.real,
                    y->second.real, x->second.real / y->second.real);
    }
    struct Times {
        double cpu, real;
    };
    std::map<std::string, Times> times_;
};

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

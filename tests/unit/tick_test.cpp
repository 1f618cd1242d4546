// One tick of the sample generator: the eight values bit for bit, the drift, the three records.
#include "receiver/message_check.h"
#include "unit_support.h"

#include <cstdio>

namespace {

// The height and the low phase take no part in a tick: junk values must change nothing.
const Tank RAMP = {-99.0f, 3.0f, 0.25f, 2.5f, 4, 10, 6, -7, 25, 'N', 'E'};

Telemetry start(int run = 0, int gps = 0, int status = 0) {
    Telemetry t = START_TELEMETRY;
    t.cycle_position = run;
    t.drift_step = gps;
    t.sequence = status;
    return t;
}

void tick(Telemetry &t, const Tank &k, int r1, int r2, int r3) {
    advance_tick({r1, r2, r3}, k, t);
}

// One record of the current tick; the returned end must be its terminating zero.
std::string record(const Telemetry &t, const Tank &k, int layout) {
    char out[MAX_RECORD_LENGTH + 1];
    const char *end = write_record(out, static_cast<Layout>(layout), t, k);
    EXPECT_EQ(*end, '\0');
    EXPECT_EQ(end - out, static_cast<long>(std::strlen(out)));
    return out;
}

// The eight sample values in record order, bit for bit.
void expect_values(const Telemetry &t, const std::vector<float> &want) {
    const float got[] = {t.distance, t.level, t.d1, t.volume, t.temp1, t.temp2, t.vin, t.rssi};
    const char *names[] = {"distance", "level", "d1", "volume", "temp1", "temp2", "vin", "rssi"};
    for (size_t i = 0; i < std::size(got); ++i)
        EXPECT_TRUE(same(got[i], want.at(i))) << names[i];
}

// The decimals have nine significant digits, which single out one float. The last two rows sit
// where a double sqrt or a double pi in the ramps would change the stored values.
TEST(Tick, GivesTheWorkedValuesBitForBit) {
    const struct {
        Tank tank;
        int run_in, r1, r2, r3, run;
        float profile;
        std::vector<float> values;
    } cases[] = {
        // clang-format off
        {RAMP, 2, 25, 10, 30, 3, 1.93750012f, {1.04312491f, 1.95687509f, 547.488037f, 7827.50049f,
                                               26.294096f, 31.941143f, 14.3000002f, 17.0f}},
        {RAMP, 16, 50, 50, 50, 17, 1.72264409f, {1.24290299f, 1.75709701f, 465.825867f, 7028.38818f,
                                                 29.3301258f, 36.4951897f, 13.8999996f, 27.0f}},
        {tank_from_draws(EXAMPLE_DRAWS), 2, 6, 0, 50, 3, 0.244302601f,
                                 {2.29511094f, 0.244888932f, 24.2372704f, 979.555725f,
                                  25.2595196f, 30.3892784f, 14.3999996f, 27.0f}},
        {RAMP, 18, 3, 25, 1, 19, 0.46485582f, {2.53458643f, 0.46541366f, 63.5021896f, 1861.65466f,
                                               28.5355339f, 35.303299f, 14.1499996f, 2.5f}},
        // clang-format on
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.run_in);
        Telemetry plain = start(c.run_in);
        tick(plain, c.tank, 0, c.r2, c.r3);
        EXPECT_TRUE(same(plain.level, c.profile));
        Telemetry t = start(c.run_in);
        tick(t, c.tank, c.r1, c.r2, c.r3);
        EXPECT_EQ(t.cycle_position, c.run);
        expect_values(t, c.values);
    }
}

TEST(Tick, FirstOfTheExampleTankGivesItsKnownValuesAndRecords) {
    // Draws r1 30, r2 12, r3 9 give level 0.08 * 1.012, vin 14.28 and rssi 6.5.
    const Tank k = tank_from_draws(EXAMPLE_DRAWS);
    Telemetry plain = start();
    tick(plain, k, 0, 12, 9);
    EXPECT_TRUE(same(plain.level, k.min_level));
    Telemetry t = start();
    tick(t, k, 30, 12, 9);
    EXPECT_EQ(t.cycle_position, 1);
    EXPECT_EQ(t.drift_step, 1);
    expect_values(
        t, {2.45903993f, 0.0809599981f, 4.60718584f, 323.839996f, 25.0f, 30.0f, 14.2799997f, 6.5f});
    EXPECT_EQ(record(t, k, 1), "2.459,0.081,4.6,323.8,25.0,30.0,0 \n");
    EXPECT_EQ(record(t, k, 2), "2.459,0.081,4.6,323.8,25.0,30.0,14.3, 6.5,0 \n");
    EXPECT_EQ(record(t, k, 3), "2.459,0.081,4.6,323.8,25.0,30.0,14.3, 6.5,0,"
                               "$GPGLL,1301.4728,N,07740.3735,E,081359.129,A,A*59\n");
}

TEST(Tick, DriftStepsGiveTheWorkedPositionsAndMoveTheGllSentence) {
    const struct {
        int step, latint;
        float lat;
        int lonint;
        float lon;
    } rows[] = {
        {1, 130147280, 1301.4727783203125f, 774037376, 7740.37353515625f},
        {8, 130147984, 1301.4798583984375f, 774038848, 7740.388671875f},
        {17, 130148880, 1301.48876953125f, 774040640, 7740.40625f},
        {20, 130149184, 1301.4918212890625f, 774041216, 7740.412109375f},
    };
    for (const auto &r : rows) {
        const Position at = drift_position(r.step);
        EXPECT_EQ(at.latitude_units, r.latint) << r.step;
        EXPECT_TRUE(same(at.latitude, r.lat)) << r.step;
        EXPECT_EQ(at.longitude_units, r.lonint) << r.step;
        EXPECT_TRUE(same(at.longitude, r.lon)) << r.step;
    }
    Telemetry t = start(0, 16);
    tick(t, RAMP, 0, 0, 0);
    EXPECT_EQ(t.drift_step, 17);
    EXPECT_NE(record(t, RAMP, 3).find(",$GPGLL,1301.4888,N,07740.4063,E,081359.129,A,A*"),
              std::string::npos);
}

TEST(Tick, EmptyTankRecordsZeroLevelTopVoltageAndLowestSignal) {
    // A level of zero, the top supply voltage, the lowest signal.
    Telemetry t = start(0, 0, 3);
    const Tank k = tank_of({0, 0, 0, 0, 0, 0, 0, 0});
    tick(t, k, 50, 0, 0);
    EXPECT_EQ(record(t, k, 1), "0.650,0.000,0.0,  0.0,25.0,30.0,3 \n");
    EXPECT_EQ(record(t, k, 2), "0.650,0.000,0.0,  0.0,25.0,30.0,14.4, 2.0,3 \n");
}

// Each record as the receiver's checker judges it after a station name, then what the checker
// cannot know: the records share their leading fields, no value is negative, the lengths stay
// within the ranges of the values, the GLL sentence has the fixed parts and the degrees of the
// drift, and its checksum is worked out here once more.
void check_records(const Telemetry &t, const Tank &k) {
    const std::string s = record(t, k, 1), l = record(t, k, 2), g = record(t, k, 3);
    const struct {
        const std::string &record;
        Layout layout;
    } records[] = {{s, Layout::short_record}, {l, Layout::long_record}, {g, Layout::gps_record}};
    for (const auto &r : records) {
        const receiver::Verdict v =
            receiver::check_message("st," + r.record, Mode::close_after_send);
        ASSERT_TRUE(v.ok) << v.error << ": " << receiver::escape(r.record);
        EXPECT_EQ(v.sequence, t.sequence) << r.record;
        EXPECT_STREQ(layout_name(v.layout), layout_name(r.layout));
    }
    const std::string status = "," + std::to_string(t.sequence);
    const std::string six = s.substr(0, s.size() - status.size() - 2);
    const std::string eight = l.substr(0, l.size() - status.size() - 2);
    EXPECT_EQ(l.compare(0, six.size() + 1, six + ","), 0) << s << l;
    EXPECT_EQ(g.compare(0, eight.size() + status.size() + 1, eight + status + ","), 0) << l << g;
    EXPECT_EQ(g.find('-'), std::string::npos) << g;
    EXPECT_TRUE(s.size() >= 35 && s.size() <= 41 && l.size() >= 45 && l.size() <= 51 &&
                g.size() >= 94 && g.size() <= 100)
        << s << l << g;

    std::string sentence = g.substr(eight.size() + status.size() + 1);
    sentence.replace(12, 4, "mmmm").replace(25, 4, "mmmm");
    EXPECT_EQ(sentence.substr(0, 47), "$GPGLL,1301.mmmm,N,07740.mmmm,E,081359.129,A,A*") << g;
    unsigned sum = 0;
    for (size_t i = g.find('$') + 1; i < g.find('*'); ++i)
        sum ^= static_cast<unsigned char>(g[i]);
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", sum);
    EXPECT_EQ(g.substr(g.find('*') + 1), std::string(hex) + "\n") << g;
}

// Before noise: max_level from the last fill tick to the first fall tick, min_level from the last
// fall tick to the first fill tick. The last fall tick keeps a residue of about 2e-15 of the
// span, which survives the rounding to float only when min_level is 0.
void check_plateaus(const Tank &k) {
    ASSERT_LT(k.min_level, k.max_level);
    std::vector<int> at_max, at_min, want_max, want_min{1};
    Telemetry t = start();
    for (int i = 0; i < k.cycle_ticks; ++i) {
        tick(t, k, 0, 0, 0);
        if (same(t.level, k.max_level))
            at_max.push_back(t.cycle_position);
        if (same(t.level, k.min_level))
            at_min.push_back(t.cycle_position);
    }
    for (int p = k.fill_ticks; p <= k.fill_ticks + k.high_ticks + 1; ++p)
        want_max.push_back(p);
    const int last_fall = k.fill_ticks + k.high_ticks + k.fall_ticks;
    for (int p = k.min_level == 0.0f ? last_fall + 1 : last_fall; p <= k.cycle_ticks; ++p)
        want_min.push_back(p);
    EXPECT_EQ(at_max, want_max);
    EXPECT_EQ(at_min, want_min);
}

TEST(Tick, DrawnTanksHoldTheirLevelsOnBothPlateaus) {
    const std::vector<int> tanks[] = {{std::begin(EXAMPLE_DRAWS), std::end(EXAMPLE_DRAWS)},
                                      {0, 0, 0, 0, 0, 0, 0, 0},
                                      {10, 10, 10, 10, 19, 39, 99, 79},
                                      {0, 10, 9, 10, 0, 0, 0, 0}};
    for (const auto &draws : tanks) {
        SCOPED_TRACE(draws[2]);
        check_plateaus(tank_of(draws));
    }
}

// A seeded unit's ticks take their three draws from its stream in order, through level and
// drift cycles that both wrap.
TEST(Tick, SeededUnitTakesThreeDrawsATickThroughWrappingCycles) {
    for (unsigned seed : {1u, 2u, 20261208u}) {
        SCOPED_TRACE(seed);
        std::srand(seed);
        std::vector<int> stream;
        for (int i = 0; i < 8 + 3 * 300 + 1; ++i)
            stream.push_back(std::rand());

        UnitStream<StdRand> unit(seed);
        const Tank &k = unit.tank();
        const int n = k.cycle_ticks + 21; // both cycles wrap at least once
        Telemetry given = start();
        char message[MAX_MESSAGE_LENGTH + 1];
        for (int i = 0; i < n; ++i) {
            unit.next(message, "st", 31);
            const Telemetry &t = unit.telemetry();
            // The same tick with the next three values of the stream as its draws.
            given.sequence = i % 16;
            const int *r = &stream[8 + 3 * i];
            tick(given, k, r[0] % 51, r[1] % 51, r[2] % 51);
            ASSERT_EQ(std::string(message), "st," + record(given, k, 3));
            ASSERT_TRUE(same(t.level, given.level) && same(t.rssi, given.rssi));
            ASSERT_EQ(t.cycle_position, i % k.cycle_ticks + 1);
            ASSERT_EQ(t.drift_step, i % 20 + 1);
            // Temperatures: lowest at both ends of the cycle, highest in the middle.
            const bool middle = 2 * t.cycle_position == k.cycle_ticks + 1;
            if (middle || t.cycle_position == 1 || t.cycle_position == k.cycle_ticks) {
                ASSERT_TRUE(same(t.temp1, middle ? 30.0f : 25.0f)) << t.cycle_position;
                ASSERT_TRUE(same(t.temp2, middle ? 37.5f : 30.0f)) << t.cycle_position;
            }
            check_records(t, k);
        }
        EXPECT_EQ(std::rand(), stream[8 + 3 * n]);
        check_plateaus(k);
    }
}

} // namespace

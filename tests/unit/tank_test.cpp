// The random draws and the tank they give, with its console report.
#include "unit_support.h"

namespace {

std::string report(const Tank &k) {
    return tank_report(k);
}

TEST(Tank, IsMadeFromItsEightDrawsAndReportedOnTheConsole) {
    const struct {
        std::vector<int> draws;
        Tank tank;
        const char *report;
    } cases[] = {
        {{4, 6, 4, 5, 9, 16, 56, 32},
         {2.29999995f, 2.53999996f, 0.0799999982f, 2.14999986f, 12, 57, 20, 33, 122, 'N', 'E'},
         "tank_height=2.30   emp=2.54  min_level = 0.08  max_level=2.15  \n\n"
         "n_fill=12   n_fall = 20  n_high=57  n_low=33   \n\n"},
        {{0, 0, 0, 0, 0, 0, 0, 0},
         {0.5f, 0.649999976f, 0.0f, 0.5f, 3, 1, 4, 1, 9, 'N', 'E'},
         "tank_height=0.50   emp=0.65  min_level = 0.00  max_level=0.50  \n\n"
         "n_fill=3   n_fall = 4  n_high=1  n_low=1   \n\n"},
        {{10, 10, 10, 10, 19, 39, 99, 79},
         {5.0f, 5.30000019f, 0.200000003f, 4.69999981f, 22, 100, 43, 80, 245, 'N', 'E'},
         "tank_height=5.00   emp=5.30  min_level = 0.20  max_level=4.70  \n\n"
         "n_fill=22   n_fall = 43  n_high=100  n_low=80   \n\n"},
        {{0, 3, 10, 10, 1, 2, 3, 4}, // both levels the same 32-bit value
         {0.5f, 0.694999993f, 0.200000003f, 0.200000003f, 4, 4, 6, 5, 19, 'N', 'E'},
         "tank_height=0.50   emp=0.69  min_level = 0.20  max_level=0.20  \n\n"
         "n_fill=4   n_fall = 6  n_high=4  n_low=5   \n\n"},
    };
    for (const auto &c : cases) {
        const Tank k = tank_of(c.draws);
        EXPECT_TRUE(same_tank(k, c.tank)) << report(k);
        EXPECT_EQ(report(k), c.report);
    }
}

TEST(Tank, EveryHeightDrawGivesOrderedLevelsAndFixedWidthLine) {
    int equal = 0;
    for (int k0 = 0; k0 <= 10; ++k0)
        for (int k1 = 0; k1 <= 10; ++k1)
            for (int k2 = 0; k2 <= 10; ++k2)
                for (int k3 = 0; k3 <= 10; ++k3) {
                    const Tank k = tank_of({k0, k1, k2, k3, 0, 0, 0, 0});
                    ASSERT_LE(k.min_level, k.max_level);
                    ASSERT_GE(k.empty_distance - k.max_level, 0.1499f);
                    equal += k.min_level == k.max_level;
                    ASSERT_EQ(report(k).find('\n'), 63u) << report(k);
                }
    EXPECT_EQ(equal, 11); // height 0.50 with both level draws 10, whatever the sensor draw
}

TEST(Tank, EachDrawTakesExactlyOneValue) {
    const int sizes[] = {11, 1, 20, 40, 100, 80, 51, 1, 51, RAND_MAX};
    std::srand(20261208u);
    std::vector<int> reference;
    for (size_t i = 0; i <= std::size(sizes); ++i)
        reference.push_back(std::rand());
    StdRand rng(20261208u);
    for (size_t i = 0; i < std::size(sizes); ++i)
        EXPECT_EQ(draw(rng, sizes[i]), reference[i] % sizes[i]) << "call " << i;
    EXPECT_EQ(std::rand(), reference.back());
}

TEST(Tank, SeedDecidesTheTank) {
    const int sizes[TANK_DRAWS] = {11, 11, 11, 11, 20, 40, 100, 80};
    for (unsigned seed = 1; seed <= 40; ++seed) {
        std::srand(seed);
        std::vector<int> draws;
        for (int size : sizes)
            draws.push_back(std::rand() % size);
        const int next = std::rand();
        const UnitStream<StdRand> unit(seed);
        EXPECT_EQ(std::rand(), next) << "seed " << seed;
        EXPECT_TRUE(same_tank(unit.tank(), tank_of(draws))) << "seed " << seed;
    }
}

} // namespace

// Message assembly: name, comma, the selected record, CR LF in keep-open mode; the echo formats.
#include "crt_rand.h"
#include "unit_support.h"

namespace {

record_buffers buffers;
const tank_parms TANK = tank_of(EXAMPLE_DRAWS);

TEST(MessageTest, EachCodeFramesItsRecord) {
    const struct {
        int data_type;
        const char *echo;
        bool keep_open;
        const char *tail; // the last bytes of the message
    } codes[] = {
        {10, "shrt opn", true, ",0 \n\r\n"}, {11, "shrt cls", false, ",0 \n"},
        {20, "long opn", true, ",0 \n\r\n"}, {21, "long cls", false, ",0 \n"},
        {30, "gps opn", true, "\n\r\n"},     {31, "gps cls", false, "\n"},
    };
    for (const auto &c : codes) {
        SCOPED_TRACE(c.data_type);
        // The records of the same tick, made directly from the same draws.
        telemetry ref = fresh_telemetry();
        ref.sms_status = 0;
        std::srand(99);
        unit_tick(randgen_tick_draws(), &TANK, &ref);
        char record[MAX_RECORD_LENGTH + 1];
        write_record(record, c.data_type / 10, &ref, &TANK);
        const std::string expected = std::string("pump-7,") + record + (c.keep_open ? "\r\n" : "");

        telemetry tm = fresh_telemetry();
        char sendbuf[LARGE_SIZE];
        std::memset(sendbuf, 'Z', sizeof sendbuf);
        std::srand(99);
        const int length = assemble_message(sendbuf, "pump-7", c.data_type, &TANK, &tm, &buffers);
        EXPECT_EQ(sendbuf, expected);
        EXPECT_EQ(length, static_cast<int>(expected.size()));
        EXPECT_EQ(expected.substr(expected.size() - std::strlen(c.tail)), c.tail);
        for (int i = length; i < LARGE_SIZE; ++i)
            ASSERT_EQ(sendbuf[i], '\0') << "byte " << i;
        EXPECT_EQ(tm.sms_status, 0);
        EXPECT_STREQ(echo_tag(c.data_type), c.echo);
        EXPECT_EQ(keeps_connection(c.data_type), c.keep_open);
    }
}

TEST(MessageTest, SequenceNumbersRunZeroToFifteen) {
    telemetry tm = fresh_telemetry();
    char sendbuf[LARGE_SIZE];
    for (int i = 0; i < 35; ++i) {
        const int length = assemble_message(sendbuf, "st", 20, &TANK, &tm, &buffers);
        const std::string message(sendbuf, static_cast<size_t>(length));
        const std::string counter = "," + std::to_string(i % 16) + " \n\r\n";
        ASSERT_EQ(message.size() - message.rfind(counter), counter.size()) << message;
        EXPECT_EQ(tm.sms_status, i % 16);
        EXPECT_EQ(tm.run_indx, i % TANK.n_tot + 1);
        EXPECT_EQ(tm.gps_indx, i % 20 + 1);
    }
}

TEST(MessageTest, LongestNameCopiedWhole) {
    const std::string name = "north,yard;tank#12=main-outlet";
    ASSERT_EQ(name.size(), 30u);
    telemetry tm = fresh_telemetry();
    char sendbuf[LARGE_SIZE];
    const int length = assemble_message(sendbuf, name.c_str(), 31, &TANK, &tm, &buffers);
    EXPECT_EQ(length, static_cast<int>(std::strlen(sendbuf)));
    EXPECT_EQ(std::string(sendbuf, 31), name + ",");
    EXPECT_STREQ(sendbuf + 31, buffers.midbuflg);
}

// A fleet unit with glibc_rand(S) sends what the single unit sends after std::srand(S): the same
// tank, then byte for byte the same messages, for every code and across counter and drift wraps.
TEST(MessageTest, ComposedMessagesAreTheSingleUnits) {
#ifndef __GLIBC__
    GTEST_SKIP() << "std::rand is not the GNU C library's here";
#else
    for (const int code : {10, 11, 20, 21, 30, 31}) {
        for (const unsigned seed : {3u, 1765000000u}) {
            SCOPED_TRACE(std::to_string(code) + " seed " + std::to_string(seed));
            const tank_parms single_tank = seeded_tank(seed); // std::srand(seed) first
            telemetry single = fresh_telemetry();
            glibc_rand rng(seed);
            const tank_parms unit_tank = draw_tank(rng);
            ASSERT_TRUE(same_tank(single_tank, unit_tank));
            telemetry unit = fresh_telemetry();
            char sendbuf[LARGE_SIZE];
            char out[MAX_MESSAGE_LENGTH + 1];
            for (int i = 0; i < 45; ++i) {
                const int length =
                    assemble_message(sendbuf, "pump-7", code, &single_tank, &single, &buffers);
                const int composed =
                    compose_message(out, "pump-7", code, &unit_tank, &unit, draw_tick(rng));
                ASSERT_EQ(std::string(out, static_cast<size_t>(composed)), sendbuf) << i;
                ASSERT_EQ(composed, length);
                ASSERT_EQ(out[composed], '\0');
            }
            EXPECT_EQ(unit.sms_status, single.sms_status);
            EXPECT_EQ(rng.next(), std::rand());
        }
    }
#endif
}

} // namespace

// Message assembly: name, comma, the selected record, CR LF in keep-open mode; the echo tags.
#include "unit_support.h"

namespace {

const Tank TANK = tank_from_draws(EXAMPLE_DRAWS);

TEST(Message, EachCodeFramesItsRecord) {
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
        // The record of the same tick, made directly from the same draws.
        Telemetry ref = START_TELEMETRY;
        ref.sequence = 0;
        advance_tick({7, 8, 9}, TANK, ref);
        char record[MAX_RECORD_LENGTH + 1];
        write_record(record, layout_of(c.data_type), ref, TANK);
        const std::string expected = std::string("pump-7,") + record + (c.keep_open ? "\r\n" : "");

        Telemetry tm = START_TELEMETRY;
        char out[MAX_MESSAGE_LENGTH + 1];
        std::memset(out, 'Z', sizeof out);
        const int length = compose_message(out, "pump-7", c.data_type, TANK, tm, {7, 8, 9});
        EXPECT_EQ(out, expected);
        EXPECT_EQ(length, static_cast<int>(expected.size()));
        EXPECT_EQ(expected.substr(expected.size() - std::strlen(c.tail)), c.tail);
        EXPECT_EQ(tm.sequence, 0);
        EXPECT_EQ(echo_tag(c.data_type), c.echo);
        EXPECT_EQ(keeps_connection(c.data_type), c.keep_open);
    }
}

TEST(Message, SequenceNumbersRunZeroToFifteen) {
    Telemetry tm = START_TELEMETRY;
    char out[MAX_MESSAGE_LENGTH + 1];
    for (int i = 0; i < 35; ++i) {
        const int length = compose_message(out, "st", 20, TANK, tm, {i % 51, 3, 4});
        const std::string message(out, static_cast<size_t>(length));
        const std::string counter = "," + std::to_string(i % 16) + " \n\r\n";
        ASSERT_EQ(message.size() - message.rfind(counter), counter.size()) << message;
        EXPECT_EQ(tm.sequence, i % 16);
        EXPECT_EQ(tm.cycle_position, i % TANK.cycle_ticks + 1);
        EXPECT_EQ(tm.drift_step, i % 20 + 1);
    }
}

TEST(Message, LongestNameIsCopiedWhole) {
    const std::string name = "north,yard;tank#12=main-outlet";
    ASSERT_EQ(name.size(), 30u);
    Telemetry tm = START_TELEMETRY;
    char out[MAX_MESSAGE_LENGTH + 1];
    const int length = compose_message(out, name.c_str(), 31, TANK, tm, {50, 50, 50});
    EXPECT_EQ(length, static_cast<int>(std::strlen(out)));
    EXPECT_EQ(std::string(out, 31), name + ",");
    char record[MAX_RECORD_LENGTH + 1];
    write_record(record, Layout::gps_record, tm, TANK);
    EXPECT_STREQ(out + 31, record);
}

} // namespace

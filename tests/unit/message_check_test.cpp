// The checker of one message: well-formed messages of every layout are taken apart, malformed
// ones refused with their reason; bytes are shown escaped.
#include "receiver/message_check.h"
#include "receiver_support.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <string>

using namespace vandry;
using namespace vandry::receiver;

namespace {

const std::string NAME30 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123";
const std::string NAME30_COMMAS = "A,CDEFGHIJKLMNOPQRSTUVWXYZ01,3";

struct Good {
    std::string message;
    Mode mode;
    Layout layout;
    std::string station;
    int sequence;
};

void PrintTo(const Good &g, std::ostream *os) {
    *os << escape(g.message);
}

class GoodMessage : public ::testing::TestWithParam<Good> {};

TEST_P(GoodMessage, IsAccepted) {
    const Good &g = GetParam();
    const Verdict v = check_message(g.message, g.mode);
    ASSERT_TRUE(v.ok) << v.error << "\n" << escape(g.message);
    EXPECT_EQ(v.mode, g.mode);
    EXPECT_EQ(v.layout, g.layout);
    EXPECT_EQ(v.station, g.station);
    EXPECT_EQ(v.sequence, g.sequence);
    const std::size_t line_end = g.layout == Layout::gps_record ? 1 : 2;
    EXPECT_EQ(v.text_length, g.message.size() - line_end - (g.mode == OPEN ? 2 : 0));
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, GoodMessage,
    ::testing::Values(
        Good{"ST01," + SHORT_REC + CRLF, OPEN, Layout::short_record, "ST01", 0},
        Good{"ST01," + SHORT_REC, CLOSE, Layout::short_record, "ST01", 0},
        Good{"ST01," + LONG_REC + CRLF, OPEN, Layout::long_record, "ST01", 0},
        Good{"ST01," + LONG_REC, CLOSE, Layout::long_record, "ST01", 0},
        Good{"ST01," + GPS_REC + CRLF, OPEN, Layout::gps_record, "ST01", 0},
        Good{"ST01," + GPS_REC, CLOSE, Layout::gps_record, "ST01", 0},
        Good{"a,b,c," + SHORT_REC, CLOSE, Layout::short_record, "a,b,c", 0},
        Good{"1,2.5," + LONG_REC + CRLF, OPEN, Layout::long_record, "1,2.5", 0},
        Good{"x,$y," + GPS_REC, CLOSE, Layout::gps_record, "x,$y", 0},
        Good{NAME30 + "," + LONG_REC, CLOSE, Layout::long_record, NAME30, 0},
        Good{NAME30_COMMAS + "," + GPS_REC + CRLF, OPEN, Layout::gps_record, NAME30_COMMAS, 0},
        // Level zero; the largest values, wider than their conversions; sequence 15.
        Good{"T,0.650,0.000,0.0,  0.0,25.0,30.0,9 \n", CLOSE, Layout::short_record, "T", 9},
        Good{"T,0.050,5.100,2303.5,20400.0,27.5,37.5,13.9,27.0,15 \n\r\n", OPEN,
             Layout::long_record, "T", 15},
        Good{"T,2.459,0.081,4.6,323.8,25.0,30.0,14.3, 6.5,12,$GPGLL,1301.4738,N,07740.4063,E,"
             "081359.129,A,A*5B\n",
             CLOSE, Layout::gps_record, "T", 12}));

struct Bad {
    const char *what;
    std::string message;
    Mode mode;
    std::string error; // a part of the description
};

void PrintTo(const Bad &b, std::ostream *os) {
    *os << escape(b.message);
}

class BadMessage : public ::testing::TestWithParam<Bad> {};

TEST_P(BadMessage, IsRefusedWithReason) {
    const Bad &b = GetParam();
    const Verdict v = check_message(b.message, b.mode);
    ASSERT_FALSE(v.ok) << escape(b.message);
    if (std::getenv("SHOW_ERRORS"))
        std::printf("%s\n", v.error.c_str());
    EXPECT_NE(v.error.find(b.error), std::string::npos)
        << "got: " << v.error << "\nwanted: " << b.error;
    EXPECT_EQ(v.sequence, -1);
    EXPECT_TRUE(v.station.empty());
}

std::string with(std::string s, const std::string &from, const std::string &to) {
    return s.replace(s.find(from), from.size(), to);
}

INSTANTIATE_TEST_SUITE_P(
    Malformations, BadMessage,
    ::testing::Values(
        Bad{"empty", "", CLOSE, "empty message"},
        Bad{"no CR LF, keep-open", "ST01," + SHORT_REC, OPEN, "missing CR LF"},
        Bad{"CR LF, close-after-send", "ST01," + LONG_REC + CRLF, CLOSE,
            "CR LF at the end of a close-after-send message"},
        Bad{"two run together", "ST01," + SHORT_REC + "ST01," + SHORT_REC + CRLF, OPEN,
            "CR LF missing between two messages"},
        Bad{"trailing bytes", "ST01," + GPS_REC + "xyz", CLOSE, "3 trailing bytes"},
        Bad{"cut short", "ST01,2.459,0.081,4.6,323.8,25.0,30.0,0 ", CLOSE, "no line feed"},
        Bad{"no LF before CR LF", "ST01,2.459,0.081,4.6,323.8,25.0,30.0,0 \r\n", OPEN,
            "no line feed before the CR LF"},
        Bad{"stray CR", "ST01,2.459,0.081,4.6,323.8,25.0,30.0,0\r \n", CLOSE, "stray CR"},
        Bad{"zero byte",
            std::string("ST\0"
                        "01,",
                        6) +
                SHORT_REC,
            CLOSE, "zero byte at offset 2"},
        Bad{"no blank, short", "ST01," + with(SHORT_REC, "0 \n", "0\n"), CLOSE,
            "short record: missing blank before the line feed"},
        Bad{"no blank, long", "ST01," + with(LONG_REC, "0 \n", "0\n"), CLOSE,
            "long record: missing blank"},
        Bad{"blank, gps", "ST01," + with(GPS_REC, "\n", " \n"), CLOSE,
            "GPS record: blank before the line feed"},
        Bad{"decimals", "ST01," + with(SHORT_REC, "2.459", "2.46"), CLOSE,
            "field 1 (distance) '2.46' has 2 decimals, %4.3f prints 3"},
        Bad{"not a number", "ST01," + with(LONG_REC, "0.081", "0.0x1"), CLOSE,
            "field 2 (level) '0.0x1' is not a number"},
        Bad{"exponent", "ST01," + with(SHORT_REC, "323.8", "3.2e2"), CLOSE,
            "field 4 (volume) '3.2e2' is not a number"},
        Bad{"no blank fill", "ST01," + with(SHORT_REC, "323.8", "23.8"), CLOSE,
            "field 4 (volume) '23.8' is filled wrongly: %5.1f prints ' 23.8'"},
        Bad{"rssi unfilled", "ST01," + with(LONG_REC, " 6.5", "6.5"), CLOSE,
            "field 8 (rssi) '6.5' is filled wrongly: %4.1f prints ' 6.5'"},
        Bad{"rssi overfilled", "ST01," + with(LONG_REC, " 6.5", "  6.5"), CLOSE,
            "field 8 (rssi) '  6.5' is filled wrongly"},
        Bad{"leading zero", "ST01," + with(SHORT_REC, "25.0", "025.0"), CLOSE,
            "field 5 (temp1) '025.0' has a leading zero"},
        Bad{"sequence 16", "ST01," + with(SHORT_REC, "0 \n", "16 \n"), CLOSE,
            "field 7 (sequence) '16' is out of the range 0-15"},
        Bad{"sequence 01", "ST01," + with(LONG_REC, "0 \n", "01 \n"), CLOSE,
            "field 9 (sequence) '01' has a leading zero"},
        Bad{"6 fields", "ST01," + with(SHORT_REC, "4.6,", ""), CLOSE,
            "wrong field count: 6 fields after the first comma"},
        Bad{"8 fields", "ST01," + with(LONG_REC, " 6.5,", ""), CLOSE,
            "wrong field count: 8 fields"},
        Bad{"10 fields", "ST01," + with(LONG_REC, " 6.5,", " 6.5,7.0,"), CLOSE,
            "or wrong field count: 10 fields"},
        Bad{"no comma", "ST01\n", CLOSE, "no comma"},
        Bad{"empty name", "," + SHORT_REC, CLOSE, "empty station name"},
        Bad{"31-byte name", NAME30 + "4," + LONG_REC, CLOSE, "station name of 31 bytes"},
        Bad{"blank in name", "ST 01," + SHORT_REC, CLOSE, "whitespace in the station name"},
        Bad{"tab in name", "ST\t01," + GPS_REC, CLOSE, "whitespace in the station name"},
        Bad{"wrong checksum", "ST01," + HEAD + GLL + "58\n", CLOSE,
            "bad checksum: expected 59, found 58"},
        Bad{"fixed checksum 57", "ST01," + HEAD + GLL + "57\n" + CRLF, OPEN,
            "bad checksum: expected 59, found 57"},
        Bad{"blank-filled longitude", "ST01," + HEAD + with(GLL, "07740", " 7740") + "49\n", CLOSE,
            "longitude ' 7740.3735' is blank-filled, dddmm.mmmm is zero-filled: '07740.3735'"},
        Bad{"blank fill and fixed checksum", "ST01," + HEAD + with(GLL, "07740", " 7740") + "57\n",
            CLOSE, "zero-filled: '07740.3735'; bad checksum: expected 49, found 57"},
        Bad{"lower-case checksum", "ST01," + HEAD + with(GLL, "4728", "4738") + "5b\n", CLOSE,
            "checksum '5b' is not two upper-case hex digits"},
        Bad{"no checksum", "ST01," + HEAD + with(GLL, "*", "") + "\n", CLOSE, "without '*'"},
        Bad{"sentence fields", "ST01," + HEAD + with(GLL, "081359.129,", "") + "59\n", CLOSE,
            "GLL sentence of 7 fields"},
        Bad{"short latitude", "ST01," + HEAD + with(GLL, "1301.4728", "301.4728") + "59\n", CLOSE,
            "latitude '301.4728' is not ddmm.mmmm"},
        Bad{"gps head fields", "ST01," + with(HEAD, "4.6,", "") + GLL + "59\n", CLOSE,
            "GPS record: wrong field count: 8 fields"},
        Bad{"gps head field", "ST01," + with(HEAD, "14.3", "14.30") + GLL + "59\n", CLOSE,
            "GPS record: field 7 (vin) '14.30' has 2 decimals"}),
    [](const ::testing::TestParamInfo<Bad> &info) {
        std::string name;
        for (const char c : std::string(info.param.what))
            name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name;
    });

TEST(Escape, MakesEveryByteVisible) {
    EXPECT_EQ(escape(std::string("a,\r\n\t\\\x01\xff", 8)), "a,\\r\\n\\t\\\\\\x01\\xff");
    EXPECT_EQ(layout_name(Layout::gps_record), std::string("gps"));
    EXPECT_EQ(mode_name(CLOSE), std::string("close-after-send"));
}

} // namespace

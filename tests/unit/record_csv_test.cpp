// Messages as CSV rows: quoting, the values as printed, malformed rows, times.
#include "message_check.h"
#include "record_csv.h"

#include <gtest/gtest.h>

#include <string>

using namespace vandry;
using namespace vandry::check;

namespace {

const std::string LONG_REC = "2.459,0.081,4.6,323.8,25.0,30.0,14.3, 6.5,0 \n";
const std::string GPS_REC = "2.459,0.081,4.6,323.8,25.0,30.0,14.3, 6.5,0,"
                            "$GPGLL,1301.4728,N,07740.3735,E,081359.129,A,A*59\n";
constexpr Mode OPEN = Mode::keep_open;
constexpr Mode CLOSE = Mode::close_after_send;

TEST(Csv, RowsQuoteWhereNeededAndKeepTheValuesAsPrinted) {
    EXPECT_EQ(csv_field("a,\"b\""), "\"a,\"\"b\"\"\"");
    EXPECT_EQ(csv_field("plain"), "plain");
    EXPECT_EQ(
        csv_row("", "", check_message("a\"b," + LONG_REC, CLOSE), ""),
        ",,\"a\"\"b\",long,close-after-send,0,2.459,0.081,4.6,323.8,25.0,30.0,14.3,6.5,,,,\r\n");
    EXPECT_EQ(csv_row("t", "7", check_message("X," + GPS_REC + "\r\n", OPEN), "").substr(0, 28),
              "t,7,X,gps,keep-open,0,2.459,");
    EXPECT_NE(csv_row("t", "7", check_message("X," + GPS_REC + "\r\n", OPEN), "")
                  .find(",14.3,6.5,1301.4728,07740.3735,,\r\n"),
              std::string::npos);
    EXPECT_EQ(
        csv_row("t", "1", check_message("x\n", CLOSE), "x,y"),
        "t,1,,,close-after-send,,,,,,,,,,,,no comma: not a station name and a record,\"x,y\"\r\n");
    EXPECT_EQ(iso8601_utc(0), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(iso8601_utc(951782400123), "2000-02-29T00:00:00.123Z");
    EXPECT_EQ(iso8601_utc(1796780999999), "2026-12-09T01:49:59.999Z");
}

} // namespace

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
    const std::string quoted_name = "a\"b," + LONG_REC;
    EXPECT_EQ(csv_row({}, check_message(quoted_name, CLOSE), quoted_name),
              ",,\"a\"\"b\",long,close-after-send,0,,2.459,0.081,4.6,323.8,25.0,30.0,14.3,6.5,,,,,"
              "\"a\"\"b,2.459,0.081,4.6,323.8,25.0,30.0,14.3, 6.5,0\"\r\n");
    const std::string gps = "X," + GPS_REC + "\r\n";
    const std::string row =
        csv_row({"t", "7", "41", "after 2 lost"}, check_message(gps, OPEN), gps);
    EXPECT_EQ(row.substr(0, 31), "t,7,X,gps,keep-open,0,41,2.459,");
    EXPECT_NE(row.find(",14.3,6.5,1301.4728,07740.3735,,after 2 lost,\"X,2.459,"),
              std::string::npos);
    EXPECT_EQ(row.substr(row.size() - 10), ",A,A*59\"\r\n");
    EXPECT_EQ(csv_row({"t", "1", "", ""}, check_message("x\n", CLOSE), "x,y"),
              "t,1,,,close-after-send,,,,,,,,,,,,,no comma: not a station name and a record,,"
              "\"x,y\"\r\n");
    // A malformed message keeps its first bytes, and the row says how many there were.
    const std::string junk(1000, 'j');
    const std::string kept = csv_row({}, check_message(junk, CLOSE), junk);
    EXPECT_NE(kept.find(std::string(MALFORMED_BYTES_KEPT, 'j') +
                        "... (1000 bytes, the first 128 kept)\"\r\n"),
              std::string::npos);
    EXPECT_LT(kept.size(), 300u);
    EXPECT_EQ(iso8601_utc(0), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(iso8601_utc(951782400123), "2000-02-29T00:00:00.123Z");
    EXPECT_EQ(iso8601_utc(1796780999999), "2026-12-09T01:49:59.999Z");
}

// CSV as sqlite3 -csv and PostgreSQL's \copy write it, read whole or in pieces of any size.
TEST(Csv, RecordsAreReadAsWrittenInAnyPieces) {
    const std::string text = "station,message\r\nST01,\"ST01,1.0, \"\"q\"\"\"\n"
                             "\"a,b\",\"two\nlines\"\r\nlast,row";
    const std::string want = "station|message;ST01|ST01,1.0, \"q\";a,b|two\nlines;last|row;";
    for (const std::size_t piece : {text.size(), std::size_t{1}, std::size_t{3}}) {
        std::string pending, got;
        std::size_t at = 0;
        for (std::size_t fed = 0; fed <= text.size(); fed += piece) {
            pending += text.substr(fed, piece);
            const bool last = fed + piece >= text.size();
            while (const auto record = read_csv_record(pending, &at, last)) {
                for (std::size_t i = 0; i < record->size(); ++i)
                    got += (i > 0 ? "|" : "") + (*record)[i];
                got += ";";
            }
            pending.erase(0, at);
            at = 0;
        }
        EXPECT_EQ(got, want) << "pieces of " << piece;
    }
}

} // namespace

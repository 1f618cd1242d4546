// Messages as CSV rows: quoting, the values as printed, malformed rows, times.
#include "receiver/message_check.h"
#include "receiver/record_csv.h"
#include "receiver_support.h"

#include <gtest/gtest.h>

#include <string>

using namespace vandry;
using namespace vandry::receiver;

namespace {

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

// Records and the reason a text is no CSV, read whole or in pieces of any size: what each
// text gives, records as fields joined by "|" and ended by ";" (with their line as "@N" when it
// is not the record's place), then the reason if any.
struct CsvCase {
    std::string text, records;
};

std::string read_in_pieces(const std::string &text, std::size_t piece) {
    CsvReader reader;
    std::string got;
    unsigned long long expected_line = 1;
    const CsvReader::Take take = [&](CsvRecord &r) {
        for (std::size_t i = 0; i < r.fields.size(); ++i)
            got += (i > 0 ? "|" : "") + r.fields[i].substr(0, 8) +
                   (r.fields[i].size() > 8 ? "+" + std::to_string(r.fields[i].size()) : "");
        got += (r.line != expected_line ? "@" + std::to_string(r.line) : "") +
               (r.too_long ? "!" : "") + ";";
        expected_line = r.line + 1;
        return true;
    };
    for (std::size_t fed = 0; fed < text.size(); fed += piece)
        if (std::string e = reader.feed(std::string_view(text).substr(fed, piece), take);
            !e.empty())
            return got + " " + e;
    const std::string e = reader.finish(take);
    return got + (e.empty() ? "" : " " + e);
}

TEST(Csv, RecordsAreReadAsWrittenInAnyPiecesAndBrokenTextIsSaid) {
    const CsvCase cases[] = {
        // As sqlite3 -csv and PostgreSQL's \copy write it.
        {"station,message\r\nST01,\"ST01,1.0, \"\"q\"\"\"\n\"a,b\",\"two\nlines\"\r\nlast,row",
         "station|message;ST01|ST01,1.0+13;a,b|two\nline+9;last|row@5;"},
        {"\xEF\xBB\xBFmessage\r\nA,1\r\n", "message;A|1;"}, // a byte order mark is skipped
        {"\xEF\xBBx\n", "\xEF\xBBx;"},                      // the start of one is text
        {"a\n\"b\nc\nd,e\n", "a; unterminated quoted field from line 2"},
        {"a\nb\"c\nd\n", "a; quote inside an unquoted field on line 2"},
        {"a\n\"b\"c\n", "a; text after a quoted field on line 2"},
        {"x," + std::string(MAX_CSV_FIELD + 10, 'm') + ",y\nz\n", "x|mmmmmmmm+65536|y!;z;"},
    };
    for (const CsvCase &c : cases)
        for (const std::size_t piece : {c.text.size(), std::size_t{1}, std::size_t{3}})
            EXPECT_EQ(read_in_pieces(c.text, piece), c.records)
                << "pieces of " << piece << ": " << c.text.substr(0, 40);
}

} // namespace

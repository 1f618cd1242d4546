// Messages as rows of a CSV file (RFC 4180: fields quoted where needed, rows ended by CR LF),
// one row per message, so that a recorded run can be read by a spreadsheet, a script or a plot.
#ifndef VANDRY_RECEIVER_RECORD_CSV_H
#define VANDRY_RECEIVER_RECORD_CSV_H

#include "core/csv_text.h"
#include "receiver/message_check.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vandry::receiver {

// The header row: time, connection, station, layout, mode, sequence, tick, the eight values,
// latitude, longitude, error, check and message.
extern const char CSV_HEADER[];

// Where a row's message came from and what its station's stream says of it. Any may be empty:
// a message read from a recording was never received; without a plan no tick is known.
struct RowContext {
    std::string time, connection, tick;
    std::string check; // what the stream says: "after 2 lost", "duplicate", "altered: ...", ...
};

// The row of one checked message. The values are those that the record printed, without fill
// blanks, and the message is its text up to the record's line end; a malformed message has its
// reason under error and its bytes, escaped, under message, at most MALFORMED_BYTES_KEPT of them
// (the row says how many there were).
std::string csv_row(const RowContext &context, const Verdict &verdict, std::string_view message);

// A CSV record (RFC 4180) and the line that it starts on.
struct CsvRecord {
    std::vector<std::string> fields;
    unsigned long long line = 0;
    bool too_long = false; // a field was longer than MAX_CSV_FIELD: it holds its first bytes
};

// The longest field kept whole: a message is at most a few hundred bytes.
constexpr std::size_t MAX_CSV_FIELD = 65536;

// Reads CSV records from pieces of text as they come, in time linear in the bytes: the state
// of a record is kept between pieces. A UTF-8 byte order mark before the first record is
// skipped. The reasons, with their line: "unterminated quoted field" (at the end),
// "quote inside an unquoted field", "text after a quoted field".
class CsvReader {
  public:
    using Take = std::function<bool(CsvRecord &)>; // false: read no further
    // Hands each record that the bytes complete to take; the reason when the text is no CSV.
    std::string feed(std::string_view bytes, const Take &take);
    // The end of the text: its last record, even without a line end.
    std::string finish(const Take &take);

  private:
    enum class State : std::uint8_t { field_start, unquoted, quoted, quote_in_quoted, after_cr };
    std::string step(char c, const Take &take);
    bool end_record(const Take &take);
    void add(char c);
    std::string error(const char *what) const;

    CsvRecord record_{{std::string()}, 1, false};
    State state_ = State::field_start;
    unsigned long long line_ = 1;
    std::size_t bom_ = 0; // bytes of a byte order mark seen at the start
    bool started_ = false, stopped_ = false;
};

constexpr std::size_t MALFORMED_BYTES_KEPT = 128;

// A CSV file written a row at a time, each row whole or not at all: when a row cannot be
// written whole (a full disk), the file is cut back to the rows before it.
class CsvFile {
  public:
    CsvFile() = default;
    CsvFile(const CsvFile &) = delete;
    CsvFile &operator=(const CsvFile &) = delete;
    ~CsvFile();
    // Creates the file with the header row; false when that cannot be done.
    bool open(const std::string &path);
    // False once a row could not be written; nothing more is written after it.
    bool write(const std::string &row);
    [[nodiscard]] bool ok() const { return file_ != nullptr && ok_; }

  private:
    std::FILE *file_ = nullptr;
    std::string path_;
    std::uintmax_t size_ = 0; // bytes of the whole rows written
    bool ok_ = true;
};

} // namespace vandry::receiver

#endif

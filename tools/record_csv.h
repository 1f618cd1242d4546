// Messages as rows of a CSV file (RFC 4180: fields quoted where needed, rows ended by CR LF),
// one row per message, so that a recorded run can be read by a spreadsheet, a script or a plot.
#ifndef VANDRY_RECORD_CSV_H
#define VANDRY_RECORD_CSV_H

#include "csv_text.h"
#include "message_check.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vandry::check {

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

// The fields of one CSV record (RFC 4180), read from text at *at, which moves past it; none at
// the end of the text. A record whose end is not in text yet (an open quote, no line end, and
// more may come) is not read unless text is all there is (last).
std::optional<std::vector<std::string>> read_csv_record(std::string_view text, std::size_t *at,
                                                        bool last);

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

} // namespace vandry::check

#endif

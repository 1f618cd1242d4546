#include "receiver/record_csv.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

namespace vandry::receiver {

const char CSV_HEADER[] =
    "time,connection,station,layout,mode,sequence,tick,distance,level,d1,volume,temp1,temp2,vin,"
    "rssi,latitude,longitude,error,check,message\r\n";

namespace {

constexpr std::size_t VALUE_COLUMNS = 10;

} // namespace

std::string csv_row(const RowContext &context, const Verdict &verdict, std::string_view message) {
    std::string row = csv_field(context.time) + "," + csv_field(context.connection) + ",";
    if (verdict.ok)
        row += csv_field(verdict.station) + "," + layout_name(verdict.layout) + "," +
               mode_name(verdict.mode) + "," + std::to_string(verdict.sequence);
    else
        row += ",," + std::string(mode_name(verdict.mode)) + ",";
    row += "," + context.tick;
    for (std::size_t i = 0; i < VALUE_COLUMNS; ++i)
        row += "," + (i < verdict.values.size() ? verdict.values[i] : std::string());
    if (verdict.ok) {
        row += ",," + csv_field(context.check) + "," +
               csv_field(message.substr(0, verdict.text_length));
    } else {
        std::string kept = escape(message.substr(0, MALFORMED_BYTES_KEPT));
        if (message.size() > MALFORMED_BYTES_KEPT)
            kept += "... (" + std::to_string(message.size()) + " bytes, the first " +
                    std::to_string(MALFORMED_BYTES_KEPT) + " kept)";
        row +=
            "," + csv_field(verdict.error) + "," + csv_field(context.check) + "," + csv_field(kept);
    }
    return row + "\r\n";
}

void CsvReader::add(char c) {
    std::string &field = record_.fields.back();
    if (field.size() < MAX_CSV_FIELD)
        field += c;
    else
        record_.too_long = true;
}

bool CsvReader::end_record(const Take &take) {
    const bool go_on = take(record_);
    record_.fields.assign(1, std::string());
    record_.line = line_;
    record_.too_long = false;
    state_ = State::field_start;
    return go_on;
}

std::string CsvReader::error(const char *what) const {
    return std::string(what) + " on line " + std::to_string(line_);
}

// One byte of the text; the reason when it makes the text no CSV.
std::string CsvReader::step(char c, const Take &take) {
    switch (state_) {
    case State::quoted:
        if (c == '"')
            state_ = State::quote_in_quoted;
        else
            add(c);
        line_ += c == '\n' ? 1 : 0;
        return std::string();
    case State::quote_in_quoted:
        if (c == '"') {
            add(c);
            state_ = State::quoted;
            return std::string();
        }
        if (c != ',' && c != '\n' && c != '\r')
            return error("text after a quoted field");
        break;
    case State::after_cr:
        state_ = State::field_start;
        if (c == '\n')
            return std::string(); // CR LF: one line end
        break;
    default:
        break;
    }
    if (c == '"' && state_ == State::field_start) {
        state_ = State::quoted;
    } else if (c == '"') {
        return error("quote inside an unquoted field");
    } else if (c == ',') {
        record_.fields.emplace_back();
        state_ = State::field_start;
    } else if (c == '\n' || c == '\r') {
        ++line_;
        stopped_ = !end_record(take);
        state_ = c == '\r' ? State::after_cr : State::field_start;
    } else {
        add(c);
        state_ = State::unquoted;
    }
    return std::string();
}

std::string CsvReader::feed(std::string_view bytes, const Take &take) {
    static constexpr std::string_view BOM = "\xEF\xBB\xBF";
    std::size_t i = 0;
    for (; !started_ && i < bytes.size(); ++i) { // a byte order mark, in any pieces
        if (bytes[i] != BOM[bom_]) {
            started_ = true;
            for (std::size_t b = 0; b < bom_; ++b) // not one after all: its bytes are text
                if (std::string e = step(BOM[b], take); !e.empty())
                    return e;
            break;
        }
        started_ = ++bom_ == BOM.size();
    }
    for (; i < bytes.size() && !stopped_; ++i)
        if (std::string e = step(bytes[i], take); !e.empty())
            return e;
    return std::string();
}

std::string CsvReader::finish(const Take &take) {
    if (!started_ && bom_ > 0) { // the start of a byte order mark, and nothing more
        started_ = true;
        for (std::size_t b = 0; b < bom_; ++b)
            if (std::string e = step("\xEF\xBB\xBF"[b], take); !e.empty())
                return e;
    }
    if (state_ == State::quoted)
        return "unterminated quoted field from line " + std::to_string(record_.line);
    const bool pending = state_ == State::unquoted || state_ == State::quote_in_quoted ||
                         (state_ == State::field_start && record_.fields.size() > 1);
    if (pending && !stopped_)
        end_record(take);
    return std::string();
}

CsvFile::~CsvFile() {
    if (file_ != nullptr)
        (void)std::fclose(file_); // every row went out unbuffered
}

bool CsvFile::open(const std::string &path) {
    path_ = path;
    // Binary mode: rows end in CR LF as written, on every platform. Unbuffered: a row goes out
    // in one write, and one that fails is known at once.
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr || std::setvbuf(file_, nullptr, _IONBF, 0) != 0)
        return false;
    return write(CSV_HEADER);
}

bool CsvFile::write(const std::string &row) {
    if (!ok())
        return false;
    if (std::fwrite(row.data(), 1, row.size(), file_) == row.size()) {
        size_ += row.size();
        return true;
    }
    ok_ = false;
    std::error_code ignored;
    std::filesystem::resize_file(path_, size_, ignored);
    return false;
}

} // namespace vandry::receiver

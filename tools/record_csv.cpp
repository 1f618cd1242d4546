#include "record_csv.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

namespace vandry::check {

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

namespace {

// One byte of a quoted field at text[*i]; false when the field's end cannot be told yet.
bool take_quoted(std::string_view text, std::size_t *i, bool last, std::string *field,
                 bool *quoted) {
    const char c = text[*i];
    if (c != '"')
        *field += c;
    else if (*i + 1 < text.size() && text[*i + 1] == '"')
        *field += text[++*i];
    else if (*i + 1 < text.size() || last)
        *quoted = false;
    else
        return false; // a doubled quote may follow
    return true;
}

} // namespace

std::optional<std::vector<std::string>> read_csv_record(std::string_view text, std::size_t *at,
                                                        bool last) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (std::size_t i = *at; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (!take_quoted(text, &i, last, &fields.back(), &quoted))
                return std::nullopt;
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            fields.emplace_back();
        } else if (c == '\n' || c == '\r') {
            if (c == '\r' && i + 1 == text.size() && !last)
                return std::nullopt; // its LF may follow
            *at = i + (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n' ? 2 : 1);
            return fields;
        } else {
            fields.back() += c;
        }
    }
    if (!last || quoted || *at == text.size())
        return std::nullopt;
    *at = text.size();
    return fields;
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

} // namespace vandry::check

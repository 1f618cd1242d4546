#include "receiver/recording.h"

#include "core/console.h"
#include "platform/platform.h"
#include "receiver/framing.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vandry::receiver {

namespace {

// A message as a collector keeps it, often without its line ends: made a message again, as a
// close-after-send connection would carry it.
Message stored_message(std::string text) {
    if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0)
        text.resize(text.size() - 2);
    std::size_t added = 0;
    if (!text.empty() && text.back() != '\n') {
        const bool gps = text.find("$GPGLL") != std::string::npos;
        added = gps || text.back() == ' ' ? 1 : 2;
        text += added == 1 ? "\n" : " \n";
    }
    return {std::move(text), Mode::close_after_send, added};
}

// Cuts a CSV recording into rows and hands on the column's field of each. The header must name
// the column once; a field too long for any message is handed on cut, as a malformed one.
class CsvColumn {
  public:
    CsvColumn(std::string column, MessageLog &log, Source from)
        : column_(std::move(column)), log_(log), from_(std::move(from)) {}

    // The reason, and the exit status, when the recording cannot be checked.
    std::string feed(std::string_view bytes, bool last, int *status) {
        const CsvReader::Take take = [this](CsvRecord &row) { return this->take(row); };
        std::string error = last ? reader_.finish(take) : reader_.feed(bytes, take);
        if (error.empty() && last && index_ < 0 && header_error_.empty())
            header_error_ = "no header (no rows at all)";
        *status = header_error_.empty() ? (error.empty() ? 0 : 1) : header_status_;
        return header_error_.empty() ? error : header_error_;
    }

  private:
    bool take(CsvRecord &row) {
        if (index_ < 0)
            return take_header(row);
        if (row.fields.size() == 1 && row.fields[0].empty())
            return true; // an empty line
        const auto i = static_cast<std::size_t>(index_);
        log_.handle(from_, stored_message(i < row.fields.size() ? std::move(row.fields[i])
                                                                : std::string()));
        return true;
    }

    bool take_header(const CsvRecord &header) {
        for (std::size_t i = 0; i < header.fields.size(); ++i)
            if (header.fields[i] == column_) {
                if (index_ >= 0) {
                    header_error_ = "the header names column " + column_ +
                                    " twice: which one holds the messages?";
                    header_status_ = 2;
                    return false;
                }
                index_ = static_cast<long>(i);
            }
        if (index_ < 0)
            header_error_ = "no column " + column_ + " in the header (it has " +
                            std::to_string(header.fields.size()) + " columns)";
        return index_ >= 0;
    }

    std::string column_;
    MessageLog &log_;
    Source from_;
    CsvReader reader_;
    long index_ = -1;
    std::string header_error_;
    int header_status_ = 1;
};

// Messages back to back, as a unit's dry run writes them.
int read_raw(FILE *in, const ReceiverOptions &options, MessageLog &log, const Source &from) {
    StreamSplitter splitter(options.mode);
    std::array<char, 16384> buffer{};
    for (std::size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), in)) > 0;)
        for (const Message &m : splitter.feed(std::string_view(buffer.data(), n)))
            log.handle(from, m);
    for (const Message &m : splitter.finish())
        log.handle(from, m);
    return 0;
}

// The exit status: 0 when every row was read.
int read_csv(FILE *in, const ReceiverOptions &options, MessageLog &log, const Source &from) {
    CsvColumn rows(options.column, log, from);
    std::array<char, 16384> buffer{};
    int status = 0;
    std::string error;
    for (std::size_t n; error.empty() && (n = std::fread(buffer.data(), 1, buffer.size(), in)) > 0;)
        error = rows.feed(std::string_view(buffer.data(), n), false, &status);
    if (error.empty())
        error = rows.feed(std::string_view(), true, &status);
    if (!error.empty())
        std::fprintf(stderr, "vandry-receiver: %s: %s\n", from.peer.c_str(), error.c_str());
    return status;
}

} // namespace

int read_recording(const ReceiverOptions &options, MessageLog &log) {
    const bool from_stdin = *options.read == "-";
    FILE *in = from_stdin ? stdin : std::fopen(options.read->c_str(), "rb");
    if (in == nullptr) {
        std::fprintf(stderr, "vandry-receiver: cannot open %s: %s\n", options.read->c_str(),
                     std::strerror(errno));
        return 1;
    }
    if (from_stdin)
        platform::set_binary_mode(stdin);
    Source from;
    from.peer = from_stdin ? "stdin" : *options.read;
    from.stored = !options.column.empty();
    const int status = options.column.empty() ? read_raw(in, options, log, from)
                                              : read_csv(in, options, log, from);
    const bool read_whole = std::ferror(in) == 0;
    if (!from_stdin)
        (void)std::fclose(in); // only read from
    if (status != 0)
        return status;
    if (!read_whole) {
        std::fprintf(stderr, "vandry-receiver: cannot read %s\n", options.read->c_str());
        return 1;
    }
    log.finish(from.peer);
    report("vandry-receiver read %s: %s\n", from.peer.c_str(), log.figures_text().c_str());
    return 0;
}

} // namespace vandry::receiver

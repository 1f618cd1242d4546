#include "recording.h"

#include "console.h"
#include "framing.h"
#include "platform.h"

#include <array>
#include <cstdio>

namespace vandry::check {

namespace {

// A message as a collector keeps it, often without its line ends: made a message again, as a
// close-after-send connection would carry it.
Message stored_message(std::string text) {
    if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0)
        text.resize(text.size() - 2);
    if (!text.empty() && text.back() != '\n') {
        const bool gps = text.find("$GPGLL") != std::string::npos;
        text += gps || text.back() == ' ' ? "\n" : " \n";
    }
    return {std::move(text), Mode::close_after_send};
}

// Cuts a CSV recording into rows and hands on the column's field of each; false, said, when the
// header has no such column.
class CsvColumn {
  public:
    CsvColumn(std::string column, MessageLog &log, Source from)
        : column_(std::move(column)), log_(log), from_(std::move(from)) {}

    bool feed(std::string_view bytes, bool last) {
        pending_.append(bytes.data(), bytes.size());
        std::size_t at = 0;
        while (std::optional<std::vector<std::string>> row = read_csv_record(pending_, &at, last))
            if (!take(*row))
                return false;
        pending_.erase(0, at);
        return true;
    }

  private:
    bool take(std::vector<std::string> &row) {
        if (index_ < 0) {
            for (std::size_t i = 0; i < row.size(); ++i)
                if (row[i] == column_)
                    index_ = static_cast<long>(i);
            if (index_ < 0)
                std::fprintf(stderr, "vandry-receiver: no column %s in the header of %s\n",
                             column_.c_str(), from_.peer.c_str());
            return index_ >= 0;
        }
        if (row.size() == 1 && row[0].empty())
            return true; // an empty line
        const auto i = static_cast<std::size_t>(index_);
        log_.handle(from_, stored_message(i < row.size() ? row[i] : std::string()));
        return true;
    }

    std::string column_;
    MessageLog &log_;
    Source from_;
    std::string pending_;
    long index_ = -1;
};

// Messages back to back, as a unit's dry run writes them.
bool read_raw(FILE *in, const ReceiverOptions &options, MessageLog &log, const Source &from) {
    StreamSplitter splitter(options.mode);
    std::array<char, 16384> buffer{};
    for (std::size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), in)) > 0;)
        for (const Message &m : splitter.feed(std::string_view(buffer.data(), n)))
            log.handle(from, m);
    for (const Message &m : splitter.finish())
        log.handle(from, m);
    return true;
}

bool read_csv(FILE *in, const ReceiverOptions &options, MessageLog &log, const Source &from) {
    CsvColumn rows(options.column, log, from);
    std::array<char, 16384> buffer{};
    for (std::size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), in)) > 0;)
        if (!rows.feed(std::string_view(buffer.data(), n), false))
            return false;
    return rows.feed(std::string_view(), true);
}

} // namespace

bool read_recording(const ReceiverOptions &options, MessageLog &log) {
    const bool from_stdin = *options.read == "-";
    FILE *in = from_stdin ? stdin : std::fopen(options.read->c_str(), "rb");
    if (in == nullptr) {
        std::fprintf(stderr, "vandry-receiver: cannot open %s\n", options.read->c_str());
        return false;
    }
    if (from_stdin)
        platform::set_binary_mode(stdin);
    Source from;
    from.peer = from_stdin ? "stdin" : *options.read;
    from.stored = !options.column.empty();
    const bool taken = options.column.empty() ? read_raw(in, options, log, from)
                                              : read_csv(in, options, log, from);
    const bool read_whole = taken && std::ferror(in) == 0;
    if (!from_stdin)
        (void)std::fclose(in); // only read from
    if (taken && !read_whole)
        std::fprintf(stderr, "vandry-receiver: cannot read %s\n", options.read->c_str());
    log.finish(from.peer);
    report("vandry-receiver read %s: %s\n", from.peer.c_str(), log.figures_text().c_str());
    return read_whole;
}

} // namespace vandry::check

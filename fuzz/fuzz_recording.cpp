// libFuzzer target over what the receiver reads from outside: any bytes as a recording (or a
// connection's stream), cut by StreamSplitter in pieces of any size, each message checked and
// made a CSV row. Checks that the cutting loses or adds no byte and does not depend on how the
// bytes arrive, that an accepted message has the values of its layout, and that every row is
// one CSV record.
#include "message_check.h"
#include "record_csv.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

void require(bool condition) {
    if (!condition)
        std::abort();
}

std::vector<vandry_check::Message> cut(std::string_view bytes, std::size_t piece) {
    vandry_check::StreamSplitter splitter;
    std::vector<vandry_check::Message> messages;
    for (std::size_t at = 0; at < bytes.size(); at += piece)
        for (auto &m : splitter.feed(bytes.substr(at, piece)))
            messages.push_back(std::move(m));
    for (auto &m : splitter.finish())
        messages.push_back(std::move(m));
    return messages;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0)
        return 0;
    using namespace vandry_check;
    const std::size_t piece = data[0] % 16 + 1;
    const std::string_view bytes(reinterpret_cast<const char *>(data + 1), size - 1);
    const std::vector<Message> whole = cut(bytes, bytes.size() + 1);
    const std::vector<Message> pieces = cut(bytes, piece);
    require(whole.size() == pieces.size());
    std::string joined;
    for (std::size_t i = 0; i < whole.size(); ++i) {
        require(whole[i].bytes == pieces[i].bytes && whole[i].mode == pieces[i].mode);
        require(!whole[i].bytes.empty() && whole[i].bytes.size() <= MAX_MESSAGE_BYTES);
        joined += whole[i].bytes;
        const Verdict v = check_message(whole[i].bytes, whole[i].mode);
        const std::size_t values = v.layout == Layout::short_record  ? 6
                                   : v.layout == Layout::long_record ? 8
                                                                     : 10;
        require(v.ok ? v.values.size() == values && !v.station.empty() : v.values.empty());
        const std::string row = csv_row("t", "1", v, whole[i].bytes);
        require(row.size() >= 2 && row.compare(row.size() - 2, 2, "\r\n") == 0);
    }
    require(joined == bytes);
    return 0;
}

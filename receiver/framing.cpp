#include "receiver/framing.h"

#include <utility>

namespace vandry::receiver {

std::vector<Message> Splitter::feed(std::string_view bytes) {
    std::vector<Message> out;
    pending_.append(bytes.data(), bytes.size());
    std::size_t start = 0;
    for (;;) {
        std::size_t end = std::string::npos;
        const std::size_t crlf = pending_.find("\r\n", start);
        if (crlf != std::string::npos && crlf + 2 - start <= MAX_MESSAGE_BYTES)
            end = crlf + 2;
        if (end == std::string::npos && pending_.size() - start >= MAX_MESSAGE_BYTES)
            end = start + MAX_MESSAGE_BYTES;
        if (end == std::string::npos)
            break;
        out.push_back({pending_.substr(start, end - start), expected_ == Mode::close_after_send
                                                                ? Mode::close_after_send
                                                                : Mode::keep_open});
        start = end;
        ++emitted_;
    }
    pending_.erase(0, start);
    return out;
}

std::optional<Message> Splitter::finish() {
    if (pending_.empty())
        return std::nullopt;
    Message last{std::move(pending_), Mode::keep_open};
    pending_.clear();
    if (expected_)
        last.mode = *expected_;
    else if (emitted_ == 0)
        last.mode = Mode::close_after_send;
    ++emitted_;
    return last;
}

std::vector<Message> split_connection(std::string_view content, std::optional<Mode> expected) {
    Splitter splitter(expected);
    std::vector<Message> messages = splitter.feed(content);
    if (std::optional<Message> last = splitter.finish())
        messages.push_back(std::move(*last));
    return messages;
}

std::vector<Message> StreamSplitter::feed(std::string_view bytes) {
    pending_.append(bytes.data(), bytes.size());
    return cut(false);
}

std::vector<Message> StreamSplitter::finish() {
    return cut(true);
}

std::vector<Message> StreamSplitter::cut(bool at_end) {
    std::vector<Message> out;
    std::size_t start = 0;
    while (start < pending_.size()) {
        const std::size_t lf = pending_.find('\n', start);
        std::size_t end = lf == std::string::npos ? pending_.size() : lf + 1;
        if (end - start > MAX_MESSAGE_BYTES) {
            end = start + MAX_MESSAGE_BYTES;
        } else if (lf == std::string::npos || (pending_.size() < lf + 3 && !at_end)) {
            if (!at_end)
                break; // the rest of the message, or whether CR LF follows, is still to come
        } else if (pending_.compare(end, 2, "\r\n") == 0) {
            end += 2;
        }
        const bool keep_open = end - start >= 2 && pending_.compare(end - 2, 2, "\r\n") == 0;
        out.push_back({pending_.substr(start, end - start), expected_   ? *expected_
                                                            : keep_open ? Mode::keep_open
                                                                        : Mode::close_after_send});
        start = end;
    }
    pending_.erase(0, start);
    return out;
}

} // namespace vandry::receiver

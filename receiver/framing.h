// Cutting what arrives into messages: the bytes of one TCP connection, or a recording of a
// unit's messages back to back. Pure computation, no I/O.
#ifndef VANDRY_RECEIVER_FRAMING_H
#define VANDRY_RECEIVER_FRAMING_H

#include "core/message.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vandry::receiver {

// A run of bytes that has no CR LF within this many is cut off as a message of its own (a
// well-formed message has at most 133 bytes), so that a sender gone wrong cannot grow the
// receiver's buffer without end.
constexpr std::size_t MAX_MESSAGE_BYTES = 1024;

// One message cut from a connection, with the mode that its framing is to be checked against.
struct Message {
    std::string bytes;
    Mode mode;
    std::size_t framing_added = 0; // a stored value's: the line end added to make it a message
};

// Cuts one connection's bytes into messages while they arrive.
// With expected mode keep-open, or none: every piece up to and including a CR LF is a keep-open
// message. What is left when the connection closes is one more message: a close-after-send one
// when the connection carried nothing else and no mode was expected, otherwise a keep-open one
// (which then lacks its CR LF). Without an expected mode, a single message that ends in CR LF
// on a connection that then closes counts as keep-open: the bytes cannot tell the two apart.
// With expected mode close-after-send, the connection's whole content is one message, except
// that a piece ending in CR LF is cut off when it arrives (a close-after-send message has no
// CR LF, so it is malformed and shows at once, not when the connection ends).
class Splitter {
  public:
    explicit Splitter(std::optional<Mode> expected = std::nullopt) : expected_(expected) {}
    // Takes received bytes; returns the messages that they complete, in order.
    std::vector<Message> feed(std::string_view bytes);
    // The connection has closed: returns what is left as its last message, if anything is.
    std::optional<Message> finish();

  private:
    std::optional<Mode> expected_;
    std::string pending_;
    std::size_t emitted_ = 0;
};

// The whole content of one closed connection, cut as by Splitter.
std::vector<Message> split_connection(std::string_view content,
                                      std::optional<Mode> expected = std::nullopt);

// Cuts a recording: the messages of a unit back to back, as its --dry-run writes them. A
// message ends at its record's line feed, with the CR LF that follows it if one does: then it
// is a keep-open message, otherwise a close-after-send one (unless a mode is expected, which
// every message is then checked against). A run of MAX_MESSAGE_BYTES without a line feed is
// cut off as a message of its own.
class StreamSplitter {
  public:
    explicit StreamSplitter(std::optional<Mode> expected = std::nullopt) : expected_(expected) {}
    // Takes bytes of the recording; returns the messages that they complete, in order.
    std::vector<Message> feed(std::string_view bytes);
    // The recording has ended: returns the messages left in it.
    std::vector<Message> finish();

  private:
    std::vector<Message> cut(bool at_end);
    std::optional<Mode> expected_;
    std::string pending_;
};

} // namespace vandry::receiver

#endif

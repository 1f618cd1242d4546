// Checking what the telemetry unit sends: cutting the bytes of one TCP connection into
// messages, and checking each message byte for byte. Pure computation, no I/O.
//
// A message is the station name (1 to 30 bytes, no whitespace, commas allowed), ",", one
// record, and in keep-open mode "\r\n". Records (the name's commas make them parsed from the end):
//   short  "%4.3f,%4.3f,%2.1f,%5.1f,%3.1f,%3.1f,%d \n"            7 fields, blank and LF
//   long   "%4.3f,%4.3f,%2.1f,%5.1f,%3.1f,%3.1f,%4.1f,%4.1f,%d \n"  9 fields, blank and LF
//   gps    the long record's 9 fields without the blank, then
//          ",$GPGLL,ddmm.mmmm,N,dddmm.mmmm,E,hhmmss.sss,A,A*HH\n" (longitude zero-filled, HH the
//          exclusive-or of the bytes between '$' and '*' in upper-case hex)
// Keep-open messages follow one another on one connection, each ended by "\r\n"; a
// close-after-send message is the whole content of its connection, with nothing after the LF.
#ifndef VANDRY_MESSAGE_CHECK_H
#define VANDRY_MESSAGE_CHECK_H

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vandry_check {

enum class Layout { short_record, long_record, gps_record };
enum class Mode { keep_open, close_after_send };

const char *layout_name(Layout layout); // "short", "long", "gps"
const char *mode_name(Mode mode);       // "keep-open", "close-after-send"

// A run of bytes that has no CR LF within this many is cut off as a message of its own (a
// well-formed message has at most 133 bytes), so that a sender gone wrong cannot grow the
// receiver's buffer without end.
constexpr std::size_t MAX_MESSAGE_BYTES = 1024;

// One message cut from a connection, with the mode that its framing is to be checked against.
struct Message {
    std::string bytes;
    Mode mode;
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

// The result of checking one message.
struct Verdict {
    bool ok = false;
    Mode mode = Mode::keep_open;          // the mode it was checked against
    Layout layout = Layout::short_record; // the rest is set only when ok
    std::string station;
    int sequence = -1;
    std::size_t text_length = 0; // bytes before the record's line end (" \n" or "\n")
    // The record's numbers as printed, without fill blanks: distance, level, d1, volume, temp1,
    // temp2, and for the long and GPS records vin and rssi, and for the GPS record latitude
    // (ddmm.mmmm) and longitude (dddmm.mmmm).
    std::vector<std::string> values;
    std::string error; // when not ok: what is malformed, in words
};

// Checks one message, its end mark included, against the framing of the given mode.
Verdict check_message(std::string_view message, Mode mode);

// Follows the sequence numbers (0 to 15, then 0 again) of every station, across its
// connections, so that a message lost between two that arrived shows. A station's first
// message sets its start; a repeat of the number just seen is no gap.
struct Gap {
    int expected;
    int got;
    int lost; // (got - expected) mod 16
};

class SequenceTracker {
  public:
    std::optional<Gap> observe(const std::string &station, int sequence);

  private:
    std::unordered_map<std::string, int> last_;
};

// Printable form of any bytes: \r, \n, \t, \\ and \xNN for every other byte outside 0x20-0x7e.
std::string escape(std::string_view bytes);

} // namespace vandry_check

#endif

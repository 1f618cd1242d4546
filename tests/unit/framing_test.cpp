// Cutting a connection's bytes, or a recording's, into messages as they arrive.
#include "receiver/framing.h"
#include "receiver/message_check.h"
#include "receiver_support.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

using namespace vandry;
using namespace vandry::receiver;

namespace {

TEST(Splitter, CutsKeepOpenMessagesFedByteByByte) {
    const std::string stream =
        "ST01," + SHORT_REC + CRLF + "a,b," + LONG_REC + CRLF + "ST01," + GPS_REC + CRLF;
    Splitter splitter;
    std::vector<Message> got;
    for (const char c : stream)
        for (Message &m : splitter.feed(std::string_view(&c, 1)))
            got.push_back(std::move(m));
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[1].bytes, "a,b," + LONG_REC + CRLF);
    for (const Message &m : got) {
        EXPECT_EQ(m.mode, OPEN);
        EXPECT_TRUE(check_message(m.bytes, m.mode).ok);
    }
    EXPECT_FALSE(splitter.finish().has_value());
}

// One connection's content fed at once: the messages cut as the bytes arrive, then "/" and the
// one left when the connection closes, each as its mode (O keep-open, C close-after-send) and
// size.
struct Split {
    std::string content;
    std::optional<Mode> expected;
    std::string pieces;
};

void PrintTo(const Split &c, std::ostream *os) {
    *os << escape(c.content);
}

class Splitting : public ::testing::TestWithParam<Split> {};

TEST_P(Splitting, CutsOnArrivalAndAtClose) {
    Splitter splitter(GetParam().expected);
    std::string got;
    const auto piece = [&got](const Message &m) {
        got += (m.mode == OPEN ? "O" : "C") + std::to_string(m.bytes.size()) + " ";
    };
    for (const Message &m : splitter.feed(GetParam().content))
        piece(m);
    got += "/ ";
    if (const std::optional<Message> last = splitter.finish())
        piece(*last);
    EXPECT_EQ(got, GetParam().pieces);
}

const std::string SHORT_MSG = "ST01," + SHORT_REC; // 40 bytes

INSTANTIATE_TEST_SUITE_P(
    Connections, Splitting,
    ::testing::Values(Split{"", std::nullopt, "/ "}, Split{SHORT_MSG, std::nullopt, "/ C40 "},
                      Split{SHORT_MSG + CRLF + SHORT_MSG, std::nullopt, "O42 / O40 "},
                      Split{SHORT_MSG, OPEN, "/ O40 "},
                      // A stray CR LF shows when it arrives, not when the connection ends.
                      Split{SHORT_MSG + CRLF, CLOSE, "C42 / "},
                      Split{SHORT_MSG + CRLF + SHORT_MSG, CLOSE, "C42 / C40 "}));

TEST(Splitter, BoundsARunWithoutCrLf) {
    const auto got = split_connection(std::string(2 * MAX_MESSAGE_BYTES + 5, 'x'));
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].bytes.size(), MAX_MESSAGE_BYTES);
    EXPECT_EQ(got[2].bytes.size(), 5u);
    EXPECT_FALSE(check_message(got[0].bytes, got[0].mode).ok);
}

// A dry run's output, as it comes through a pipe: each message whole, whatever the pieces.
TEST(StreamSplitter, CutsARecordingFedByteByByte) {
    const std::string stream = SHORT_MSG + CRLF + SHORT_MSG + SHORT_MSG + CRLF + "ST01,2.4";
    StreamSplitter splitter;
    std::string got;
    const auto piece = [&got](const Message &m) {
        got += (m.mode == OPEN ? "O" : "C") + std::to_string(m.bytes.size()) + " ";
    };
    for (const char c : stream)
        for (const Message &m : splitter.feed(std::string_view(&c, 1)))
            piece(m);
    got += "/ ";
    for (const Message &m : splitter.finish())
        piece(m);
    EXPECT_EQ(got, "O42 C40 O42 / C8 ");
}

} // namespace

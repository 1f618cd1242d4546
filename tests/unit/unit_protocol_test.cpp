// How each end of a connection is said and closed: the same rule for vandry and the fleet.
#include "core/unit_protocol.h"

#include <gtest/gtest.h>

using namespace vandry;

TEST(UnitProtocol, EveryEndOfAConnectionHasItsLineItsCloseAndItsClosingLine) {
    const std::optional<ConsoleLine> none, closing = ConsoleLine::closing;
    struct Row {
        ConnectionEnd why;
        bool keep_open;
        std::optional<ConsoleLine> line;
        CloseBy close;
        bool closing_after_pause;
    };
    const Row rows[] = {
        {ConnectionEnd::orderly, true, none, CloseBy::shutdown, false},
        {ConnectionEnd::orderly, false, closing, CloseBy::shutdown, false},
        {ConnectionEnd::silence, true, none, CloseBy::shutdown, false},
        {ConnectionEnd::silence, false, closing, CloseBy::shutdown, false},
        {ConnectionEnd::copy_apart, false, closing, CloseBy::shutdown, false},
        {ConnectionEnd::send_failed, true, ConsoleLine::send_failed, CloseBy::close, false},
        {ConnectionEnd::send_failed, false, ConsoleLine::send_failed, CloseBy::close, true},
        {ConnectionEnd::cut, true, none, CloseBy::reset, false},
        {ConnectionEnd::cut, false, none, CloseBy::reset, true},
        {ConnectionEnd::ended_by_server, true, ConsoleLine::ended_by_server, CloseBy::close, false},
        {ConnectionEnd::ended_by_server, false, ConsoleLine::ended_by_server, CloseBy::close, true},
        {ConnectionEnd::reset, true, ConsoleLine::receive_failed, CloseBy::close, false},
        {ConnectionEnd::reset, false, ConsoleLine::receive_failed, CloseBy::close, true},
    };
    for (const Row &r : rows) {
        const EndRule rule = end_rule(r.why, r.keep_open);
        SCOPED_TRACE(testing::Message() << static_cast<int>(r.why) << " keep_open=" << r.keep_open);
        EXPECT_EQ(rule.line, r.line);
        EXPECT_EQ(rule.close, r.close);
        EXPECT_EQ(rule.closing_after_pause, r.closing_after_pause);
    }
}

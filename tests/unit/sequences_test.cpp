// The sequence numbers of each station: gaps, with their loss, and restarts.
#include "receiver/sequences.h"

#include <gtest/gtest.h>

#include <ostream>
#include <sstream>
#include <string>

using namespace vandry;
using namespace vandry::receiver;

namespace {

// A crafted stream of messages, each a station letter and its sequence number ("*" before it:
// the first message of a new connection); the gaps reported, each as "station expected got
// lost;", restarts as "station restart;".
struct GapCase {
    std::string stream;
    std::string gaps;
};

void PrintTo(const GapCase &c, std::ostream *os) {
    *os << c.stream;
}

class SequenceGaps : public ::testing::TestWithParam<GapCase> {};

TEST_P(SequenceGaps, AreReportedWithTheirLoss) {
    SequenceTracker tracker;
    std::istringstream stream(GetParam().stream);
    std::string got;
    for (std::string message; stream >> message;) {
        const bool new_connection = message[0] == '*';
        const std::string station = message.substr(new_connection ? 1 : 0, 1);
        const Observation o = tracker.observe(
            station, std::stoi(message.substr(new_connection ? 2 : 1)), new_connection);
        if (o.gap)
            got += station + " " + std::to_string(o.gap->expected) + " " +
                   std::to_string(o.gap->got) + " " + std::to_string(o.gap->lost) + ";";
        if (o.restart)
            got += station + " restart;";
    }
    EXPECT_EQ(got, GetParam().gaps);
}

INSTANTIATE_TEST_SUITE_P(Streams, SequenceGaps,
                         ::testing::Values(GapCase{"A13 A14 A15 A0 A1", ""}, GapCase{"A9", ""},
                                           GapCase{"A5 A7 A8", "A 6 7 1;"},
                                           GapCase{"A14 A1", "A 15 1 2;"},
                                           GapCase{"A3 A3 A4", ""}, // a repeat is no gap
                                           GapCase{"A5 A4", "A 6 4 14;"},
                                           GapCase{"A0 B7 A1 B9 C0 A3", "B 8 9 1;A 2 3 1;"},
                                           GapCase{"A7 A8 *A0 A1", "A restart;"},
                                           GapCase{"A7 A8 A0", "A 9 0 7;"},
                                           GapCase{"A7 *A9", "A 8 9 1;"}));

} // namespace

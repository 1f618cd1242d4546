#include "receiver/fault_explain.h"
#include "receiver/framing.h"
#include "receiver/message_check.h"
#include "receiver/plan_match.h"
#include "receiver/sequences.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <ostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using namespace vandry;
using namespace vandry::receiver;

namespace {

// The records of the first tick of the example tank; the GPS one with its true checksum.
const std::string SHORT_REC = "2.459,0.081,4.6,323.8,25.0,30.0,0 \n";
const std::string LONG_REC = "2.459,0.081,4.6,323.8,25.0,30.0,14.3, 6.5,0 \n";
const std::string HEAD = "2.459,0.081,4.6,323.8,25.0,30.0,14.3, 6.5,0,";
const std::string GLL = "$GPGLL,1301.4728,N,07740.3735,E,081359.129,A,A*";
const std::string GPS_REC = HEAD + GLL + "59\n";
const std::string NAME30 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123";
const std::string NAME30_COMMAS = "A,CDEFGHIJKLMNOPQRSTUVWXYZ01,3";
const std::string CRLF = "\r\n";

constexpr Mode OPEN = Mode::keep_open;
constexpr Mode CLOSE = Mode::close_after_send;

struct Good {
    std::string message;
    Mode mode;
    Layout layout;
    std::string station;
    int sequence;
};

void PrintTo(const Good &g, std::ostream *os) {
    *os << escape(g.message);
}

class GoodMessage : public ::testing::TestWithParam<Good> {};

TEST_P(GoodMessage, IsAccepted) {
    const Good &g = GetParam();
    const Verdict v = check_message(g.message, g.mode);
    ASSERT_TRUE(v.ok) << v.error << "\n" << escape(g.message);
    EXPECT_EQ(v.mode, g.mode);
    EXPECT_EQ(v.layout, g.layout);
    EXPECT_EQ(v.station, g.station);
    EXPECT_EQ(v.sequence, g.sequence);
    const std::size_t line_end = g.layout == Layout::gps_record ? 1 : 2;
    EXPECT_EQ(v.text_length, g.message.size() - line_end - (g.mode == OPEN ? 2 : 0));
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, GoodMessage,
    ::testing::Values(
        Good{"ST01," + SHORT_REC + CRLF, OPEN, Layout::short_record, "ST01", 0},
        Good{"ST01," + SHORT_REC, CLOSE, Layout::short_record, "ST01", 0},
        Good{"ST01," + LONG_REC + CRLF, OPEN, Layout::long_record, "ST01", 0},
        Good{"ST01," + LONG_REC, CLOSE, Layout::long_record, "ST01", 0},
        Good{"ST01," + GPS_REC + CRLF, OPEN, Layout::gps_record, "ST01", 0},
        Good{"ST01," + GPS_REC, CLOSE, Layout::gps_record, "ST01", 0},
        Good{"a,b,c," + SHORT_REC, CLOSE, Layout::short_record, "a,b,c", 0},
        Good{"1,2.5," + LONG_REC + CRLF, OPEN, Layout::long_record, "1,2.5", 0},
        Good{"x,$y," + GPS_REC, CLOSE, Layout::gps_record, "x,$y", 0},
        Good{NAME30 + "," + LONG_REC, CLOSE, Layout::long_record, NAME30, 0},
        Good{NAME30_COMMAS + "," + GPS_REC + CRLF, OPEN, Layout::gps_record, NAME30_COMMAS, 0},
        // Level zero; the largest values, wider than their conversions; sequence 15.
        Good{"T,0.650,0.000,0.0,  0.0,25.0,30.0,9 \n", CLOSE, Layout::short_record, "T", 9},
        Good{"T,0.050,5.100,2303.5,20400.0,27.5,37.5,13.9,27.0,15 \n\r\n", OPEN,
             Layout::long_record, "T", 15},
        Good{"T,2.459,0.081,4.6,323.8,25.0,30.0,14.3, 6.5,12,$GPGLL,1301.4738,N,07740.4063,E,"
             "081359.129,A,A*5B\n",
             CLOSE, Layout::gps_record, "T", 12}));

struct Bad {
    const char *what;
    std::string message;
    Mode mode;
    std::string error; // a part of the description
};

void PrintTo(const Bad &b, std::ostream *os) {
    *os << escape(b.message);
}

class BadMessage : public ::testing::TestWithParam<Bad> {};

TEST_P(BadMessage, IsRefusedWithReason) {
    const Bad &b = GetParam();
    const Verdict v = check_message(b.message, b.mode);
    ASSERT_FALSE(v.ok) << escape(b.message);
    if (std::getenv("SHOW_ERRORS"))
        std::printf("%s\n", v.error.c_str());
    EXPECT_NE(v.error.find(b.error), std::string::npos)
        << "got: " << v.error << "\nwanted: " << b.error;
    EXPECT_EQ(v.sequence, -1);
    EXPECT_TRUE(v.station.empty());
}

std::string with(std::string s, const std::string &from, const std::string &to) {
    return s.replace(s.find(from), from.size(), to);
}

INSTANTIATE_TEST_SUITE_P(
    Malformations, BadMessage,
    ::testing::Values(
        Bad{"empty", "", CLOSE, "empty message"},
        Bad{"no CR LF, keep-open", "ST01," + SHORT_REC, OPEN, "missing CR LF"},
        Bad{"CR LF, close-after-send", "ST01," + LONG_REC + CRLF, CLOSE,
            "CR LF at the end of a close-after-send message"},
        Bad{"two run together", "ST01," + SHORT_REC + "ST01," + SHORT_REC + CRLF, OPEN,
            "CR LF missing between two messages"},
        Bad{"trailing bytes", "ST01," + GPS_REC + "xyz", CLOSE, "3 trailing bytes"},
        Bad{"cut short", "ST01,2.459,0.081,4.6,323.8,25.0,30.0,0 ", CLOSE, "no line feed"},
        Bad{"no LF before CR LF", "ST01,2.459,0.081,4.6,323.8,25.0,30.0,0 \r\n", OPEN,
            "no line feed before the CR LF"},
        Bad{"stray CR", "ST01,2.459,0.081,4.6,323.8,25.0,30.0,0\r \n", CLOSE, "stray CR"},
        Bad{"zero byte",
            std::string("ST\0"
                        "01,",
                        6) +
                SHORT_REC,
            CLOSE, "zero byte at offset 2"},
        Bad{"no blank, short", "ST01," + with(SHORT_REC, "0 \n", "0\n"), CLOSE,
            "short record: missing blank before the line feed"},
        Bad{"no blank, long", "ST01," + with(LONG_REC, "0 \n", "0\n"), CLOSE,
            "long record: missing blank"},
        Bad{"blank, gps", "ST01," + with(GPS_REC, "\n", " \n"), CLOSE,
            "GPS record: blank before the line feed"},
        Bad{"decimals", "ST01," + with(SHORT_REC, "2.459", "2.46"), CLOSE,
            "field 1 (distance) '2.46' has 2 decimals, %4.3f prints 3"},
        Bad{"not a number", "ST01," + with(LONG_REC, "0.081", "0.0x1"), CLOSE,
            "field 2 (level) '0.0x1' is not a number"},
        Bad{"exponent", "ST01," + with(SHORT_REC, "323.8", "3.2e2"), CLOSE,
            "field 4 (volume) '3.2e2' is not a number"},
        Bad{"no blank fill", "ST01," + with(SHORT_REC, "323.8", "23.8"), CLOSE,
            "field 4 (volume) '23.8' is filled wrongly: %5.1f prints ' 23.8'"},
        Bad{"rssi unfilled", "ST01," + with(LONG_REC, " 6.5", "6.5"), CLOSE,
            "field 8 (rssi) '6.5' is filled wrongly: %4.1f prints ' 6.5'"},
        Bad{"rssi overfilled", "ST01," + with(LONG_REC, " 6.5", "  6.5"), CLOSE,
            "field 8 (rssi) '  6.5' is filled wrongly"},
        Bad{"leading zero", "ST01," + with(SHORT_REC, "25.0", "025.0"), CLOSE,
            "field 5 (temp1) '025.0' has a leading zero"},
        Bad{"sequence 16", "ST01," + with(SHORT_REC, "0 \n", "16 \n"), CLOSE,
            "field 7 (sequence) '16' is out of the range 0-15"},
        Bad{"sequence 01", "ST01," + with(LONG_REC, "0 \n", "01 \n"), CLOSE,
            "field 9 (sequence) '01' has a leading zero"},
        Bad{"6 fields", "ST01," + with(SHORT_REC, "4.6,", ""), CLOSE,
            "wrong field count: 6 fields after the first comma"},
        Bad{"8 fields", "ST01," + with(LONG_REC, " 6.5,", ""), CLOSE,
            "wrong field count: 8 fields"},
        Bad{"10 fields", "ST01," + with(LONG_REC, " 6.5,", " 6.5,7.0,"), CLOSE,
            "or wrong field count: 10 fields"},
        Bad{"no comma", "ST01\n", CLOSE, "no comma"},
        Bad{"empty name", "," + SHORT_REC, CLOSE, "empty station name"},
        Bad{"31-byte name", NAME30 + "4," + LONG_REC, CLOSE, "station name of 31 bytes"},
        Bad{"blank in name", "ST 01," + SHORT_REC, CLOSE, "whitespace in the station name"},
        Bad{"tab in name", "ST\t01," + GPS_REC, CLOSE, "whitespace in the station name"},
        Bad{"wrong checksum", "ST01," + HEAD + GLL + "58\n", CLOSE,
            "bad checksum: expected 59, found 58"},
        Bad{"fixed checksum 57", "ST01," + HEAD + GLL + "57\n" + CRLF, OPEN,
            "bad checksum: expected 59, found 57"},
        Bad{"blank-filled longitude", "ST01," + HEAD + with(GLL, "07740", " 7740") + "49\n", CLOSE,
            "longitude ' 7740.3735' is blank-filled, dddmm.mmmm is zero-filled: '07740.3735'"},
        Bad{"blank fill and fixed checksum", "ST01," + HEAD + with(GLL, "07740", " 7740") + "57\n",
            CLOSE, "zero-filled: '07740.3735'; bad checksum: expected 49, found 57"},
        Bad{"lower-case checksum", "ST01," + HEAD + with(GLL, "4728", "4738") + "5b\n", CLOSE,
            "checksum '5b' is not two upper-case hex digits"},
        Bad{"no checksum", "ST01," + HEAD + with(GLL, "*", "") + "\n", CLOSE, "without '*'"},
        Bad{"sentence fields", "ST01," + HEAD + with(GLL, "081359.129,", "") + "59\n", CLOSE,
            "GLL sentence of 7 fields"},
        Bad{"short latitude", "ST01," + HEAD + with(GLL, "1301.4728", "301.4728") + "59\n", CLOSE,
            "latitude '301.4728' is not ddmm.mmmm"},
        Bad{"gps head fields", "ST01," + with(HEAD, "4.6,", "") + GLL + "59\n", CLOSE,
            "GPS record: wrong field count: 8 fields"},
        Bad{"gps head field", "ST01," + with(HEAD, "14.3", "14.30") + GLL + "59\n", CLOSE,
            "GPS record: field 7 (vin) '14.30' has 2 decimals"}),
    [](const ::testing::TestParamInfo<Bad> &info) {
        std::string name;
        for (const char c : std::string(info.param.what))
            name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name;
    });

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

// Constructed streams of a plan's two stations, A and B: each item a station and a tick, or
// ticks from-to (either way), and "~FIELD" when one digit of that field is changed (Z is no
// planned station). setup: "type=T" (default 21), "count=N" (the plan's), "any" (any order: the
// result must be the same for the rows reversed and shuffled). What each arrival is: n next,
// l<k> after k lost, d duplicate, r restart, a<field> altered, u unknown, h held (a run of one
// token k times: "tok*k"); after "|", what the end finds: L<first>-<last> lost, m missing,
// d<tick> duplicate, a<tick><field> altered. Then each station's figures: messages, lost,
// duplicated, altered, restarts, first-last tick.
struct MatchCase {
    std::string stream, arrivals, figures, setup;
};

void PrintTo(const MatchCase &c, std::ostream *os) {
    *os << c.setup << " " << c.stream;
}

class PlanMatching : public ::testing::TestWithParam<MatchCase> {};

// The message of a station's tick, with one digit of a field changed when one is named.
std::string planned_message(const std::string &station, unsigned tick, const std::string &field,
                            int type) {
    static std::map<std::pair<std::string, int>, std::vector<std::string>> streams;
    std::vector<std::string> &texts = streams[{station, type}];
    if (texts.size() <= tick) { // made again from tick 0, twice as far
        texts.clear();
        UnitStream<GlibcRand> unit(station == "B" ? 9 : 5);
        char out[MAX_MESSAGE_LENGTH + 1];
        while (texts.size() <= 2 * tick)
            texts.emplace_back(out, static_cast<size_t>(unit.next(out, station.c_str(), type)));
    }
    std::string m = texts[tick];
    const Layout layout = layout_of(type);
    for (size_t k = 0, at = station.size() + 1; !field.empty(); ++k, at = m.find(',', at) + 1)
        if (field == field_name(layout, k)) {
            const size_t digit = m.find_first_of("0123456789", at);
            m[digit] = static_cast<char>('0' + (m[digit] - '0' + 1) % 10);
            break;
        }
    return m;
}

std::vector<std::string> case_messages(const std::string &stream, int type) {
    std::vector<std::string> messages;
    std::istringstream items(stream);
    for (std::string item; items >> item;) {
        const size_t tilde = item.find('~'), dash = item.find('-');
        const std::string field = tilde == std::string::npos ? "" : item.substr(tilde + 1);
        const long from = std::stol(item.substr(1)),
                   to = dash == std::string::npos ? from : std::stol(item.substr(dash + 1));
        for (long t = from;; t += from <= to ? 1 : -1) {
            messages.push_back(
                planned_message(item.substr(0, 1), static_cast<unsigned>(t), field, type));
            if (t == to)
                break;
        }
    }
    return messages;
}

std::string token(const Matched &m, bool at_end) {
    const char *kinds[] = {"n", "l", "d", "r", "a", "u", "h", "L", "m"};
    const bool ticks = at_end && m.arrival != Arrival::missing && m.arrival != Arrival::lost;
    return std::string(kinds[static_cast<int>(m.arrival)]) +
           (m.arrival == Arrival::lost
                ? std::to_string(m.tick - m.lost) + "-" + std::to_string(m.tick - 1)
            : m.lost > 0 ? std::to_string(m.lost)
                         : "") +
           (ticks ? std::to_string(m.tick) : "") + m.field +
           (m.field.empty() ? "" : "=" + m.expected + ">" + m.got);
}

// Tokens with runs of one token written "tok*k".
void append(std::string *out, std::string *last, unsigned *run, const std::string &next) {
    if (next == *last && !next.empty()) {
        ++*run;
        return;
    }
    if (!last->empty())
        *out += *last + (*run > 1 ? "*" + std::to_string(*run) : "") + " ";
    *last = next;
    *run = 1;
}

// What the matcher makes of the messages: arrivals, the end's findings, and the figures.
std::pair<std::string, std::string> run_case(const std::vector<std::string> &messages,
                                             const std::string &setup) {
    Plan plan;
    plan.data_type = setup.find("type=") == std::string::npos
                         ? 21
                         : std::stoi(setup.substr(setup.find("type=") + 5));
    plan.rand = RandKind::glibc;
    plan.stations = {{"A", 5}, {"B", 9}};
    Extents extents;
    if (setup.find("count=") != std::string::npos)
        extents.every = Extent{
            0, static_cast<std::uint32_t>(std::stoul(setup.substr(setup.find("count=") + 6)) - 1)};
    const std::unique_ptr<PlanMatcher> matcher = make_plan_matcher(
        plan, {extents.known() ? &extents : nullptr, setup.find("any") != std::string::npos});
    std::string arrivals, last, figures;
    unsigned run = 0;
    for (const std::string &message : messages) {
        const Verdict v = check_message(message, Mode::close_after_send);
        EXPECT_TRUE(v.ok) << v.error << ": " << message;
        append(&arrivals, &last, &run,
               token(matcher->match(v, std::string_view(message).substr(0, v.text_length), -1),
                     false));
    }
    append(&arrivals, &last, &run, "|");
    matcher->finish([&](const std::string &, const Matched &m) {
        append(&arrivals, &last, &run, token(m, true));
    });
    append(&arrivals, &last, &run, "");
    matcher->for_each([&figures](const StationFigures &f) {
        figures +=
            f.name + ":" + std::to_string(f.messages) + "," + std::to_string(f.lost) + "," +
            std::to_string(f.duplicated) + "," + std::to_string(f.altered) + "," +
            std::to_string(f.restarts) + "," +
            (f.started ? std::to_string(f.first_tick) + "-" + std::to_string(f.last_tick) : "-") +
            " ";
    });
    return {arrivals, figures};
}

TEST_P(PlanMatching, PlacesEveryArrivalByItsTick) {
    const MatchCase &c = GetParam();
    const std::vector<std::string> messages =
        case_messages(c.stream, c.setup.find("type=") == std::string::npos
                                    ? 21
                                    : std::stoi(c.setup.substr(c.setup.find("type=") + 5)));
    const auto [arrivals, figures] = run_case(messages, c.setup);
    EXPECT_EQ(arrivals, c.arrivals);
    EXPECT_EQ(figures, c.figures);
    if (c.setup.find("any") == std::string::npos)
        return;
    // Any order: the same findings and figures for every order of the rows.
    const std::string end = arrivals.substr(arrivals.find('|'));
    std::vector<std::string> reversed(messages.rbegin(), messages.rend()), shuffled = messages;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(1));
    for (const auto &order : {reversed, shuffled}) {
        const auto [a, f] = run_case(order, c.setup);
        EXPECT_EQ(a.substr(a.find('|')), end);
        EXPECT_EQ(f, figures);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Streams, PlanMatching,
    ::testing::Values(
        // The first message starts the count wherever it is; then a hole of 20.
        MatchCase{"A3 A4 A25 A26", "n*2 l20 n | m ", "A:4,20,0,0,0,3-26 B:0,0,0,0,0,- ", ""},
        // No modulo-16 limit: 16 and 48 lost in a row.
        MatchCase{"B0 B17 B66", "n l16 l48 | m ", "A:0,0,0,0,0,- B:3,64,0,0,0,0-66 ", ""},
        // Duplicates: the last message again, and an older one.
        MatchCase{"A0 A1 A1 A2 A1 A3", "n*2 d n d n | m ", "A:6,0,2,0,0,0-3 B:0,0,0,0,0,- ", ""},
        // A restart: tick 0 after later ticks, nothing lost before it.
        MatchCase{"A0 A1 A2 A0 A1", "n*3 r n | m ", "A:5,0,0,0,1,0-1 B:0,0,0,0,0,- ", ""},
        // An altered field in the place of the next tick, then one after a loss.
        MatchCase{"A0 A1~temp1 A2 A5~rssi A6", "n atemp1=25.2>35.2 n a2rssi=7.5>8.5 n | m ",
                  "A:5,2,0,2,0,0-6 B:0,0,0,0,0,- ", ""},
        // A station that is not in the plan, counted once; the others are kept apart.
        MatchCase{"A0 Z1 Z2 B0 A1", "n u*2 n*2 | ",
                  "A:2,0,0,0,0,0-1 B:1,0,0,0,0,0-0 Z:2,0,0,0,0,- ", ""},
        // Records recur (tick 740 of A's type-11 stream is tick 52 again): a late copy, a batch
        // again, a restart whose tick 0 is lost are duplicates, never a jump ahead.
        MatchCase{"A0-199 A150 A200-209", "n*200 d n*10 | m ", "A:211,0,1,0,0,0-209 B:0,0,0,0,0,- ",
                  "type=11"},
        MatchCase{"A0-799 A780-799 A800", "n*800 d*20 n | m ",
                  "A:821,0,20,0,0,0-800 B:0,0,0,0,0,- ", "type=11"},
        MatchCase{"B0-99 B1-120", "n*100 d*99 n*21 | m ", "A:0,0,0,0,0,- B:220,0,99,0,0,0-120 ",
                  ""},
        // 100 truly lost; a lost run of 1,000 whose next text (tick 1039) is tick 351 again:
        // placed at the nearest, and the count stays exact.
        MatchCase{"B0-99 B200-210", "n*100 l100 n*10 | m ", "A:0,0,0,0,0,- B:111,100,0,0,0,0-210 ",
                  ""},
        MatchCase{"A0-38 A1039-1041", "n*39 l312 l688 n | m ",
                  "A:42,1000,0,0,0,0-1041 B:0,0,0,0,0,- ", "type=11"},
        // With the plan's count, the ends are known: 20 lost at a start, in the middle and at
        // an end, and a station with no message is missing with all its ticks lost.
        MatchCase{"A20-99 A120-179", "n*80 l20 n*59 | L0-19 L180-199 m L0-199 ",
                  "A:140,60,0,0,0,20-179 B:0,200,0,0,0,- ", "count=200"},
        // In any order: complete, whatever the order; edges, a duplicate, an altered row.
        MatchCase{"A0-299 B0-299", "h*600 | ", "A:300,0,0,0,0,0-299 B:300,0,0,0,0,0-299 ",
                  "any type=11"},
        MatchCase{"A20-99 A120-179", "h*140 | L0-19 L100-119 L180-199 m L0-199 ",
                  "A:140,60,0,0,0,20-179 B:0,200,0,0,0,- ", "any count=200"},
        MatchCase{"A20-99 A120-179", "h*140 | L100-119 m ", "A:140,20,0,0,0,20-179 B:0,0,0,0,0,- ",
                  "any"},
        MatchCase{"A0-4 A4 A5~temp1 A6-9 B9-0", "h*21 | d4 a5temp1=25.9>35.9 ",
                  "A:11,0,1,1,0,0-9 B:10,0,0,0,0,0-9 ", "any count=10"},
        MatchCase{"A4999-0", "h*5000 | m ", "A:5000,0,0,0,0,0-4999 B:0,0,0,0,0,- ",
                  "any type=11"}));

TEST(Escape, MakesEveryByteVisible) {
    EXPECT_EQ(escape(std::string("a,\r\n\t\\\x01\xff", 8)), "a,\\r\\n\\t\\\\\\x01\\xff");
    EXPECT_EQ(layout_name(Layout::gps_record), std::string("gps"));
    EXPECT_EQ(mode_name(CLOSE), std::string("close-after-send"));
}

} // namespace

// Findings held against a fault log: a lost tick explained by what was logged at it (an
// unconfirmed row too), split where that changes; the lost copy of an injected duplicate is a
// loss of its own; a log that claims a drop at a tick that arrived explains nothing.
TEST(FaultExplain, MarksEachFindingWithWhatExplainsIt) {
    const auto row = [](int tick, const char *kind) {
        return "2026-12-10T10:00:00.000Z,U1," + std::to_string(tick) + "," + kind + ",\r\n";
    };
    const std::string log = std::string(FAULT_LOG_HEADER) + row(4, "unconfirmed") + row(5, "drop") +
                            row(9, "duplicate") + row(2, "garble");
    const PlacedTicks placed = {{"U1", Extent{0, 10}}};
    const auto findings = [] {
        Findings f;
        f.add({"U1", FindingKind::lost, true, 4, 6, 3, "", "", "", ""});
        f.add({"U1", FindingKind::altered, true, 2, 2, 1, "", "temp1", "25.0", "35.0"});
        return f;
    };
    Findings found = findings();
    const Explained e = explain(found, placed, log);
    std::string got;
    for (const Finding &f : found.all())
        got += std::string(finding_kind_name(f.kind)) + std::to_string(f.first_tick) + "-" +
               std::to_string(f.last_tick) + ":" + f.explained_by + " ";
    EXPECT_EQ(got, "lost4-4:unconfirmed lost5-5:drop lost6-6: altered2-2:garble lost9-9: ");
    EXPECT_EQ(e.unexplained_findings, 2u);
    EXPECT_EQ(e.unconfirmed, 1u);
    EXPECT_TRUE(e.error.empty()) << e.error;

    Findings foreign = findings();
    const Explained other =
        explain(foreign, placed, std::string(FAULT_LOG_HEADER) + row(3, "drop"));
    EXPECT_NE(other.error.find("another run's"), std::string::npos) << other.error;
    EXPECT_EQ(other.unexplained_findings, 2u);
    EXPECT_FALSE(explain(foreign, placed, std::string(FAULT_LOG_HEADER) + "x,\"cut").error.empty());
}

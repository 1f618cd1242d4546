// Placing each message of a plan's stations by its tick, in order or in any order, within the
// known extents; the findings, and what a fault log explains of them.
#include "receiver/fault_explain.h"
#include "receiver/message_check.h"
#include "receiver/message_log.h"
#include "receiver/plan_match.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <ostream>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

using namespace vandry;
using namespace vandry::receiver;

namespace {

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
        f.add({"U1", FindingKind::lost, true, 4, 6, 3, "", "", "", "", ""});
        f.add({"U1", FindingKind::altered, true, 2, 2, 1, "", "temp1", "25.0", "35.0", ""});
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

// A client whose certificate names A sends B's messages: impostors, counted and found, never
// placed as B's; its own station's messages are placed as ever.
TEST(MessageLogIdentity, AnImpostorIsNeverPlacedAsItsStation) {
    Plan plan;
    plan.data_type = 21;
    plan.rand = RandKind::glibc;
    plan.stations = {{"A", 5}, {"B", 9}};
    LogOptions options;
    options.quiet = true;
    options.plan = &plan;
    options.identities = true;
    MessageLog log(options);
    const std::vector<std::string> names = {"A", "a.example"};
    Source from;
    from.connection = 1;
    from.names = &names;
    for (const std::string &m : {planned_message("A", 0, "", 21), planned_message("B", 0, "", 21),
                                 planned_message("B", 1, "", 21)})
        EXPECT_TRUE(log.handle(from, {m, Mode::close_after_send}));
    EXPECT_EQ(log.totals().impostors, 2u);
    std::string figures;
    log.for_each_station([&figures](const StationFigures &f) {
        figures += f.name + ":" + std::to_string(f.messages) + (f.started ? "+" : "-") + " ";
    });
    EXPECT_EQ(figures, "A:1+ B:0- ");
    ASSERT_EQ(log.findings().all().size(), 1u);
    EXPECT_EQ(finding_line(log.findings().all()[0], false),
              "IMPOSTOR: station B from a client whose certificate names A (2 messages)");
    EXPECT_FALSE(log.clean());
}

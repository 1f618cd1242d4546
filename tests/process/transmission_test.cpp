// The real program sending to real listeners on 127.0.0.1: the bytes on the wire, the console
// echo, the two connection modes and the ways a connection can fail.
#include "harness.h"
#include "receiver/framing.h"
#include "receiver/message_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>

using namespace proc;

namespace {

const std::string NAME = "pump-12";
constexpr int SMST = 3;

using vandry::Layout;
using vandry::Mode;

struct Code {
    int code;
    const char *tag; // as in the echo line
    Layout layout;
    bool keep_open() const { return code % 10 == 0; }
};

const Code CODES[] = {
    {10, "shrt opn", Layout::short_record}, {11, "shrt cls", Layout::short_record},
    {20, "long opn", Layout::long_record},  {21, "long cls", Layout::long_record},
    {30, "gps opn", Layout::gps_record},    {31, "gps cls", Layout::gps_record}};

const Code &code_of(int code) {
    return *std::find_if(std::begin(CODES), std::end(CODES),
                         [&](const Code &c) { return c.code == code; });
}

std::string echo_of(const Code &c, const std::string &message) {
    return "(" + std::to_string(message.size()) + ") " + c.tag + ": " + message;
}

// The first count numbers of the record after the station name, each followed by a comma.
std::vector<double> values_of(const std::string &name, const std::string &message, size_t count) {
    std::vector<double> values;
    const char *p = message.c_str() + name.size(); // at the comma before each number
    for (char *end = nullptr; values.size() < count && *p == ','; p = end)
        values.push_back(std::strtod(p + 1, &end));
    return values;
}

// Checks one message as it arrived with the receiver's checker, then what the checker cannot
// know: the values stay where the simulation keeps them (no minus sign, distance and level
// below 10, d1 below 10000, volume below 100000, temperatures of two whole digits, vin from 10
// to below 20, rssi below 100) and the GLL sentence has the hemispheres, time, status and mode
// that this unit sends. Returns the sequence number, -1 when the message is malformed.
int check_message(const Code &c, const std::string &name, const std::string &message) {
    const vandry::receiver::Verdict v = vandry::receiver::check_message(
        message, c.keep_open() ? Mode::keep_open : Mode::close_after_send);
    EXPECT_TRUE(v.ok) << "code " << c.code << ": " << v.error << ": "
                      << vandry::receiver::escape(message);
    EXPECT_EQ(v.station, name);
    EXPECT_STREQ(vandry::layout_name(v.layout), vandry::layout_name(c.layout)) << message;
    if (!v.ok || v.station != name || v.layout != c.layout)
        return -1;

    static const double low[] = {0, 0, 0, 0, 10, 10, 10, 0};
    static const double below[] = {10, 10, 1e4, 1e5, 100, 100, 20, 100};
    const std::vector<double> values =
        values_of(name, message, c.layout == Layout::short_record ? 6 : 8);
    for (size_t i = 0; i < values.size(); ++i)
        EXPECT_TRUE(values[i] >= low[i] && values[i] < below[i])
            << "value " << i + 1 << ": " << message;
    EXPECT_EQ(message.find('-', name.size()), std::string::npos) << message;
    if (c.layout == Layout::gps_record) {
        std::string sentence = message.substr(message.find("$GPGLL"), 47);
        sentence.replace(7, 9, "ddmm.mmmm").replace(19, 10, "dddmm.mmmm");
        EXPECT_EQ(sentence, "$GPGLL,ddmm.mmmm,N,dddmm.mmmm,E,081359.129,A,A*") << message;
    }
    return v.sequence;
}

// The complete keep-open messages in what a connection has received so far.
std::vector<vandry::receiver::Message> messages_in(const std::string &data) {
    return vandry::receiver::Splitter(Mode::keep_open).feed(data);
}

bool has_messages(const std::string &data, size_t n) {
    return messages_in(data).size() >= n;
}

// A listener, a scratch directory with cfg.txt pointing at it, and the program running there.
struct Station {
    Listener listener;
    ScratchDir dir;
    std::unique_ptr<Program> prog;

    explicit Station(int data_type, const std::string &name = NAME, bool listening = true,
                     const std::string &ip = "127.0.0.1", Console console = Console::piped,
                     const std::vector<std::string> &args = {})
        : listener(listening) {
        dir.write_file("cfg.txt", cfg_text(name, ip, listener.port(), data_type, SMST));
        prog = std::make_unique<Program>(dir.path(), args, Target::get(), console);
    }
    // The console after start-up, once it shows the given text (or the time is up).
    std::string console_after(const std::string &text, double seconds = 20) {
        prog->wait_for(
            [&](const std::string &out) {
                return after_startup(out).compare(0, text.size(), text) == 0;
            },
            seconds);
        return after_startup(prog->output());
    }
};

} // namespace

class EachCode : public testing::TestWithParam<Code> {};

// The listener talks back, as many collectors do: a greeting on every connection and an
// acknowledgement of every message. What the program sends and prints stays the same; a
// close-after-send connection ends in order, never with a reset. Messages are a send interval
// apart, and a close-after-send connection is closed a send interval after its message.
TEST_P(EachCode, SendsNameAndRecordAndEchoesWhatArrived) {
    const Code &c = GetParam();
    Station st(c.code);
    std::vector<std::string> messages;
    std::vector<double> pauses; // from each message to the next one, or to the close
    if (c.keep_open()) {
        Connection conn;
        ASSERT_TRUE(st.listener.accept(&conn, 20)) << st.prog->output();
        ASSERT_TRUE(conn.write("HELLO\r\n", 5));
        double last = 0;
        for (size_t n = 1; n <= 3; ++n) {
            ASSERT_TRUE(conn.wait_for([&](const std::string &d) { return has_messages(d, n); }, 30))
                << conn.data() << st.prog->output();
            if (n > 1)
                pauses.push_back(seconds_now() - last);
            last = seconds_now();
            ASSERT_TRUE(conn.write("ACK\r\n", 5));
        }
        for (const vandry::receiver::Message &m : messages_in(conn.data()))
            messages.push_back(m.bytes);
        EXPECT_FALSE(conn.closed());
        EXPECT_FALSE(st.listener.pending(0)) << "keep-open mode opened a second connection";
    } else {
        for (int i = 0; i < 3; ++i) { // one message per connection, closed by the program
            Connection conn;
            ASSERT_TRUE(st.listener.accept(&conn, 20)) << st.prog->output();
            ASSERT_TRUE(conn.write("HELLO\r\n", 5));
            ASSERT_TRUE(conn.wait_for(
                [](const std::string &d) { return !d.empty() && d.back() == '\n'; }, 20));
            const double sent = seconds_now();
            ASSERT_TRUE(conn.write("ACK\r\n", 5));
            ASSERT_TRUE(conn.wait_closed(20)) << conn.data() << st.prog->output();
            pauses.push_back(seconds_now() - sent);
            EXPECT_FALSE(conn.was_reset()) << "connection " << i << " was reset";
            messages.push_back(conn.data());
        }
    }
    for (const double pause : pauses)
        EXPECT_GE(pause, SMST - SEEN_LATE) << testing::PrintToString(pauses);
    std::string echoes;
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(check_message(c, NAME, messages[i]), static_cast<int>(i));
        echoes += echo_of(c, messages[i]) + (c.keep_open() ? "" : "socket is closing\n");
    }
    EXPECT_EQ(st.console_after(echoes).substr(0, echoes.size()), echoes);
}

INSTANTIATE_TEST_SUITE_P(Transmission, EachCode, testing::ValuesIn(CODES),
                         [](const testing::TestParamInfo<Code> &info) {
                             return "Code" + std::to_string(info.param.code);
                         });

// With a seed the run is repeatable: what a run sends is exactly what its dry run writes. With
// --count it ends after the last message, status 0, and keeps the interval before it.
class SeededRun : public testing::TestWithParam<int> {};

TEST_P(SeededRun, SendsWhatItsDryRunWritesAndEndsAfterItsCount) {
    const Code &c = code_of(GetParam());
    Listener listener;
    ScratchDir dir;
    dir.write_file("unit.cfg", cfg_text(NAME, "127.0.0.1", listener.port(), c.code, SMST));
    const std::vector<std::string> args = {"--config", "unit.cfg", "--seed",
                                           "4242",     "--count",  "3"};
    std::vector<std::string> dry_args = args;
    dry_args.push_back("--dry-run");
    Program dry(dir.path(), dry_args);
    ASSERT_TRUE(dry.wait_exit(20));
    EXPECT_EQ(dry.status(), "exited with 0");
    EXPECT_EQ(count_of(dry.raw_output(), NAME + ","), 3u) << dry.raw_output();

    std::vector<std::string> verbose_args = args;
    verbose_args.push_back("--verbose");
    const double start = seconds_now();
    Program prog(dir.path(), verbose_args);
    std::string wire;
    for (int i = 0; i < (c.keep_open() ? 1 : 3); ++i) {
        Connection conn;
        ASSERT_TRUE(listener.accept(&conn, 20)) << prog.output();
        ASSERT_TRUE(conn.wait_closed(20)) << prog.output();
        wire += conn.data();
    }
    ASSERT_TRUE(prog.wait_exit(20)) << prog.output();
    EXPECT_GE(seconds_now() - start, 2 * SMST - SEEN_LATE);
    EXPECT_EQ(prog.status(), "exited with 0");
    EXPECT_EQ(wire, dry.raw_output());
    EXPECT_NE(prog.output().find(" \nseed: 4242\ntank_height="), std::string::npos)
        << prog.output();
}

INSTANTIATE_TEST_SUITE_P(Transmission, SeededRun, testing::Values(21, 30));

// A close-after-send unit sends a duplicate as one that retries: each copy whole, on a
// connection of its own.
TEST(Transmission, SendsEachCopyOfADuplicateOnAConnectionOfItsOwn) {
    Listener listener;
    ScratchDir dir;
    dir.write_file("unit.cfg", cfg_text(NAME, "127.0.0.1", listener.port(), 21, SMST));
    Program prog(dir.path(), {"--config", "unit.cfg", "--count", "1", "--faults", "duplicate=1"});
    for (int copy = 0; copy < 2; ++copy) {
        Connection conn;
        ASSERT_TRUE(listener.accept(&conn, 20)) << prog.output();
        ASSERT_TRUE(conn.wait_closed(20)) << prog.output();
        EXPECT_EQ(check_message(code_of(21), NAME, conn.data()), 0);
    }
    ASSERT_TRUE(prog.wait_exit(20)) << prog.output();
    EXPECT_EQ(prog.status(), "exited with 0");
}

// A unit whose power fails again and again (a silence of 0 s, drawn nine times in ten) comes
// back no sooner than its next tick: its connections an interval apart, not a storm of them.
TEST(Transmission, ComesBackFromASilenceNoSoonerThanItsNextTick) {
    Listener listener;
    ScratchDir dir;
    dir.write_file("unit.cfg", cfg_text(NAME, "127.0.0.1", listener.port(), 21, SMST));
    Program prog(dir.path(), {"--config", "unit.cfg", "--seed", "1", "--faults", "silence=0.9:0"});
    double last = 0;
    for (int n = 0; n < 3; ++n) {
        Connection conn;
        ASSERT_TRUE(listener.accept(&conn, 20)) << prog.output();
        const double now = seconds_now();
        EXPECT_GE(n > 0 ? now - last : SMST, SMST - SEEN_LATE) << "connection " << n;
        last = now;
        conn.wait_closed(20);
    }
}

// A fault log's rows without their time: what a unit injected, at which tick.
std::string faults_injected(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream rows;
    rows << in.rdbuf();
    return std::regex_replace(rows.str(), std::regex("(^|\n)[^,\n]*,"), "$1");
}

// One unit's faults are the same in a dry run, over TCP and in the fleet: a slow message draws
// its pieces in all three, so the faults after it land on the same ticks.
TEST(Transmission, DrawsTheSameFaultsInADryRunOverTcpAndInTheFleet) {
    if (Target::get().launched())
        GTEST_SKIP() << "the fleet is tested as built for this machine";
    Listener listener;
    ScratchDir dir;
    dir.write_file("unit.cfg", cfg_text("U00000", "127.0.0.1", listener.port(), 30, SMST));
    const std::vector<std::string> faults = {"--seed", "3",        "--count",
                                             "4",      "--faults", "slow=0.3,garble=0.3,drop=0.2"};
    std::vector<std::string> unit_args = {"--config", "unit.cfg", "--fault-log"};
    unit_args.insert(unit_args.end(), faults.begin(), faults.end());
    std::vector<std::string> dry_args = unit_args, tcp_args = unit_args;
    dry_args.insert(dry_args.begin() + 3, {"dry.csv", "--dry-run"});
    tcp_args.insert(tcp_args.begin() + 3, "tcp.csv");
    std::vector<std::string> fleet_args = {
        "--units",     "1",        "--server", "127.0.0.1:" + std::to_string(listener.port()),
        "--type",      "30",       "--rand",   "glibc",
        "--fault-log", "fleet.csv"};
    fleet_args.insert(fleet_args.end(), faults.begin(), faults.end());
    Program dry(dir.path(), dry_args), tcp(dir.path(), tcp_args),
        fleet(dir.path(), fleet_args, Target::fleet());
    for (Program *p : {&dry, &tcp, &fleet}) {
        ASSERT_TRUE(p->wait_exit(60)) << p->output();
        EXPECT_EQ(p->status(), "exited with 0") << p->output();
    }
    const std::string injected = faults_injected(dir.path() + "/dry.csv");
    EXPECT_EQ(count_of(injected, ",slow,"), 2u) << injected;
    EXPECT_EQ(faults_injected(dir.path() + "/tcp.csv"), injected);
    EXPECT_EQ(faults_injected(dir.path() + "/fleet.csv"), injected);
}

// A fault log that cannot grow (a full disk; here a file-size limit, its signal not set aside
// by the shell) is said once, and the run, vandry's or the fleet's, ends with status 1.
TEST(Transmission, SaysOnceThatTheFaultLogIsFullAndEndsWithOne) {
    if (Target::get().launched())
        GTEST_SKIP() << "the file-size limit is set by a shell around the program as built";
    Listener listener;
    ScratchDir dir;
    dir.write_file("unit.cfg", cfg_text(NAME, "127.0.0.1", listener.port(), 21, SMST));
    const std::string limited = "ulimit -f 2 && exec \"$0\" \"$@\" 2>&1";
    Program unit(dir.path(),
                 {"/bin/sh", "-c", limited, VANDRY_DEFAULT_EXE, "--config", "unit.cfg", "--seed",
                  "1", "--count", "100", "--dry-run", "--faults", "garble=0.9", "--fault-log",
                  "unit.csv"},
                 Target{});
    Program fleet(dir.path(),
                  {"/bin/sh", "-c", limited, VANDRY_DEFAULT_FLEET_EXE, "--units", "10", "--count",
                   "2", "--server", "127.0.0.1:" + std::to_string(listener.port()), "--type", "30",
                   "--faults", "garble=1", "--fault-log", "fleet.csv"},
                  Target{});
    for (Program *p : {&unit, &fleet}) {
        ASSERT_TRUE(p->wait_exit(60)) << p->output();
        EXPECT_EQ(p->status(), "exited with 1") << p->output();
        EXPECT_EQ(count_of(p->output(), "cannot write the fault log"), 1u) << p->output();
        EXPECT_NE(p->output().find("(File too large): its later rows are missing\n"),
                  std::string::npos);
    }
}

TEST(Transmission, StationNameOfThirtyCharactersIsSentWhole) {
    const std::string name = "Tank/North,Bay#07_level+temp.A";
    ASSERT_EQ(name.size(), 30u);
    Station st(11, name);
    Connection conn;
    ASSERT_TRUE(st.listener.accept(&conn, 20)) << st.prog->output();
    ASSERT_TRUE(conn.wait_closed(20)) << st.prog->output();
    EXPECT_EQ(check_message(code_of(11), name, conn.data()), 0);
    const std::string echo = echo_of(code_of(11), conn.data()) + "socket is closing\n";
    EXPECT_EQ(st.console_after(echo).substr(0, echo.size()), echo);
}

TEST(Transmission, WaitsForAListenerAndThenSendsTheFirstTick) {
    Station st(21, NAME, false);
    const std::string refused =
        "connect failed with error: " + std::to_string(refused_code()) + "\n";
    ASSERT_TRUE(st.prog->wait_for(refused, 20, 1)) << st.prog->output();
    const double first = seconds_now();
    ASSERT_TRUE(st.prog->wait_for(refused, 20, 2)) << st.prog->output();
    EXPECT_GE(seconds_now() - first, 5 - SEEN_LATE) << "connect retried too soon";
    const std::string waiting = after_startup(st.prog->output());
    EXPECT_TRUE(std::regex_match(waiting, std::regex("(" + quote(refused) + ")+"))) << waiting;

    st.listener.listen();
    Connection conn;
    ASSERT_TRUE(st.listener.accept(&conn, 20)) << st.prog->output();
    ASSERT_TRUE(conn.wait_closed(20)) << st.prog->output();
    EXPECT_EQ(check_message(code_of(21), NAME, conn.data()), 0);
    const std::vector<double> values = values_of(NAME, conn.data(), 8);
    ASSERT_EQ(values.size(), 8u) << conn.data();
    EXPECT_EQ(values[4], 25.0) << conn.data(); // temp1 and temp2 at the first position of the cycle
    EXPECT_EQ(values[5], 30.0) << conn.data();
    const std::string echo = echo_of(code_of(21), conn.data());
    EXPECT_EQ(st.console_after(waiting + echo).substr(waiting.size(), echo.size()), echo);
}

// A server that closes a kept connection after one message: the program sees the end of the
// stream, writes nothing more into that connection, and 5 s later sends the next tick on a new
// one, so that no message is lost.
TEST(Transmission, ReconnectsAfterTheListenerClosesAKeptConnection) {
    Station st(10);
    std::string first_message;
    {
        Connection first;
        ASSERT_TRUE(st.listener.accept(&first, 20)) << st.prog->output();
        ASSERT_TRUE(first.wait_for([](const std::string &d) { return has_messages(d, 1); }, 20));
        first_message = messages_in(first.data())[0].bytes;
    } // closed here
    EXPECT_EQ(check_message(code_of(10), NAME, first_message), 0);

    ASSERT_TRUE(st.prog->wait_for("connection ended by the server\n", 40)) << st.prog->output();
    const double ended = seconds_now();
    Connection second;
    ASSERT_TRUE(st.listener.accept(&second, 40)) << st.prog->status() << "\n" << st.prog->output();
    EXPECT_GE(seconds_now() - ended, 5 - SEEN_LATE) << "reconnected too soon after the end";
    ASSERT_TRUE(second.wait_for([](const std::string &d) { return has_messages(d, 1); }, 20));
    const std::string resent = messages_in(second.data())[0].bytes;
    const std::string echo = echo_of(code_of(10), resent);
    ASSERT_TRUE(st.prog->wait_for(echo, 20)) << st.prog->output();
    EXPECT_TRUE(st.prog->running()) << st.prog->status();

    // The line comes between the last echo on the first connection and the first on the new
    // one, and the sequence runs on: nothing was written into the closed connection.
    const std::string out = after_startup(st.prog->output());
    EXPECT_EQ(out, echo_of(code_of(10), first_message) + "connection ended by the server\n" + echo)
        << out;
    EXPECT_EQ(check_message(code_of(10), NAME, resent), 1);
}

// A server that resets every connection at once: a close-after-send program reports it and
// never counts a message into a reset connection as sent.
TEST(Transmission, ReportsAConnectionResetWhileItWaits) {
    if (Target::get().launched())
        GTEST_SKIP() << "Wine's sockets do not report a reset as readable while the program waits";
    Station st(21, NAME, true, "127.0.0.1", Console::piped, {"--fault-log", "f.csv"});
    Connection conn;
    ASSERT_TRUE(st.listener.accept(&conn, 20)) << st.prog->output();
    ASSERT_TRUE(
        conn.wait_for([](const std::string &d) { return !d.empty() && d.back() == '\n'; }, 20));
    conn.reset();
    const std::string line = "recv error:";
    ASSERT_TRUE(st.prog->wait_for(line, 20)) << st.prog->output();
    const double reset = seconds_now();
    ASSERT_TRUE(st.prog->wait_for("socket is closing\n", 20)) << st.prog->output();
    EXPECT_GE(seconds_now() - reset, 5 - SEEN_LATE) << "closing line before the 5 s pause";
    std::smatch code;
    const std::string out = st.prog->output();
    ASSERT_TRUE(std::regex_search(out, code, std::regex(R"(recv error:(\d+)\n)"))) << out;
    const std::vector<int> codes = send_lost_codes();
    EXPECT_NE(std::find(codes.begin(), codes.end(), std::stoi(code[1].str())), codes.end()) << out;
    std::ifstream log(st.dir.path() + "/f.csv");
    EXPECT_EQ(count_of(std::string(std::istreambuf_iterator<char>(log), {}), ",0,unconfirmed,"),
              1u);
}

TEST(Transmission, RetriesAnAddressThatCannotBeResolved) {
    Station st(10, NAME, true, "nonexistent.invalid");
    const std::string line = "getaddrinfo failed with error: ";
    ASSERT_TRUE(st.prog->wait_for(line, 60, 1)) << st.prog->output();
    const double first = seconds_now();
    ASSERT_TRUE(st.prog->wait_for(line, 60, 2)) << st.prog->output();
    EXPECT_GE(seconds_now() - first, 5 - SEEN_LATE) << "resolved again too soon";
    const std::string failing = after_startup(st.prog->output());
    EXPECT_TRUE(std::regex_match(failing, std::regex("(" + quote(line) + R"(-?\d+\n)+)")))
        << failing;
    EXPECT_TRUE(st.prog->running()) << st.prog->status();
    EXPECT_FALSE(st.listener.pending(0));
}

TEST(Transmission, HoldsNoMoreDescriptorsAfterManyConnections) {
    if (Target::get().launched())
        GTEST_SKIP() << "the descriptors of a launched program are not those of its process";
    Station st(11);
    std::vector<int> open_fds;
    for (int pass = 0; pass < 5; ++pass) {
        Connection conn;
        ASSERT_TRUE(st.listener.accept(&conn, 20)) << st.prog->output();
        // Once the whole message is in, the program is in its pause with the connection open.
        ASSERT_TRUE(
            conn.wait_for([](const std::string &d) { return !d.empty() && d.back() == '\n'; }, 20));
        open_fds.push_back(st.prog->open_fds());
        ASSERT_TRUE(conn.wait_closed(20)) << st.prog->output();
    }
    EXPECT_GT(open_fds.front(), 0);
    EXPECT_LE(open_fds.back(), open_fds.front()) << testing::PrintToString(open_fds);
}

// A collector that answers with far more than the socket buffers hold: the program takes it all
// while it goes on sending exact messages.
TEST(Transmission, TakesEveryAnswerOfAKeptConnection) {
    Station st(30);
    Connection conn;
    ASSERT_TRUE(st.listener.accept(&conn, 20)) << st.prog->output();
    EXPECT_TRUE(conn.write(std::string(1 << 20, 'a'), 5 * SMST)) << "answers not taken";
    ASSERT_TRUE(conn.wait_for([](const std::string &d) { return has_messages(d, 3); }, 30))
        << conn.data() << st.prog->output();
    int expected = 0;
    for (const vandry::receiver::Message &m : messages_in(conn.data()))
        EXPECT_EQ(check_message(code_of(30), NAME, m.bytes), expected++);
    EXPECT_FALSE(conn.closed());
}

// Started with its standard output closed, the program must not take descriptor 1 for its
// connection, or the console would write into it. The console is lost; the wire stays exact.
TEST(Transmission, ClosedConsoleNeverWritesIntoTheConnection) {
    Station st(10, NAME, true, "127.0.0.1", Console::closed);
    Connection conn;
    ASSERT_TRUE(st.listener.accept(&conn, 20));
    ASSERT_TRUE(conn.wait_for([](const std::string &d) { return has_messages(d, 2); }, 30))
        << vandry::receiver::escape(conn.data());
    const std::vector<vandry::receiver::Message> messages = messages_in(conn.data());
    EXPECT_EQ(check_message(code_of(10), NAME, messages[0].bytes), 0);
    EXPECT_EQ(check_message(code_of(10), NAME, messages[1].bytes), 1);
    EXPECT_TRUE(st.prog->running()) << st.prog->status();
}

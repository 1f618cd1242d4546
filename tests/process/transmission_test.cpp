// The real program sending to real listeners on 127.0.0.1: the bytes on the wire, the console
// echo, the two connection modes and the ways a connection can fail.
#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

using namespace proc;

namespace {

const std::string NAME = "pump-12";
constexpr int SMST = 3;

// The record layouts; the one group of the short and long records is the sequence number, the
// GPS record adds the sentence between "$" and "*" and its checksum.
const std::string HEAD = R"(\d\.\d{3},\d\.\d{3},\d{1,4}\.\d,( {2}\d| \d\d|\d{3,5})\.\d,)"
                         R"(\d\d\.\d,\d\d\.\d)";
const std::string LONG_TAIL = R"(,1\d\.\d,( \d|\d\d)\.\d)";
const std::string SHORT_RECORD = HEAD + R"(,(\d+) \n)";
const std::string LONG_RECORD = HEAD + LONG_TAIL + R"(,(\d+) \n)";
const std::string GPS_RECORD =
    HEAD + LONG_TAIL +
    R"(,(\d+),\$(GPGLL,\d{4}\.\d{4},N,\d{5}\.\d{4},E,081359\.129,A,A)\*([0-9A-F]{2})\n)";

struct Code {
    int code;
    const char *tag; // as in the echo line
    const std::string *record;
    bool keep_open() const { return code % 10 == 0; }
    bool gps() const { return code / 10 == 3; }
};

const Code CODES[] = {{10, "shrt opn", &SHORT_RECORD}, {11, "shrt cls", &SHORT_RECORD},
                      {20, "long opn", &LONG_RECORD},  {21, "long cls", &LONG_RECORD},
                      {30, "gps opn", &GPS_RECORD},    {31, "gps cls", &GPS_RECORD}};

const Code &code_of(int code) {
    return *std::find_if(std::begin(CODES), std::end(CODES),
                         [&](const Code &c) { return c.code == code; });
}

std::string echo_of(const Code &c, const std::string &message) {
    return "(" + std::to_string(message.size()) + ") " + c.tag + ": " + message;
}

// Checks one message as it arrived and returns its sequence number, -1 when it is malformed.
int check_message(const Code &c, const std::string &name, const std::string &message) {
    const std::string head = quote(name + ",");
    const std::regex layout(head + *c.record + (c.keep_open() ? "\r\n" : ""));
    std::smatch m;
    EXPECT_TRUE(std::regex_match(message, m, layout)) << "code " << c.code << ": " << message;
    if (m.empty())
        return -1;
    const size_t seq_group = c.record == &SHORT_RECORD ? 2 : 3;
    if (c.gps()) {
        unsigned sum = 0;
        for (const char ch : m[seq_group + 1].str())
            sum ^= static_cast<unsigned char>(ch);
        EXPECT_EQ(std::stoul(m[seq_group + 2].str(), nullptr, 16), sum) << message;
    }
    return std::stoi(m[seq_group].str());
}

// The comma-separated fields of the record in a message of the given station.
std::vector<std::string> fields_of(const std::string &name, const std::string &message) {
    std::vector<std::string> fields;
    std::string field;
    for (const char ch : message.substr(name.size() + 1)) {
        if (ch == ',') {
            fields.push_back(field);
            field.clear();
        } else {
            field += ch;
        }
    }
    fields.push_back(field);
    return fields;
}

// Complete keep-open messages in what a connection received: each ends with "\r\n".
std::vector<std::string> split_messages(const std::string &data) {
    std::vector<std::string> messages;
    for (size_t begin = 0, end; (end = data.find("\r\n", begin)) != std::string::npos;
         begin = end + 2)
        messages.push_back(data.substr(begin, end + 2 - begin));
    return messages;
}

bool has_messages(const std::string &data, size_t n) {
    return split_messages(data).size() >= n;
}

// A listener, a scratch directory with cfg.txt pointing at it, and the program running there.
struct Station {
    Listener listener;
    ScratchDir dir;
    std::unique_ptr<Program> prog;

    explicit Station(int data_type, const std::string &name = NAME, bool listening = true,
                     const std::string &ip = "127.0.0.1")
        : listener(listening) {
        dir.write_file("cfg.txt", cfg_text(name, ip, listener.port(), data_type, SMST));
        prog = std::make_unique<Program>(dir.path());
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

TEST_P(EachCode, SendsNameAndRecordAndEchoesWhatArrived) {
    const Code &c = GetParam();
    Station st(c.code);
    std::vector<std::string> messages;
    if (c.keep_open()) {
        Connection conn;
        ASSERT_TRUE(st.listener.accept(&conn, 20)) << st.prog->output();
        ASSERT_TRUE(conn.wait_for([](const std::string &d) { return has_messages(d, 3); }, 30))
            << conn.data() << st.prog->output();
        messages = split_messages(conn.data());
        EXPECT_FALSE(conn.closed());
        EXPECT_FALSE(st.listener.pending(0)) << "keep-open mode opened a second connection";
    } else {
        for (int i = 0; i < 3; ++i) { // one message per connection, closed by the program
            Connection conn;
            ASSERT_TRUE(st.listener.accept(&conn, 20)) << st.prog->output();
            ASSERT_TRUE(conn.wait_closed(20)) << conn.data() << st.prog->output();
            messages.push_back(conn.data());
        }
    }
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

TEST(Transmission, StationNameOfThirtyCharactersIsSentWhole) {
    const std::string name = "Tank/North,Bay#07_level+temp.A";
    ASSERT_EQ(name.size(), 30u);
    Station st(11, name);
    Connection conn;
    ASSERT_TRUE(st.listener.accept(&conn, 20)) << st.prog->output();
    ASSERT_TRUE(conn.wait_closed(20)) << st.prog->output();
    EXPECT_EQ(conn.data().compare(0, name.size() + 1, name + ","), 0) << conn.data();
    EXPECT_EQ(check_message(code_of(11), name, conn.data()), 0);
    const std::string echo = echo_of(code_of(11), conn.data()) + "socket is closing\n";
    EXPECT_EQ(st.console_after(echo).substr(0, echo.size()), echo);
}

TEST(Transmission, WaitsForAListenerAndThenSendsTheFirstTick) {
    Station st(21, NAME, false);
    const std::string refused =
        "connect failed with error: " + std::to_string(refused_code()) + "\n";
    ASSERT_TRUE(st.prog->wait_for(refused, 20, 2)) << st.prog->output();
    const std::string waiting = after_startup(st.prog->output());
    EXPECT_TRUE(std::regex_match(waiting, std::regex("(" + quote(refused) + ")+"))) << waiting;

    st.listener.listen();
    Connection conn;
    ASSERT_TRUE(st.listener.accept(&conn, 20)) << st.prog->output();
    ASSERT_TRUE(conn.wait_closed(20)) << st.prog->output();
    EXPECT_EQ(check_message(code_of(21), NAME, conn.data()), 0);
    const std::vector<std::string> fields = fields_of(NAME, conn.data());
    ASSERT_EQ(fields.size(), 9u) << conn.data();
    EXPECT_EQ(fields[4], "25.0"); // temp1 and temp2 at the first position of the cycle
    EXPECT_EQ(fields[5], "30.0");
    const std::string echo = echo_of(code_of(21), conn.data());
    EXPECT_EQ(st.console_after(waiting + echo).substr(waiting.size(), echo.size()), echo);
}

TEST(Transmission, ReconnectsAfterTheListenerClosesAKeptConnection) {
    Station st(10);
    std::string first_message;
    {
        Connection first;
        ASSERT_TRUE(st.listener.accept(&first, 20)) << st.prog->output();
        ASSERT_TRUE(first.wait_for([](const std::string &d) { return has_messages(d, 1); }, 20));
        first_message = split_messages(first.data())[0];
    } // closed here: the program's next sends meet a closed connection
    EXPECT_EQ(check_message(code_of(10), NAME, first_message), 0);

    Connection second;
    ASSERT_TRUE(st.listener.accept(&second, 40)) << st.prog->status() << "\n" << st.prog->output();
    ASSERT_TRUE(second.wait_for([](const std::string &d) { return has_messages(d, 1); }, 20));
    const std::string resent = split_messages(second.data())[0];
    const std::string echo = echo_of(code_of(10), resent);
    ASSERT_TRUE(st.prog->wait_for(echo, 20)) << st.prog->output();
    EXPECT_TRUE(st.prog->running()) << st.prog->status();

    // The send error comes between the last echo on the first connection and the first echo
    // on the new one; the message whose send failed is lost, and its sequence number with it.
    const std::string out = st.prog->output();
    std::smatch error;
    ASSERT_TRUE(std::regex_search(out, error, std::regex(R"(send error:(\d+)\n)"))) << out;
    const std::vector<int> codes = send_lost_codes();
    EXPECT_NE(std::find(codes.begin(), codes.end(), std::stoi(error[1].str())), codes.end())
        << error[0];
    EXPECT_EQ(error.suffix().str().compare(0, echo.size(), echo), 0) << out;
    const std::regex echoed_seq(R"(,(\d+) \n\r\n)");
    const std::string before = error.prefix().str();
    int last_echoed = -1;
    for (std::sregex_iterator it(before.begin(), before.end(), echoed_seq), end; it != end; ++it)
        last_echoed = std::stoi((*it)[1].str());
    ASSERT_GE(last_echoed, 0) << out;
    EXPECT_EQ(check_message(code_of(10), NAME, resent), last_echoed + 2);
}

TEST(Transmission, RetriesAnAddressThatCannotBeResolved) {
    Station st(10, NAME, true, "nonexistent.invalid");
    const std::string line = "getaddrinfo failed with error: ";
    ASSERT_TRUE(st.prog->wait_for(line, 20, 2)) << st.prog->output();
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

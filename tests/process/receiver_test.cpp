// The receiver end to end: a crafted stream on real connections, accepting out of descriptors
// and back, the counts of its final line when SIGTERM ends it.
#include "harness.h"

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace proc;

namespace {

// Sends all bytes at once, which the receiver must take whole.
void send_all(const Fd &fd, const std::string &bytes) {
    ASSERT_TRUE(send_whole(fd, bytes));
}

std::string record(int sequence) {
    return "2.459,0.081,4.6,323.8,25.0,30.0," + std::to_string(sequence) + " \n";
}

TEST(Receiver, QuietCountsGapsAndMalformedUntilSigterm) {
    if (Target::get().launched())
        GTEST_SKIP() << "the receiver is tested as built for this machine";
    ScratchDir dir;
    // Few descriptors, so that accepting runs out of them. A sanitizer's own checks need
    // descriptors too (they read the process's memory map), so there the receiver has enough.
    const bool exhaust = !VANDRY_SANITIZED;
    Program receiver(dir.path(),
                     {"/bin/sh", "-c",
                      std::string("ulimit -n ") + (exhaust ? "40" : "1024") +
                          " && exec \"$0\" --quiet 127.0.0.1 0",
                      VANDRY_RECEIVER_EXE},
                     Target{});
    const int port = listening_port(receiver);
    ASSERT_NE(port, 0) << receiver.output();

    // Station ST01 loses 2 and 3; a reconnecting unit goes on with its sequence.
    const Fd kept = connect_to(port);
    send_all(kept, "ST01," + record(0) + "\r\nST01," + record(1) + "\r\nST01," + record(4) +
                       "\r\nbad\r\n");
    EXPECT_TRUE(receiver.wait_for("GAP on conn 1: station ST01 expected 2, got 4 (2 lost)\n", 10));
    send_all(connect_to(port), "ST01," + record(5));
    if (exhaust) {
        {
            std::vector<Fd> many;
            for (int i = 0; i < 40; ++i)
                many.push_back(connect_to(port));
            EXPECT_TRUE(receiver.wait_for("accept failed: error 24 (Too many open files); "
                                          "accepting pauses\n",
                                          10));
        }
        EXPECT_TRUE(receiver.wait_for_regex("accepting again after [0-9]+ failed accepts\n", 10));
    }
    EXPECT_TRUE(receiver.wait_for_regex(
        "receiver: t=[0-9]+s connections=1 messages/s=[0-9]+ total=5 malformed=1 gaps=1 lost=2\n",
        10))
        << receiver.output();
    kill(receiver.pid(), SIGTERM);
    EXPECT_TRUE(receiver.wait_for("vandry-receiver stopped: " + std::string(exhaust ? "42" : "2") +
                                      " connections, 5 messages, 1 malformed, 1 gap, 2 lost "
                                      "(without a plan, loss is counted modulo 16 and may be "
                                      "more)\n",
                                  10))
        << receiver.output();
    EXPECT_EQ(receiver.output().find("[conn "), std::string::npos);
    for (int i = 0; i < 1000 && receiver.running(); ++i)
        usleep(10000); // the console closes just before the process can be reaped
    EXPECT_EQ(receiver.status(), "exited with 1"); // lost and malformed
}

// A fleet of hundreds of units against the receiver, in both connection modes: every message
// the fleet counts as sent arrives well formed, and no station's sequence has a gap.
TEST(Receiver, TakesAFleetWholeInBothModes) {
    if (Target::get().launched())
        GTEST_SKIP() << "the receiver and the fleet are tested as built for this machine";
    constexpr int UNITS = 300, COUNT = 3;
    for (const int code : {30, 11}) {
        SCOPED_TRACE(code);
        ScratchDir dir;
        Program receiver(dir.path(), {VANDRY_RECEIVER_EXE, "--quiet", "127.0.0.1", "0"}, Target{});
        const int port = listening_port(receiver);
        ASSERT_NE(port, 0) << receiver.output();

        Program fleet(dir.path(),
                      {"--units", std::to_string(UNITS), "--server",
                       "127.0.0.1:" + std::to_string(port), "--type", std::to_string(code),
                       "--count", std::to_string(COUNT)},
                      Target::fleet());
        ASSERT_TRUE(fleet.wait_exit(60)) << fleet.output();
        EXPECT_EQ(fleet.status(), "exited with 0") << fleet.output();
        const std::string sent = std::to_string(UNITS * COUNT);
        EXPECT_NE(fleet.output().find(" written=" + sent + " unconfirmed=0 failed=0 expected=" +
                                      sent + " connect_failures=0 "),
                  std::string::npos)
            << fleet.output();

        ASSERT_TRUE(receiver.wait_for(" total=" + sent + " malformed=0 gaps=0 lost=0\n", 10))
            << receiver.output();
        kill(receiver.pid(), SIGTERM);
        const int connections = code == 30 ? UNITS : UNITS * COUNT;
        EXPECT_TRUE(receiver.wait_for("vandry-receiver stopped: " + std::to_string(connections) +
                                          " connections, " + sent +
                                          " messages, 0 malformed, 0 gaps, 0 lost (without a "
                                          "plan, loss is counted modulo 16 and may be more)\n",
                                      10))
            << receiver.output();
    }
}

// What has arrived when SIGTERM comes is taken, whatever the receiver had got to: connections
// that still wait to be accepted, their messages and their ends, in the order of their accepts.
TEST(Receiver, TakesWhatArrivedBeforeSigterm) {
    if (Target::get().launched())
        GTEST_SKIP() << "the receiver is tested as built for this machine";
    for (const char *threads : {"1", "2"}) {
        ScratchDir dir;
        Program receiver(dir.path(), {VANDRY_RECEIVER_EXE, "--threads", threads, "127.0.0.1", "0"},
                         Target{});
        const int port = listening_port(receiver);
        ASSERT_NE(port, 0) << receiver.output();
        kill(receiver.pid(), SIGSTOP);
        for (int sequence = 0; sequence < 3; ++sequence)
            send_all(connect_to(port), "ST01," + record(sequence));
        kill(receiver.pid(), SIGTERM);
        kill(receiver.pid(), SIGCONT);
        ASSERT_TRUE(receiver.wait_exit(10)) << receiver.output();
        EXPECT_NE(receiver.output().find("stopped: 3 connections, 3 messages, 0 malformed, 0 gaps"),
                  std::string::npos)
            << threads << " threads:\n"
            << receiver.output();
    }
}

// Each station's messages as "size text" in the order of the lines that match pattern, whose
// groups size and text (which begins with the station's name) are given.
std::map<std::string, std::vector<std::string>>
by_station(const std::string &lines, const std::string &pattern, int size, int text) {
    std::map<std::string, std::vector<std::string>> found;
    const std::regex line(pattern);
    for (std::sregex_iterator m(lines.begin(), lines.end(), line), end; m != end; ++m) {
        const std::string t = (*m)[text].str();
        found[t.substr(0, t.find(','))].push_back((*m)[size].str() + " " + t);
    }
    return found;
}

// On reader threads, every connection's messages are printed in the order that its unit sent
// them, exactly as its unit echoes them; also those that a stalled receiver reads at once.
TEST(Receiver, ReaderThreadsKeepEachConnectionsOrder) {
    if (Target::get().launched())
        GTEST_SKIP() << "the receiver and the fleet are tested as built for this machine";
    ScratchDir dir;
    Program receiver(dir.path(), {VANDRY_RECEIVER_EXE, "--threads", "2", "127.0.0.1", "0"},
                     Target{});
    const int port = listening_port(receiver);
    ASSERT_NE(port, 0) << receiver.output();
    Program fleet(dir.path(),
                  {"--units", "40", "--server", "127.0.0.1:" + std::to_string(port), "--type", "30",
                   "--count", "5", "--echo"},
                  Target::fleet());
    ASSERT_TRUE(receiver.wait_for("connection 40 opened", 20)) << receiver.output();
    kill(receiver.pid(), SIGSTOP);
    std::this_thread::sleep_for(std::chrono::seconds(7));
    kill(receiver.pid(), SIGCONT);
    ASSERT_TRUE(fleet.wait_exit(60)) << fleet.output();
    kill(receiver.pid(), SIGTERM);
    ASSERT_TRUE(receiver.wait_exit(20)) << receiver.output();
    const auto sent = by_station(fleet.output(), R"(\((\d+)\) \w+ opn: ([^\n]*)\n)", 1, 2);
    EXPECT_EQ(sent.size(), 40U);
    EXPECT_EQ(
        by_station(receiver.output(),
                   R"(\[conn \d+ [^\]]*\] ([^\n]*)  \(\w+, keep-open, seq \d+, (\d+) bytes\)\n)", 2,
                   1),
        sent);
}

std::string file_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A recorded run in CSV: the rows of a live run and of its dry run's recording hold every value
// exactly as the unit printed it, and plot.sh draws them into a picture of the size asked for.
TEST(Receiver, RecordsARunAsCsvValuesAsPrintedAndPlotsIt) {
    ScratchDir dir;
    Program receiver(dir.path(),
                     {VANDRY_RECEIVER_EXE, "--csv", "live.csv", "--quiet", "127.0.0.1", "0"},
                     Target{});
    const int port = listening_port(receiver);
    ASSERT_NE(port, 0) << receiver.output();
    const std::string name = "st,\"7"; // quoted in CSV
    dir.write_file("unit.cfg", cfg_text(name, "127.0.0.1", port, 30, 3));
    Program unit(dir.path(), {"--config", "unit.cfg", "--seed", "99", "--count", "2"});
    Program dry(dir.path(), {"--config", "unit.cfg", "--seed", "99", "--count", "2", "--dry-run",
                             "--plan", "plan.txt"});
    ASSERT_TRUE(unit.wait_exit(20) && dry.wait_exit(20)) << unit.output();
    dir.write_file("run.txt", dry.raw_output());
    Program read(
        dir.path(),
        {VANDRY_RECEIVER_EXE, "--read", "run.txt", "--csv", "read.csv", "--expect", "plan.txt"},
        Target{});
    ASSERT_TRUE(read.wait_exit(10));
    EXPECT_EQ(read.status(), "exited with 0") << read.output();
    ASSERT_TRUE(receiver.wait_for(" total=2 malformed=0 gaps=0 lost=0\n", 10)) << receiver.output();

    // Each message's row from its own fields: the values without their fill blanks, the
    // zero-filled longitude as it stands, the message up to its line end; the recording's rows
    // with their ticks, which its plan tells.
    std::string rows, read_rows; // read_rows: without time or connection
    const std::string messages = dry.raw_output();
    for (size_t at = 0, tick = 0; at < messages.size();
         at = messages.find("\r\n", at) + 2, ++tick) {
        std::vector<std::string> f;
        std::istringstream record(messages.substr(at + name.size() + 1));
        for (std::string field; std::getline(record, field, ',') && f.size() < 13;)
            f.push_back(field.substr(field.find_first_not_of(' ')));
        const std::string text = messages.substr(at, messages.find('\n', at) - at);
        std::string values;
        for (const int i : {0, 1, 2, 3, 4, 5, 6, 7, 10, 12})
            values += "," + f[i];
        const std::string head = "\"st,\"\"7\",gps,keep-open," + f[8] + ",";
        const std::string tail = ",,,\"st,\"\"" + text.substr(4) + "\"\r\n";
        rows += head + values + tail;
        read_rows += ",," + head + std::to_string(tick) + values + tail;
    }
    const std::string header =
        "time,connection,station,layout,mode,sequence,tick,distance,level,d1,volume,temp1,temp2,"
        "vin,rssi,latitude,longitude,error,check,message\r\n";
    EXPECT_EQ(file_text(dir.path() + "/read.csv"), header + read_rows);
    const std::string live = file_text(dir.path() + "/live.csv");
    EXPECT_EQ(
        std::regex_replace(
            live,
            std::regex(R"(\n[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}Z,1,)"),
            "\n"),
        header + rows);

    // The recording named again as the CSV file, by another path: refused, the recording kept.
    Program over(dir.path(), {VANDRY_RECEIVER_EXE, "--read", "run.txt", "--csv", "./run.txt"},
                 Target{});
    ASSERT_TRUE(over.wait_exit(10));
    EXPECT_EQ(over.status(), "exited with 2");
    EXPECT_EQ(file_text(dir.path() + "/run.txt"), dry.raw_output());

    if (std::system("command -v gnuplot >/dev/null && command -v python3 >/dev/null") != 0 &&
        std::getenv("CI") == nullptr)
        GTEST_SKIP() << "plot.sh needs gnuplot and python3";
    Program plot(dir.path(),
                 {"/bin/bash", VANDRY_PLOT_SCRIPT, "--size", "640x480", "live.csv", "cycle.png"},
                 Target{});
    ASSERT_TRUE(plot.wait_exit(30));
    EXPECT_EQ(plot.status(), "exited with 0") << plot.output();
    // The PNG signature, then the IHDR chunk: width and height, 4 bytes each, big-endian.
    const std::string png = file_text(dir.path() + "/cycle.png");
    ASSERT_GT(png.size(), 1000u);
    EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
    EXPECT_EQ(png.substr(16, 8), std::string("\0\0\x02\x80\0\0\x01\xe0", 8));
}

// A CSV file that cannot grow (a full disk; here a file-size limit) ends the run with its
// summary and status 1, and the file ends with a whole row.
TEST(Receiver, EndsWithItsSummaryWhenTheCsvFileIsFull) {
    if (Target::get().launched())
        GTEST_SKIP() << "the receiver is tested as built for this machine";
    ScratchDir dir;
    Program receiver(dir.path(),
                     {"/bin/sh", "-c",
                      "trap '' XFSZ && ulimit -f 4 && exec \"$0\" --quiet --csv full.csv "
                      "127.0.0.1 0",
                      VANDRY_RECEIVER_EXE},
                     Target{});
    const int port = listening_port(receiver);
    ASSERT_NE(port, 0) << receiver.output();
    const Fd kept = connect_to(port);
    std::string many;
    for (int i = 0; i < 200; ++i)
        many += "ST01," + record(i % 16) + "\r\n";
    send_all(kept, many);
    EXPECT_TRUE(receiver.wait_exit(10)) << receiver.output();
    EXPECT_EQ(receiver.status(), "exited with 1");
    EXPECT_TRUE(std::regex_search(receiver.output(),
                                  std::regex("vandry-receiver stopped: 1 connection, [0-9]+ "
                                             "messages, 0 malformed, 0 gaps, 0 lost \\(")))
        << receiver.output();
    const std::string csv = file_text(dir.path() + "/full.csv");
    EXPECT_GT(csv.size(), 100u);
    EXPECT_LT(csv.size(), many.size());
    EXPECT_TRUE(std::regex_search(csv, std::regex(",,,\"ST01,[0-9.,]+\"\r\n$")))
        << csv.substr(csv.size() - 100);
}

} // namespace

// A client that floods well-formed messages of a planned station that are no tick of its stream
// beside a probe of its own: every flooded message is altered and nothing is lost, and how long
// the probe's messages wait for their lines is measured (a benchmark, not asserted).
TEST(Receiver, NoClientHoldsTheOthersUp) {
    ScratchDir dir;
    dir.write_file("plan.txt", "vandry-plan type=10 rand=glibc interval=3 seed=5\nA 5\n");
    Program receiver(dir.path(), {VANDRY_RECEIVER_EXE, "--expect", "plan.txt", "127.0.0.1", "0"},
                     Target{});
    const int port = listening_port(receiver);
    ASSERT_NE(port, 0) << receiver.output();
    const Fd hostile = connect_to(port), probe = connect_to(port);
    int flooded = 0;
    for (int write = 0; write < 2; ++write) {
        std::string lines;
        for (; lines.size() < 65000; ++flooded)
            lines += "A,9." + std::to_string(100 + flooded % 900) + ",0.081,4.6,323.8,25.0,30.0," +
                     std::to_string(flooded % 16) + " \n\r\n";
        send_all(hostile, lines);
    }
    double worst = 0;
    for (int n = 0; n < 20; ++n) {
        const double sent = seconds_now();
        send_all(probe, "PROBE" + std::to_string(n) + "," + record(0) + "\r\n");
        ASSERT_TRUE(receiver.wait_for("PROBE" + std::to_string(n) + " is not in the plan", 60));
        worst = std::max(worst, seconds_now() - sent);
    }
    std::printf("a probe's line beside the flood came after at most %.1f ms\n", worst * 1000);
    ASSERT_TRUE(receiver.wait_for("ALTERED on conn", 60, static_cast<size_t>(flooded)));
    kill(receiver.pid(), SIGTERM);
    ASSERT_TRUE(receiver.wait_exit(60)) << receiver.status();
    EXPECT_NE(receiver.output().find(std::to_string(flooded + 20) +
                                     " messages, 0 malformed, 0 lost, "
                                     "0 duplicated, " +
                                     std::to_string(flooded) + " altered"),
              std::string::npos)
        << receiver.output().substr(receiver.output().size() - 300);
}

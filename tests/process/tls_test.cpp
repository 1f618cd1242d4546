// TLS against real OpenSSL: the fleet against openssl s_server, the receiver against
// openssl s_client, and the fleet into the receiver: failed handshakes counted by reason,
// sessions resumed, the plain run's bytes inside, impostors, unusable files refused at start.
#include "core/message.h"
#include "harness.h"
#include "tls/tls.h"

#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace proc;

namespace {

// scripts/make-certs.sh's certificates, made once per test process: a CA, the server, units
// U00000 to U00002 and an expired certificate; in other/ another CA and its U00000.
const std::string &certs() {
    static const ScratchDir dir;
    static const std::string path = [] {
        const std::string make = "bash " VANDRY_MAKE_CERTS_SCRIPT " " + dir.path();
        if (std::system((make + " 3 >/dev/null && " + make + "/other 1 >/dev/null").c_str()) != 0)
            ADD_FAILURE() << "cannot make certificates";
        return dir.path();
    }();
    return path;
}

// Every TLS test: skipped where the build or the machine cannot speak TLS.
class TlsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!vandry::tls::available() || Target::fleet().launched())
            GTEST_SKIP() << "a build without TLS";
        if (std::system("command -v openssl >/dev/null") != 0)
            GTEST_SKIP() << "no openssl command";
    }
};
struct FleetTls : TlsTest {};

// The Windows build has no TLS: --tls is refused at the start, said, with 2.
TEST(FleetWithoutTls, RefusesTlsAtTheStart) {
    if (!Target::fleet().launched())
        GTEST_SKIP() << "a build with TLS";
    ScratchDir dir;
    Program fleet(dir.path(), {"--units", "1", "--server", "127.0.0.1:9", "--type", "10", "--tls"},
                  Target::fleet(), Console::merged);
    ASSERT_TRUE(fleet.wait_exit(30));
    EXPECT_EQ(fleet.status(), "exited with 2");
    EXPECT_NE(fleet.output().find("vandry-fleet: this build has no TLS"), std::string::npos)
        << fleet.output();
}
struct ReceiverTls : TlsTest {};

// The text with CERTS standing for the certificates' directory and PORT for the port.
std::string expand(const std::string &text, int port = 0) {
    return std::regex_replace(std::regex_replace(text, std::regex("CERTS"), certs()),
                              std::regex("PORT"), std::to_string(port));
}

// The words of the expanded text.
std::vector<std::string> words(const std::string &text, int port = 0) {
    std::istringstream in(expand(text, port));
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

// The command run by the shell in the directory, expanded, output dropped; its exit status.
int shell(const std::string &dir, const std::string &command, int port = 0) {
    const int status = std::system(
        ("cd '" + dir + "' && { " + expand(command, port) + "; } >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// openssl s_server on the port, printing what it receives (its standard input stays open, or it
// ends every connection at once); returned once it listens.
std::unique_ptr<Program> s_server(const std::string &dir, int port, const std::string &more) {
    const std::vector<std::string> command = {
        "sh", "-c",
        expand("sleep 600 | exec openssl s_server -quiet -accept 127.0.0.1:PORT " + more +
                   " 2>/dev/null",
               port)};
    auto server = std::make_unique<Program>(dir, command, Target{});
    for (int tries = 0; tries < 100 && connect_to(port).get() < 0; ++tries)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return server;
}

// One unit seeded 42 with TLS, then more.
std::vector<std::string> fleet_args(int port, const std::string &more) {
    return words("--units 1 --server 127.0.0.1:PORT --seed 42 --report r.json --tls " + more, port);
}

// The receiver over TLS with client certificates and a report, then more, on a free port.
std::vector<std::string> tls_receiver(const std::string &more = "") {
    return words(VANDRY_RECEIVER_EXE " --tls-cert CERTS/server.crt --tls-key CERTS/server.key "
                                     "--tls-client-ca CERTS/ca.crt --report report.json " +
                 more + " 127.0.0.1 0");
}

// An openssl client of 127.0.0.1:PORT that trusts the CA, sends standard input and ends.
const std::string S_CLIENT = "openssl s_client -connect 127.0.0.1:PORT -CAfile CERTS/ca.crt "
                             "-servername localhost -no_ign_eof";

} // namespace

TEST_F(FleetTls, AFailedHandshakeIsCountedUnderItsReason) {
    const struct {
        const char *server; // s_server's certificate, or a listener that sends garbage or closes
        const char *fleet, *reason;
    } table[] = {
        {"server", "--tls-ca CERTS/other/ca.crt", "unknown_ca"},
        {"expired", "--tls-ca CERTS/ca.crt", "expired"},
        {"server", "--tls-ca CERTS/ca.crt --tls-server-name wrong.example", "name_mismatch"},
        {"garbage", "", "not_tls"},
        {"closes", "", "closed"},
    };
    for (const auto &row : table) {
        const std::string server = row.server;
        const bool plain = server == "garbage" || server == "closes";
        Listener listener(plain);
        ScratchDir dir;
        const auto tls_server =
            plain ? nullptr
                  : s_server(dir.path(), listener.port(),
                             "-cert CERTS/" + server + ".crt -key CERTS/" + server + ".key");
        Program fleet(
            dir.path(),
            fleet_args(listener.port(), std::string("--type 10 --duration 3 ") + row.fleet),
            Target::fleet());
        for (Connection conn; fleet.running(); conn = Connection()) {
            if (!plain || !listener.accept(&conn, 0.1))
                continue;
            conn.wait_for([](const std::string &hello) { return !hello.empty(); }, 5);
            if (server == "garbage")
                conn.write("HTTP/1.0 400 Bad Request\r\n\r\n", 5);
        }
        ASSERT_TRUE(fleet.wait_exit(20)) << fleet.output();
        EXPECT_EQ(json_file(dir.path() + "/r.json")["tls"]["failures"][row.reason], 1)
            << row.reason << fleet.output();
        EXPECT_EQ(count_of(fleet.output(), "vandry-fleet: first TLS handshake failure (" +
                                               std::string(row.reason) +
                                               "): TLS handshake failed with error: " + row.reason),
                  1u)
            << fleet.output();
    }
}

// Close-after-send: a connection for every message, each after the first resumed unless told
// not to; inside TLS the bytes are those of the plain run.
TEST_F(FleetTls, ResumesOnEveryReconnectionAndSendsThePlainBytes) {
    for (const bool resume : {true, false}) {
        Listener listener(false);
        ScratchDir dir;
        const auto server =
            s_server(dir.path(), listener.port(),
                     "-cert CERTS/server.crt -key CERTS/server.key -Verify 1 -CAfile CERTS/ca.crt");
        Program fleet(dir.path(),
                      fleet_args(listener.port(),
                                 "--type 11 --count 3 --tls-ca CERTS/ca.crt --tls-cert-dir CERTS" +
                                     std::string(resume ? "" : " --tls-no-resume")),
                      Target::fleet());
        ASSERT_TRUE(fleet.wait_exit(30)) << fleet.output();
        EXPECT_EQ(fleet.status(), "exited with 0") << fleet.output();
        const nlohmann::json r = json_file(dir.path() + "/r.json");
        EXPECT_EQ(r["tls"]["resumed"], resume ? 2 : 0) << fleet.output();
        EXPECT_EQ(count_of(fleet.output(), resume ? " tls=1/2 " : " tls=3/0 "), 1u) << r;
        vandry::UnitStream<vandry::StdRand> unit(42);
        std::string plain;
        char message[vandry::MAX_MESSAGE_LENGTH + 1];
        for (int k = 0; k < 3; ++k)
            plain.append(message, static_cast<size_t>(unit.next(message, "U00000", 11)));
        EXPECT_TRUE(server->wait_for(plain, 5)) << server->output();
    }
}

// A failed handshake: the client, by the shell, or, when there is none, a plain TCP client that
// sends these bytes; the reason that the receiver counts.
struct FailedHandshake {
    std::string client, plain, reason;
};

void PrintTo(const FailedHandshake &f, std::ostream *os) {
    *os << f.reason;
}

class ReceiverTlsHandshakes : public TlsTest,
                              public ::testing::WithParamInterface<FailedHandshake> {};

TEST_P(ReceiverTlsHandshakes, FailByTheirCountedReason) {
    const FailedHandshake &f = GetParam();
    ScratchDir dir;
    Program receiver(dir.path(), tls_receiver(), Target{});
    const int port = listening_port(receiver);
    ASSERT_NE(port, 0) << receiver.output();
    const double start = seconds_now();
    Fd plain;
    if (f.client.empty()) {
        plain = connect_to(port);
        ASSERT_TRUE(send_whole(plain, f.plain));
    } else {
        shell(dir.path(), f.client + " </dev/null", port);
    }
    ASSERT_TRUE(receiver.wait_for("closed by TLS handshake failure (" + f.reason + ": ", 20))
        << receiver.output();
    if (f.reason == "timed_out") {
        EXPECT_GE(seconds_now() - start, 10 - SEEN_LATE);
    }
    kill(receiver.pid(), SIGTERM);
    ASSERT_TRUE(receiver.wait_exit(10));
    const nlohmann::json report = json_file(dir.path() + "/report.json");
    EXPECT_EQ(report["tls"]["failures"][f.reason], 1) << report.dump();
    EXPECT_EQ(report["tls"]["handshakes"], 0) << report.dump();
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, ReceiverTlsHandshakes,
    ::testing::Values(
        FailedHandshake{S_CLIENT, "", "no_certificate"},
        // U00000's certificate from a CA that the receiver does not trust.
        FailedHandshake{S_CLIENT + " -cert CERTS/other/U00000.crt -key CERTS/other/U00000.key", "",
                        "unknown_ca"},
        FailedHandshake{S_CLIENT + " -cert CERTS/expired.crt -key CERTS/expired.key", "",
                        "expired"},
        FailedHandshake{"", "U00000,2.459,0.081,4.6,323.8,25.0,30.0,0 \n\r\n", "not_tls"},
        FailedHandshake{"", "", "timed_out"}));

// A client whose certificate names U00000 sends a message of U00001: an impostor, counted,
// reported and said, and U00001's tick is not filled by it.
TEST_F(ReceiverTls, AnImpostorIsCountedAndNotPlaced) {
    ScratchDir dir;
    dir.write_file("plan.txt", "vandry-plan type=10 rand=glibc interval=3 seed=5\nU00000 5\n"
                               "U00001 6\n");
    dir.write_file("unit.cfg", cfg_text("U00001", "127.0.0.1", 5000, 10, 3));
    Program dry(dir.path(), {"--config", "unit.cfg", "--seed", "6", "--count", "1", "--dry-run"});
    ASSERT_TRUE(dry.wait_exit(20) && dry.status() == "exited with 0") << dry.output();
    dir.write_file("message.txt", dry.raw_output());
    Program receiver(dir.path(), tls_receiver("--expect plan.txt"), Target{});
    const int port = listening_port(receiver);
    ASSERT_NE(port, 0) << receiver.output();
    shell(dir.path(), S_CLIENT + " -cert CERTS/U00000.crt -key CERTS/U00000.key <message.txt",
          port);
    ASSERT_TRUE(receiver.wait_for("IMPOSTOR on conn 1: station U00001 from a client whose "
                                  "certificate names U00000\n",
                                  20))
        << receiver.output();
    kill(receiver.pid(), SIGTERM);
    ASSERT_TRUE(receiver.wait_exit(10));
    EXPECT_NE(
        receiver.output().find(", 1 impostor; TLS: 1 full handshake, 0 resumed, 0 failures\n"),
        std::string::npos)
        << receiver.output();
    const nlohmann::json report = json_file(dir.path() + "/report.json");
    EXPECT_EQ(report["impostors"], 1) << report.dump();
    EXPECT_EQ(report["stations"][1]["name"], "U00001");
    EXPECT_EQ(report["stations"][1]["messages"], 0) << report.dump();
}

// Files that TLS cannot use end either program at the start with status 2 and the file named,
// before any unit runs.
TEST_F(TlsTest, FilesThatCannotBeUsedAreRefusedAtTheStart) {
    const struct {
        bool fleet;
        const char *args, *named;
    } table[] = {
        {true, "--tls-cert CERTS/none.crt --tls-key CERTS/U00000.key", "none.crt"},
        {true, "--tls-cert CERTS/U00000.crt --tls-key CERTS/U00001.key", "U00001.key"},
        {true, "--tls-ca not-pem.crt", "not-pem.crt"},
        {true, "--tls-cert-dir CERTS --units 4", "U00003.crt"},
        {false, "--tls-cert none.crt --tls-key CERTS/server.key", "none.crt"},
        {false, "--tls-cert CERTS/server.crt --tls-key CERTS/U00000.key", "U00000.key"},
        {false,
         "--tls-cert CERTS/server.crt --tls-key CERTS/server.key --tls-client-ca not-pem.crt",
         "not-pem.crt"},
    };
    Listener listener;
    for (const auto &row : table) {
        ScratchDir dir;
        dir.write_file("not-pem.crt", "not a certificate\n");
        Program program(
            dir.path(),
            row.fleet ? fleet_args(listener.port(), std::string("--type 10 ") + row.args)
                      : words(VANDRY_RECEIVER_EXE " " + std::string(row.args) + " 127.0.0.1 0"),
            row.fleet ? Target::fleet() : Target{}, Console::merged);
        ASSERT_TRUE(program.wait_exit(10)) << program.output();
        EXPECT_EQ(program.status(), "exited with 2") << row.args;
        EXPECT_TRUE(std::regex_search(
            program.output(), std::regex("(^|\n)vandry-(fleet|receiver): .*" + quote(row.named))))
            << program.output();
        EXPECT_FALSE(listener.pending(0)) << "a unit ran: " << row.args;
    }
}

namespace {

// The messages of the receiver's lines, without their connections, sorted.
std::vector<std::string> messages_of(const std::string &output) {
    std::vector<std::string> found;
    const std::regex line(R"(\[conn \d+ [^\]]*\] ([^\n]* bytes\))\n)");
    for (std::sregex_iterator m(output.begin(), output.end(), line), end; m != end; ++m)
        found.push_back((*m)[1].str());
    std::sort(found.begin(), found.end());
    return found;
}

} // namespace

// The fleet into the receiver over TLS, both on two threads, a connection for every message:
// every message arrives checked and placed, as a plain run brings it, each unit's handshakes
// after its first are resumed, and the receiver has shaken hands on each of the fleet's connects.
TEST_F(TlsTest, TheFleetReachesTheReceiverAsInAPlainRunResumingItsSessions) {
    ScratchDir dir;
    const std::string run = "--units 3 --count 4 --type 21 --seed 42 --threads 2";
    Program plan(dir.path(), words(run + " --dry-run"), Target::fleet());
    ASSERT_TRUE(plan.wait_exit(10)) << plan.output();
    dir.write_file("plan.txt", plan.raw_output());
    struct Leg {
        std::string name, receiver_tls, fleet_tls;
        std::unique_ptr<Program> receiver, fleet;
    } legs[] = {{"tls",
                 "--tls-cert CERTS/server.crt --tls-key CERTS/server.key "
                 "--tls-client-ca CERTS/ca.crt",
                 "--tls --tls-ca CERTS/ca.crt --tls-cert-dir CERTS", nullptr, nullptr},
                {"plain", "", "", nullptr, nullptr}};
    for (Leg &leg : legs) {
        leg.receiver = std::make_unique<Program>(
            dir.path(),
            words(VANDRY_RECEIVER_EXE " --expect plan.txt --threads 2 --report " + leg.name +
                  "-r.json " + leg.receiver_tls + " 127.0.0.1 0"),
            Target{});
        const int port = listening_port(*leg.receiver);
        ASSERT_NE(port, 0) << leg.receiver->output();
        leg.fleet = std::make_unique<Program>(dir.path(),
                                              words(run + " --server 127.0.0.1:PORT --report " +
                                                        leg.name + "-f.json " + leg.fleet_tls,
                                                    port),
                                              Target::fleet());
    }
    for (Leg &leg : legs) {
        ASSERT_TRUE(leg.fleet->wait_exit(60)) << leg.fleet->output();
        EXPECT_EQ(leg.fleet->status(), "exited with 0") << leg.fleet->output();
        kill(leg.receiver->pid(), SIGTERM);
        ASSERT_TRUE(leg.receiver->wait_exit(10)) << leg.receiver->status();
        EXPECT_EQ(leg.receiver->status(), "exited with 0") << leg.receiver->output();
    }
    const nlohmann::json r = json_file(dir.path() + "/tls-r.json"),
                         f = json_file(dir.path() + "/tls-f.json");
    for (const char *key : {"lost", "altered", "duplicated", "impostors", "malformed", "incomplete",
                            "missing_stations"})
        EXPECT_EQ(r[key], 0) << key << r.dump();
    ASSERT_EQ(r["stations"].size(), 3u) << r.dump();
    for (const auto &station : r["stations"])
        EXPECT_EQ(station["messages"], 4) << station.dump();
    EXPECT_EQ(f["tls"]["handshakes"].get<int>() + f["tls"]["resumed"].get<int>(), f["connects"]);
    EXPECT_EQ(r["tls"]["handshakes"].get<int>() + r["tls"]["resumed"].get<int>(), f["connects"])
        << r["tls"].dump();
    EXPECT_GT(f["tls"]["resumed"], 0);
    EXPECT_GT(r["tls"]["resumed"], 0);
    const std::vector<std::string> arrived = messages_of(legs[0].receiver->output());
    EXPECT_EQ(arrived.size(), 12u);
    EXPECT_EQ(arrived, messages_of(legs[1].receiver->output()));
}

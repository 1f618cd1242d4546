// vandry-fleet over TLS against real OpenSSL: failed handshakes counted by reason, sessions
// resumed, the plain run's bytes inside, unusable files refused before any unit runs.
#include "core/message.h"
#include "harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <thread>

using namespace proc;

namespace {

// scripts/make-certs.sh's certificates (a CA, the server, units U00000 and U00001, an expired
// server certificate) and another CA in other/.
const std::string &certs() {
    static const ScratchDir dir;
    static const std::string path = [] {
        const std::string make = std::string(VANDRY_MAKE_CERTS " ") + dir.path();
        if (std::system((make + " 2 >/dev/null && " + make + "/other 0 >/dev/null").c_str()) != 0)
            ADD_FAILURE() << "cannot make certificates";
        return dir.path();
    }();
    return path;
}

// openssl s_server on the port, printing what it receives (its standard input stays open, or it
// ends every connection at once); returned once it listens.
std::unique_ptr<Program> s_server(const std::string &dir, int port, const std::string &cert,
                                  const std::string &more) {
    const std::string files = certs() + "/" + cert + ".crt -key " + certs() + "/" + cert + ".key ";
    const std::vector<std::string> command = {
        "sh", "-c",
        "sleep 600 | exec openssl s_server -quiet -accept 127.0.0.1:" + std::to_string(port) +
            " -cert " + files + more + " 2>/dev/null"};
    auto server = std::make_unique<Program>(dir, command, Target{});
    for (int tries = 0; tries < 100 && connect_to(port).get() < 0; ++tries)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return server;
}

// One unit seeded 42 with TLS; CERTS in more stands for the certificates' directory.
std::vector<std::string> fleet_args(int port, const std::string &more) {
    std::vector<std::string> args = {
        "--units",  "1",      "--server", "127.0.0.1:" + std::to_string(port), "--seed", "42",
        "--report", "r.json", "--tls"};
    std::istringstream words(more);
    for (std::string w; words >> w;)
        args.push_back(w.rfind("CERTS", 0) == 0 ? certs() + w.substr(5) : w);
    return args;
}

} // namespace

TEST(FleetTls, AFailedHandshakeIsCountedUnderItsReason) {
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
        const auto tls_server = plain ? nullptr : s_server(dir.path(), listener.port(), server, "");
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
TEST(FleetTls, ResumesOnEveryReconnectionAndSendsThePlainBytes) {
    for (const bool resume : {true, false}) {
        Listener listener(false);
        ScratchDir dir;
        const auto server = s_server(dir.path(), listener.port(), "server",
                                     "-Verify 1 -CAfile " + certs() + "/ca.crt");
        Program fleet(
            dir.path(),
            fleet_args(listener.port(), "--type 11 --count 3 --tls-ca CERTS/ca.crt "
                                        "--tls-cert-dir CERTS" +
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

TEST(FleetTls, FilesThatCannotBeUsedAreRefusedBeforeAnyUnitRuns) {
    const struct {
        const char *args, *named;
    } table[] = {
        {"--tls-cert CERTS/none.crt --tls-key CERTS/U00000.key", "none.crt"},
        {"--tls-cert CERTS/U00000.crt --tls-key CERTS/U00001.key", "U00001.key"},
        {"--tls-ca not-pem.crt", "not-pem.crt"},
        {"--tls-cert-dir CERTS --units 3", "U00002.crt"},
    };
    Listener listener;
    for (const auto &row : table) {
        ScratchDir dir;
        dir.write_file("not-pem.crt", "not a certificate\n");
        Program fleet(dir.path(), fleet_args(listener.port(), std::string("--type 10 ") + row.args),
                      Target::fleet(), Console::merged);
        ASSERT_TRUE(fleet.wait_exit(10)) << fleet.output();
        EXPECT_EQ(fleet.status(), "exited with 2") << row.args;
        EXPECT_NE(fleet.output().find(row.named), std::string::npos) << fleet.output();
        EXPECT_FALSE(listener.pending(0)) << "a unit ran: " << row.args;
    }
}

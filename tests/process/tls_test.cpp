// vandry-fleet over TLS against real OpenSSL servers: a handshake that fails is counted under its
// reason, a unit resumes its session on its next connection, its plaintext is the plain run's,
// and files that cannot be used are refused before any unit runs.
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

constexpr unsigned SEED = 42;

// The certificates of every test (scripts/make-certs.sh): a CA, the server, units U00000 and
// U00001, an expired server certificate; and another CA in other/.
struct Certs {
    ScratchDir dir;
    Certs() {
        const std::string script = VANDRY_MAKE_CERTS " ";
        if (std::system((script + dir.path() + " 2 >/dev/null && " + script + dir.path() +
                         "/other 0 >/dev/null")
                            .c_str()) != 0)
            ADD_FAILURE() << "cannot make certificates";
    }
    [[nodiscard]] std::string operator()(const std::string &file) const {
        return dir.path() + "/" + file;
    }
};

const Certs &certs() {
    static const Certs made;
    return made;
}

// openssl s_server on the listener's port with the certificate, printing what it receives
// (its standard input stays open: at its end s_server would end every connection at once).
std::vector<std::string> s_server(int port, const std::string &cert, const std::string &more) {
    return {"sh", "-c",
            "sleep 600 | exec openssl s_server -quiet -accept 127.0.0.1:" + std::to_string(port) +
                " -cert " + certs()(cert + ".crt") + " -key " + certs()(cert + ".key") + " " +
                more + " 2>/dev/null"};
}

// Waits until something listens on the port (s_server takes the probe as a failed handshake).
void wait_listening(int port) {
    for (int tries = 0; tries < 100 && connect_to(port).get() < 0; ++tries)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

// One unit with TLS; CERTS in more stands for the certificates' directory.
std::vector<std::string> fleet_args(int port, const std::string &more) {
    std::vector<std::string> args = {
        "--units",  "1",      "--server", "127.0.0.1:" + std::to_string(port), "--seed", "42",
        "--report", "r.json", "--tls"};
    std::istringstream words(more);
    for (std::string w; words >> w;)
        args.push_back(w.rfind("CERTS", 0) == 0 ? certs().dir.path() + w.substr(5) : w);
    return args;
}

// How the server meets the unit's handshake.
enum class Peer { s_server, garbage, closes };

struct FailedHandshake {
    Peer peer;
    const char *cert; // s_server's
    const char *fleet;
    const char *reason;
};

} // namespace

TEST(FleetTls, AFailedHandshakeIsCountedUnderItsReason) {
    const FailedHandshake table[] = {
        {Peer::s_server, "server", "--tls-ca CERTS/other/ca.crt", "unknown_ca"},
        {Peer::s_server, "expired", "--tls-ca CERTS/ca.crt", "expired"},
        {Peer::s_server, "server", "--tls-ca CERTS/ca.crt --tls-server-name wrong.example",
         "name_mismatch"},
        {Peer::garbage, "", "", "not_tls"},
        {Peer::closes, "", "", "closed"},
    };
    for (const FailedHandshake &row : table) {
        Listener listener(row.peer != Peer::s_server);
        ScratchDir dir;
        std::unique_ptr<Program> server;
        if (row.peer == Peer::s_server) {
            server = std::make_unique<Program>(dir.path(), s_server(listener.port(), row.cert, ""),
                                               Target{});
            wait_listening(listener.port());
        }
        Program fleet(
            dir.path(),
            fleet_args(listener.port(), std::string("--type 10 --duration 3 ") + row.fleet),
            Target::fleet());
        while (fleet.running()) {
            Connection conn;
            if (row.peer == Peer::s_server || !listener.accept(&conn, 0.1))
                continue;
            conn.wait_for([](const std::string &hello) { return !hello.empty(); }, 5);
            if (row.peer == Peer::garbage)
                conn.write("HTTP/1.0 400 Bad Request\r\n\r\n", 5);
        }
        ASSERT_TRUE(fleet.wait_exit(20)) << fleet.output();
        const nlohmann::json r = json_file(dir.path() + "/r.json");
        EXPECT_EQ(r["tls"]["failures"][row.reason], 1) << row.reason << fleet.output();
        EXPECT_EQ(r["tls"]["handshakes"], 0) << row.reason;
        EXPECT_NE(fleet.output().find(std::string("vandry-fleet: first TLS handshake failure (") +
                                      row.reason +
                                      "): TLS handshake failed with error: " + row.reason + " ("),
                  std::string::npos)
            << fleet.output();
    }
}

// Close-after-send: a connection for every message, each after the first resumed unless told
// not to; inside TLS the bytes are those of the plain run.
TEST(FleetTls, ResumesOnEveryReconnectionAndSendsThePlainBytes) {
    for (const bool resume : {true, false}) {
        Listener listener(false);
        ScratchDir dir;
        Program server(
            dir.path(),
            s_server(listener.port(), "server", "-Verify 1 -CAfile " + certs()("ca.crt")),
            Target{});
        wait_listening(listener.port());
        Program fleet(dir.path(),
                      fleet_args(listener.port(), std::string("--type 11 --count 3 --tls-ca "
                                                              "CERTS/ca.crt --tls-cert-dir CERTS") +
                                                      (resume ? "" : " --tls-no-resume")),
                      Target::fleet());
        ASSERT_TRUE(fleet.wait_exit(30)) << fleet.output();
        EXPECT_EQ(fleet.status(), "exited with 0") << fleet.output();
        const nlohmann::json r = json_file(dir.path() + "/r.json");
        EXPECT_EQ(r["tls"]["handshakes"], resume ? 1 : 3) << fleet.output();
        EXPECT_EQ(r["tls"]["resumed"], resume ? 2 : 0) << fleet.output();
        EXPECT_NE(fleet.output().find(resume ? " tls=1/2 " : " tls=3/0 "), std::string::npos);
        vandry::UnitStream<vandry::StdRand> unit(SEED);
        std::string plain;
        char message[vandry::MAX_MESSAGE_LENGTH + 1];
        for (int k = 0; k < 3; ++k)
            plain.append(message, static_cast<size_t>(unit.next(message, "U00000", 11)));
        EXPECT_TRUE(server.wait_for(plain, 5)) << server.output();
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
        EXPECT_EQ(fleet.output().find("vandry-fleet: 1 units"), std::string::npos);
        EXPECT_FALSE(listener.pending(0)) << row.args;
    }
}

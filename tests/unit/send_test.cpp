// Sending a whole message over a real loopback connection, even when the kernel takes it in
// pieces: a signal that interrupts a blocking send makes it return what it has sent so far; a
// peer that stops reading makes it fail once its time is up.
#include "unit/connection.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <pthread.h>
#include <sys/time.h>

#include <chrono>
#include <string>
#include <thread>

using namespace vandry;
using namespace vandry::platform;

namespace {

extern "C" void on_alarm(int) {}

struct Loopback {
    socket_t client = NO_SOCKET;
    socket_t server = NO_SOCKET;
    Loopback() {
        const socket_t listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&addr), len), 0);
        EXPECT_EQ(listen(listener, 1), 0);
        EXPECT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len), 0);
        client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        EXPECT_EQ(connect(client, reinterpret_cast<sockaddr *>(&addr), len), 0);
        server = accept(listener, nullptr, nullptr);
        close_socket(listener);
    }
    ~Loopback() {
        close_socket(client);
        close_socket(server);
    }
};

TEST(Send, InterruptedSendsStillDeliverEveryByteInOrder) {
    // Without SA_RESTART, a timer signal cuts blocking sends short while a slow reader keeps
    // the connection's buffers full.
    struct sigaction action {};
    action.sa_handler = on_alarm;
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    const itimerval every_ms{{0, 1000}, {0, 1000}};
    const itimerval off{};

    Loopback link;
    std::string message(8 << 20, '\0');
    for (size_t i = 0; i < message.size(); ++i)
        message[i] = static_cast<char>('a' + i % 23);
    std::string received;
    std::thread reader([&] {
        // The timer's signals must reach the sending thread only.
        sigset_t alarm;
        sigemptyset(&alarm);
        sigaddset(&alarm, SIGALRM);
        pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
        char chunk[4096];
        for (;;) {
            const auto n = recv(link.server, chunk, sizeof chunk, 0);
            if (n <= 0)
                break;
            received.append(chunk, static_cast<size_t>(n));
        }
    });

    ASSERT_EQ(setitimer(ITIMER_REAL, &every_ms, nullptr), 0);
    const int sent = send_all(link.client, message.data(), static_cast<int>(message.size()), 30000);
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    shutdown(link.client, SHUT_WR);
    reader.join();

    EXPECT_EQ(sent, static_cast<int>(message.size()));
    EXPECT_TRUE(received == message) << "received " << received.size() << " bytes";
}

TEST(Send, ClosedPeerIsAnErrorNotASignal) {
    Loopback link;
    close_socket(link.server);
    link.server = NO_SOCKET;
    const std::string message(1000, 'x');
    int result = 0;
    // The first send may still be taken by the kernel; a later one meets the reset.
    for (int i = 0; i < 100 && result != SOCKET_FAILED; ++i)
        result = send_all(link.client, message.data(), static_cast<int>(message.size()), 30000);
    EXPECT_EQ(result, SOCKET_FAILED);
    EXPECT_TRUE(last_socket_error() == EPIPE || last_socket_error() == ECONNRESET)
        << last_socket_error();
}

TEST(Send, PeerThatNeverReadsFailsTheSendAfterTheTimeOut) {
    Loopback link;
    const std::string message(64 << 20, 'x'); // far more than both socket buffers hold
    const int timeout_ms = 1500;
    const auto start = std::chrono::steady_clock::now();
    const int result =
        send_all(link.client, message.data(), static_cast<int>(message.size()), timeout_ms);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    EXPECT_EQ(result, SOCKET_FAILED);
    EXPECT_EQ(last_socket_error(), EAGAIN);
    EXPECT_GE(took.count(), timeout_ms);
}

} // namespace

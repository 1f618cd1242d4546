#include "transmission.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace {

constexpr int RETRY_PAUSE_MS = 5000;
// A send that cannot complete within this time (a server that stopped reading) fails.
constexpr int SEND_TIMEOUT_MS = 30000;

const char *selected_record(int data_type, const record_buffers *records) {
    switch (data_type) {
    case 10:
    case 11:
        return records->midbufs;
    case 20:
    case 21:
        return records->midbufl;
    default:
        return records->midbuflg;
    }
}

// Closes the socket, once, and forgets its handle.
void close_connection(SOCKET *ConnectSocket) {
    closesocket(*ConnectSocket);
    *ConnectSocket = INVALID_SOCKET;
}

} // namespace

bool keeps_connection(int data_type) {
    return data_type == 10 || data_type == 20 || data_type == 30;
}

const char *echo_tag(int data_type) {
    switch (data_type) {
    case 10:
        return "shrt opn";
    case 11:
        return "shrt cls";
    case 20:
        return "long opn";
    case 21:
        return "long cls";
    case 30:
        return "gps opn";
    default:
        return "gps cls";
    }
}

int next_sequence(int sms_status) {
    const int next = sms_status + 1;
    return next > 15 ? 0 : next;
}

int assemble_message(char *sendbuf, const char *name, int data_type, const tank_parms *tank,
                     telemetry *tm, record_buffers *records) {
    std::memset(sendbuf, 0, LARGE_SIZE);
    std::strcpy(sendbuf, name);
    std::strcat(sendbuf, ",");
    tm->sms_status = next_sequence(tm->sms_status);
    get_sms_data(&tm->run_indx, &tm->gps_indx, tank->tank_height, tank->emp, tank->min_level,
                 tank->max_level, tank->n_fill, tank->n_high, tank->n_fall, tank->n_low,
                 tank->n_tot, &tm->distance, &tm->level, &tm->d1, &tm->volume, &tm->temp1,
                 &tm->temp2, &tm->vin, &tm->rssi, &tm->sms_status, records->midbufs,
                 records->midbufl, records->midbuflg, tank->lat, tank->lon);
    std::strcat(sendbuf, selected_record(data_type, records));
    if (keeps_connection(data_type))
        std::strcat(sendbuf, "\r\n");
    return static_cast<int>(std::strlen(sendbuf));
}

int compose_message(char *out, const char *name, int data_type, const tank_parms *tank,
                    telemetry *tm, tick_draws draws) {
    tm->sms_status = next_sequence(tm->sms_status);
    unit_tick(draws, tank, tm);
    const size_t name_length = std::strlen(name);
    std::memcpy(out, name, name_length + 1); // the zero is overwritten next
    char *p = out + name_length;
    *p++ = ',';
    p = write_record(p, data_type / 10, tm, tank);
    if (keeps_connection(data_type)) {
        std::memcpy(p, "\r\n", 3);
        p += 2;
    }
    return static_cast<int>(p - out);
}

int send_all(SOCKET ConnectSocket, const char *buf, int length, int timeout_ms) {
    using namespace std::chrono;
    // One clock for the whole message: a partial send does not start it again.
    const auto deadline = steady_clock::now() + milliseconds(timeout_ms);
    int sent = 0;
    while (sent < length) {
        const auto left = ceil<milliseconds>(deadline - steady_clock::now()).count();
        if (left <= 0) {
            WSASetLastError(SEND_TIMED_OUT);
            return SOCKET_ERROR;
        }
        set_send_timeout(ConnectSocket, static_cast<int>(left));
        // At most length - sent bytes are taken, so the count always fits an int.
        const int iResult =
            static_cast<int>(send(ConnectSocket, buf + sent, length - sent, SEND_FLAGS));
        if (iResult == SOCKET_ERROR) {
            const int error = WSAGetLastError();
            // A time-out that the platform's clock ends early is waited out to the end.
            if (error == WSAEINTR || error == SEND_TIMED_OUT)
                continue;
            return SOCKET_ERROR;
        }
        sent += iResult;
    }
    return length;
}

namespace {

// Reads and throws away what the server has sent, without blocking: only as many bytes as
// have arrived are asked for. Returns how many were read.
unsigned long discard_waiting(SOCKET ConnectSocket) {
    char scrap[4096];
    unsigned long discarded = 0;
    for (unsigned long waiting; (waiting = bytes_waiting(ConnectSocket)) > 0;) {
        const int want = static_cast<int>(waiting < sizeof scrap ? waiting : sizeof scrap);
        const int got = static_cast<int>(recv(ConnectSocket, scrap, want, 0));
        if (got <= 0)
            break;
        discarded += static_cast<unsigned long>(got);
    }
    return discarded;
}

// The pause of a connected unit, never shorter than ms: whatever the server sends meanwhile
// (acknowledgements, greetings) is discarded, so that its answers cannot fill the connection.
void pause_connected(SOCKET ConnectSocket, int ms) {
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + milliseconds(ms);
    for (;;) {
        const auto left = ceil<milliseconds>(deadline - steady_clock::now()).count();
        if (left <= 0)
            return;
        // Readable with nothing to read: the server ended its side or the connection failed;
        // the next send finds out which, after the rest of the pause.
        if (wait_readable(ConnectSocket, static_cast<int>(left)) &&
            discard_waiting(ConnectSocket) == 0) {
            std::this_thread::sleep_until(deadline);
            return;
        }
    }
}

// Closing a socket with unread bytes resets the connection, and the server may lose the
// message: the answers are read first and the sending side shut down, so the server sees an
// orderly end of the stream after the message.
void end_connection(SOCKET *ConnectSocket) {
    discard_waiting(*ConnectSocket);
    shutdown(*ConnectSocket, SD_SEND);
    close_connection(ConnectSocket);
}

// Start to Connect: starts the socket library, resolves the server and connects to its first
// address, retrying the connect every RETRY_PAUSE_MS. Returns false, with the failure reported
// and everything released, when the pass must begin again at Start.
bool open_connection(const char *ipaddr, const char *aport, SOCKET *ConnectSocket) {
    WSADATA wsaData;
    int iResult = WSAStartup(MAKEWORD(2, 2), &wsaData);
    if (iResult != 0) {
        report("WSAStartup failed with error: %d\n", iResult);
        return false;
    }

    struct addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    struct addrinfo *result = nullptr;
    iResult = getaddrinfo(ipaddr, aport, &hints, &result);
    if (iResult != 0) {
        report("getaddrinfo failed with error: %d\n", iResult);
        WSACleanup();
        return false;
    }

    // A socket whose connect failed is in no defined state on every platform, so each attempt
    // gets a fresh one; the address stays the first one resolved.
    bool connected = false;
    for (;;) {
        *ConnectSocket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (*ConnectSocket == INVALID_SOCKET) {
            report("socket failed with error: %ld\n", static_cast<long>(WSAGetLastError()));
            break;
        }
        no_sigpipe(*ConnectSocket);
        iResult = connect(*ConnectSocket, result->ai_addr, static_cast<int>(result->ai_addrlen));
        if (iResult != SOCKET_ERROR) {
            connected = true;
            break;
        }
        report("connect failed with error: %ld\n", static_cast<long>(WSAGetLastError()));
        close_connection(ConnectSocket);
        pause_ms(RETRY_PAUSE_MS);
    }
    freeaddrinfo(result);
    if (!connected)
        WSACleanup();
    return connected;
}

// How a pass over one connection ended.
enum class pass_end { failed, closed, all_sent };

// Sends one message per tick over an open connection until the pass ends: after the first
// message in close-after-send mode, at a failed send in either mode, or once the messages left
// to send (counting down from *left when it is above 0) are sent. The socket is closed and the
// socket library shut down on the way out.
pass_end send_messages(SOCKET ConnectSocket, const char *name, int data_type, int smst,
                       const tank_parms *tank, telemetry *tm, record_buffers *records,
                       char *sendbuf, long long *left) {
    for (;;) {
        const int length = assemble_message(sendbuf, name, data_type, tank, tm, records);
        if (send_all(ConnectSocket, sendbuf, length, SEND_TIMEOUT_MS) == SOCKET_ERROR) {
            report("send error:%d\n", WSAGetLastError());
            close_connection(&ConnectSocket);
            WSACleanup();
            return pass_end::failed;
        }
        report(ECHO_FORMAT, length, echo_tag(data_type), sendbuf);
        const bool last = *left > 0 && --*left == 0;
        if (!last)
            pause_connected(ConnectSocket, smst);
        if (last || !keeps_connection(data_type)) {
            if (!keeps_connection(data_type))
                report("socket is closing\n");
            end_connection(&ConnectSocket);
            WSACleanup();
            return last ? pass_end::all_sent : pass_end::closed;
        }
    }
}

} // namespace

void connection_loop(const char *ipaddr, const char *aport, const char *name, int data_type,
                     int smst, const tank_parms *tank, telemetry *tm, record_buffers *records,
                     char *sendbuf, long long count) {
    for (;;) { // one pass per connection; every failure is waited out, then tried again
        SOCKET ConnectSocket = INVALID_SOCKET;
        if (!open_connection(ipaddr, aport, &ConnectSocket)) {
            pause_ms(RETRY_PAUSE_MS);
            continue;
        }
        switch (send_messages(ConnectSocket, name, data_type, smst, tank, tm, records, sendbuf,
                              &count)) {
        case pass_end::all_sent:
            return;
        case pass_end::failed:
            pause_ms(RETRY_PAUSE_MS);
            if (!keeps_connection(data_type))
                report("socket is closing\n");
            break;
        case pass_end::closed:
            break;
        }
    }
}

bool write_messages(FILE *out, const char *name, int data_type, const tank_parms *tank,
                    telemetry *tm, record_buffers *records, char *sendbuf, long long count) {
    for (long long sent = 0; count == 0 || sent < count; ++sent) {
        const int length = assemble_message(sendbuf, name, data_type, tank, tm, records);
        if (std::fwrite(sendbuf, 1, static_cast<size_t>(length), out) !=
                static_cast<size_t>(length) ||
            std::fflush(out) != 0)
            return false;
    }
    return true;
}

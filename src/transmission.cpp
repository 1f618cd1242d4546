#include "transmission.h"

#include <cstring>

namespace {

constexpr int RETRY_PAUSE_MS = 5000;

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

int send_all(SOCKET ConnectSocket, const char *buf, int length) {
    int sent = 0;
    while (sent < length) {
        // At most length - sent bytes are taken, so the count always fits an int.
        const int iResult =
            static_cast<int>(send(ConnectSocket, buf + sent, length - sent, SEND_FLAGS));
        if (iResult == SOCKET_ERROR) {
            if (WSAGetLastError() == WSAEINTR)
                continue;
            return SOCKET_ERROR;
        }
        sent += iResult;
    }
    return length;
}

void connection_loop(const char *ipaddr, const char *aport, const char *name, int data_type,
                     int smst, const tank_parms *tank, telemetry *tm, record_buffers *records,
                     char *sendbuf) {
    SOCKET ConnectSocket = INVALID_SOCKET;
    struct addrinfo *result = nullptr;
    WSADATA wsaData;
    const bool keep_open = keeps_connection(data_type);

    for (;;) { // one pass per connection
        int iResult = WSAStartup(MAKEWORD(2, 2), &wsaData);
        if (iResult != 0) {
            report("WSAStartup failed with error: %d\n", iResult);
            pause_ms(RETRY_PAUSE_MS);
            continue;
        }

        struct addrinfo hints;
        std::memset(&hints, 0, sizeof hints);
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_protocol = IPPROTO_TCP;
        iResult = getaddrinfo(ipaddr, aport, &hints, &result);
        if (iResult != 0) {
            report("getaddrinfo failed with error: %d\n", iResult);
            WSACleanup();
            pause_ms(RETRY_PAUSE_MS);
            continue;
        }

        // A socket whose connect failed is in no defined state on every platform, so each
        // attempt gets a fresh one; the address stays the first one resolved.
        bool connected = false;
        for (;;) {
            ConnectSocket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
            if (ConnectSocket == INVALID_SOCKET) {
                report("socket failed with error: %ld\n", static_cast<long>(WSAGetLastError()));
                break;
            }
            no_sigpipe(ConnectSocket);
            iResult = connect(ConnectSocket, result->ai_addr, static_cast<int>(result->ai_addrlen));
            if (iResult != SOCKET_ERROR) {
                connected = true;
                break;
            }
            report("connect failed with error: %ld\n", static_cast<long>(WSAGetLastError()));
            close_connection(&ConnectSocket);
            pause_ms(RETRY_PAUSE_MS);
        }
        freeaddrinfo(result);
        result = nullptr;
        if (!connected) {
            WSACleanup();
            pause_ms(RETRY_PAUSE_MS);
            continue;
        }

        for (;;) { // one message per tick while the connection stands
            const int length = assemble_message(sendbuf, name, data_type, tank, tm, records);
            iResult = send_all(ConnectSocket, sendbuf, length);
            if (iResult == SOCKET_ERROR) {
                report("send error:%d\n", WSAGetLastError());
                close_connection(&ConnectSocket);
                WSACleanup();
                pause_ms(RETRY_PAUSE_MS);
                if (!keep_open)
                    report("socket is closing\n");
                break;
            }
            report(ECHO_FORMAT, length, echo_tag(data_type), sendbuf);
            pause_ms(smst);
            if (!keep_open) {
                report("socket is closing\n");
                close_connection(&ConnectSocket);
                WSACleanup();
                break;
            }
        }
    }
}

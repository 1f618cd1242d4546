// Transmission: assembling each message, echoing it, and the connection loop that sends it.
#ifndef VANDRY_TRANSMISSION_H
#define VANDRY_TRANSMISSION_H

#include "platform.h"
#include "simulation.h"

// The sequence number after sms_status: 0 to 15, then 0 again (-1 before the first gives 0).
int next_sequence(int sms_status);

// Builds the single unit's next message in sendbuf (LARGE_SIZE bytes): zero-fills it, copies
// name and ",", advances the sequence counter, makes the tick with get_sms_data (all three
// records into records), appends the record that data_type selects and, in keep-open mode,
// "\r\n". Returns the message length in bytes.
int assemble_message(char *sendbuf, const char *name, int data_type, const tank_parms *tank,
                     telemetry *tm, record_buffers *records);

constexpr int MAX_MESSAGE_LENGTH = 30 + 1 + MAX_RECORD_LENGTH + 2; // name, comma, record, CR LF

// A unit's next message into out (at least MAX_MESSAGE_LENGTH + 1 bytes; name at most 30
// bytes): advances the sequence counter (next_sequence), makes one tick with the given draws,
// writes name, ",", the selected record and, in keep-open mode, "\r\n", and a terminating zero.
// Returns the length. No allocation.
int compose_message(char *out, const char *name, int data_type, const tank_parms *tank,
                    telemetry *tm, tick_draws draws);

// The console echo of a sent message: its length, the code's layout and mode tag, the message.
#define ECHO_FORMAT "(%d) %s: %s"

// The layout and mode tag of a data type code in the echo, e.g. "shrt opn" for 10.
const char *echo_tag(int data_type);

// Codes 10, 20 and 30 keep the connection open; 11, 21 and 31 close it after every message.
bool keeps_connection(int data_type);

// Sends all length bytes, continuing after partial sends and interrupted calls. Returns length,
// or SOCKET_ERROR when a call fails or the whole message has not gone within timeout_ms
// (WSAGetLastError then tells why; SEND_TIMED_OUT for the time-out).
int send_all(SOCKET ConnectSocket, const char *buf, int length, int timeout_ms);

// Connects to the server and sends one message per send interval: every network failure is
// reported, waited out for 5000 ms and tried again. Runs for ever, or with a count returns as
// soon as that many messages have been sent, the connection closed in order.
void connection_loop(const char *ipaddr, const char *aport, const char *name, int data_type,
                     int smst, const tank_parms *tank, telemetry *tm, record_buffers *records,
                     char *sendbuf, long long count = 0);

// The messages that connection_loop would send, written to out one after another at once,
// each flushed whole: count of them, or without end for 0. Returns false when out fails.
bool write_messages(FILE *out, const char *name, int data_type, const tank_parms *tank,
                    telemetry *tm, record_buffers *records, char *sendbuf, long long count = 0);

#endif

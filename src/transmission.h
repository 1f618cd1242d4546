// Transmission: assembling each message, echoing it, and the connection loop that sends it.
#ifndef VANDRY_TRANSMISSION_H
#define VANDRY_TRANSMISSION_H

#include "platform.h"
#include "simulation.h"

// Advances the sequence counter (0 to 15, then 0 again) and makes the message's tick.
void next_message_tick(const tank_parms *tank, telemetry *tm);

// Builds the next message in sendbuf (LARGE_SIZE bytes): name, ",", the record that data_type
// selects and, in keep-open mode, "\r\n". Advances the sequence counter and the simulation by
// one tick. Returns the message length in bytes.
int assemble_message(char *sendbuf, const char *name, int data_type, const tank_parms *tank,
                     telemetry *tm);

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

// Connects to the server and sends one message per send interval, for ever: every network
// failure is reported, waited out for 5000 ms and tried again.
[[noreturn]] void connection_loop(const char *ipaddr, const char *aport, const char *name,
                                  int data_type, int smst, const tank_parms *tank, telemetry *tm,
                                  char *sendbuf);

#endif

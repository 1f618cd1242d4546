// Start-up: the configuration file cfg.txt and how it is read and checked.
#ifndef VANDRY_VANDRY_H
#define VANDRY_VANDRY_H

#include <iosfwd>
#include <string>

#define MAX_NAME_LENGTH 30

// Reads the five tokens of a configuration (name, address, port, data type code, send interval
// in seconds) and checks them. Returns nullptr when all are accepted, otherwise the exact
// message to halt with. Text tokens are stored in buffers of LARGE_SIZE bytes, cut to fit
// whatever their length; data_type and smst start at 0, so a token that is not a number leaves 0.
const char *parse_cfg(std::istream &in, char *name, char *ipaddr, char *port, int *data_type,
                      int *smst);

// The text of a configuration file as it is read, from the file's bytes: a leading UTF-8
// byte-order mark is skipped, and a file that begins with a UTF-16 byte-order mark (either byte
// order, as Windows tools write it) becomes the same text in UTF-8. Other bytes stay as they are.
std::string cfg_text_of(const std::string &bytes);

// parse_cfg over an opened configuration file, in whichever of those encodings it is written.
const char *read_cfg(std::istream &file, char *name, char *ipaddr, char *port, int *data_type,
                     int *smst);

// One of the six data type codes: 10, 11, 20, 21, 30, 31.
bool is_data_type(int code);

// The configuration echo line, with the send interval in seconds as read.
std::string cfg_echo(const char *name, const char *ipaddr, const char *port, int data_type,
                     int smst);

// The send interval in milliseconds: at least 3000, at most the largest int.
int smst_to_ms(int seconds);

// cfg.txt in the current working directory.
std::string cfg_path();

// Prints the message once, then sleeps for good: a bad configuration stops the unit in place.
[[noreturn]] void halt(const char *message);

// Waits until cfg.txt can be opened, reads it and returns only when every value is accepted;
// otherwise halts. smst comes back in milliseconds.
void read_vector_cfg(char *ipaddr, char *port, char *name, int *data_type, int *smst);

#endif

// The configuration file: five tokens (station name, server address, port, data type code, send
// interval in seconds), how they are read and checked, and the wait or halt around the reading.
#ifndef VANDRY_CORE_CONFIG_H
#define VANDRY_CORE_CONFIG_H

#include <cstdio>
#include <iosfwd>
#include <optional>
#include <string>

namespace vandry {

struct Config {
    std::string name, address, port; // the tokens as read
    int data_type = 0;
    int interval_s = 0; // the send interval in seconds, as read
};

// The outcome of reading a configuration: the values read so far and, when one is missing or
// refused, the exact line that says so (empty when every value is accepted).
struct ConfigReading {
    Config config;
    std::string error;
    bool unreadable = false; // the file is missing or cannot be read: wait for it
};

// Longest token kept; a longer name, address or port is refused.
constexpr int MAX_TOKEN_LENGTH = 999;

// Reads the five tokens from text and checks them, in this order: all five reads (end of input
// before one names it), then the name's length, the address's length, the port and the data
// type code. A token that is no number leaves 0; numbers beyond an int saturate.
ConfigReading parse_config(std::istream &in);

// The text of a configuration file from its bytes: a leading UTF-8 byte-order mark is skipped,
// and a file that begins with a UTF-16 byte-order mark (either byte order, as Windows tools
// write it) becomes the same text in UTF-8. Other bytes stay as they are.
std::string config_text_of(const std::string &bytes);

// parse_config over an open file, in whichever of those encodings it is written.
ConfigReading read_config(std::istream &file);

// The line printed while the default configuration file does not exist.
extern const char NO_CONFIG_FILE[];

// Reads the file at path once. Its lines name it cfg.txt, unless it was named on the command
// line (named): then they name it as given.
ConfigReading load_config(const std::string &path, bool named);

// The configuration echo line, with the send interval in seconds as read.
std::string config_echo(const Config &config);

// The send interval in milliseconds: at least 3000, at most the largest int.
int interval_ms(int seconds);

// cfg.txt in the current working directory.
std::string default_config_path();

// Prints the message once, then sleeps for good: a bad configuration stops the unit in place.
[[noreturn]] void halt(const std::string &message);

// Waits until the file can be read (a line every 5 s), reads it and echoes it; halts on a
// missing or refused value.
Config wait_for_config(const std::string &path, bool named);

// For a run that must end rather than wait or halt: one attempt, its line on console, and
// nothing when the file cannot be read or a value is refused.
std::optional<Config> read_config_once(const std::string &path, bool named, FILE *console);

} // namespace vandry

#endif

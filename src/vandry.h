// Start-up: the configuration file cfg.txt and how it is read and checked.
#ifndef VANDRY_VANDRY_H
#define VANDRY_VANDRY_H

#include <cstdio>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

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

// A decimal number of digits only (no sign, no blanks), from low to high: command-line values.
bool parse_decimal(const std::string &text, long long low, long long high, long long *out);

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

// The line printed while the configuration file cannot be opened.
extern const char NO_CFG_FILE[];

// Reads the configuration file at path once. Returns nullptr when every value is accepted
// (smst still in seconds as read), NO_CFG_FILE when the file cannot be opened, otherwise the
// message to halt with.
const char *load_cfg(const std::string &path, char *ipaddr, char *port, char *name, int *data_type,
                     int *smst);

// Waits until the configuration file (cfg.txt in the working directory unless a path is given)
// can be opened, reads it and returns only when every value is accepted; otherwise halts. smst
// comes back in milliseconds.
void read_vector_cfg(char *ipaddr, char *port, char *name, int *data_type, int *smst,
                     const std::string &path = cfg_path());

// read_vector_cfg for a run that must end rather than wait or halt: one attempt, its line on
// console, and false when the file cannot be opened or a value is refused.
bool read_cfg_once(const std::string &path, FILE *console, char *ipaddr, char *port, char *name,
                   int *data_type, int *smst);

// The unit's command line. Without options the unit runs as it always has.
constexpr const char UNIT_VERSION[] = "vandry 1.1";

struct unit_options {
    std::string config;           // empty: cfg.txt in the working directory
    std::optional<unsigned> seed; // none: the clock's seconds
    long long count = 0;          // messages to send before the run ends, 0: no end
    bool dry_run = false;         // the messages to standard output, no network, no pauses
    bool verbose = false;         // the seed on the console too
};

// A run that must end does not wait for a configuration or halt on it: it exits with status 2.
inline bool ends_on_bad_config(const unit_options &options) {
    return options.count > 0 || options.dry_run;
}

struct parsed_unit_options {
    unit_options options;
    // Set when the program is to print text and end with this status at once: 0 for --help
    // and --version (to standard output), 2 for a bad command line (to standard error).
    std::optional<int> exit_status;
    std::string text;
};

// args: the command line without the program name.
parsed_unit_options parse_unit_options(const std::vector<std::string> &args);

#endif

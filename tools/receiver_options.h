// The receiver's command line, read by a pure function: the options, or the text to print and
// the exit status, so that a table can test it without running the program.
#ifndef VANDRY_RECEIVER_OPTIONS_H
#define VANDRY_RECEIVER_OPTIONS_H

#include "message_check.h"

#include <optional>
#include <string>
#include <vector>

namespace vandry_check {

constexpr char RECEIVER_VERSION[] = "vandry-receiver 1.0";

struct ReceiverOptions {
    std::string address = "127.0.0.1";
    std::string port = "5000";
    std::optional<Mode> mode; // none: auto
    bool quiet = false;
    std::string csv;                 // empty: no CSV file
    std::optional<std::string> read; // a recording to read ("-": standard input), no listening
};

struct ParsedArguments {
    ReceiverOptions options;
    // Set when the program is to print text and end with this status at once: 0 for --help
    // and --version (text to standard output), 2 for a bad command line (to standard error).
    std::optional<int> exit_status;
    std::string text;
};

// args: the command line without the program name.
ParsedArguments parse_receiver_arguments(const std::vector<std::string> &args);

} // namespace vandry_check

#endif

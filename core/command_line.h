// One command-line reader for the three programs. A program describes its options in a table;
// every option takes "--name value" and "--name=value" alike, a missing value says "needs a
// value", a number is held to its bounds, and --help and --version (and -h) print and end. The
// result has one shape: the options, or the text to print and the exit status.
#ifndef VANDRY_CORE_COMMAND_LINE_H
#define VANDRY_CORE_COMMAND_LINE_H

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vandry {

// Takes an option's value (empty for a flag); returns the reason it is refused, empty when not.
using OptionHandler = std::function<std::string(const std::string &value)>;

struct Option {
    std::string name;       // "--count"
    std::string value_name; // "N" in the usage; empty for a flag, which takes no value
    std::string help;       // for --help; a "\n" starts another line of it
    OptionHandler apply;
    bool required = false;
};

// A flag that sets *target.
Option flag(const std::string &name, const std::string &help, bool *target);
// What a number option accepts: a whole number from low to high, digits only; anything else is
// refused as "NAME wants WHAT, not "VALUE"".
struct Bounds {
    std::string what;
    long long low, high;
};
Option number(const std::string &name, const std::string &value_name, const std::string &help,
              const Bounds &bounds, const std::function<void(long long)> &store);
// A file name, refused when empty ("NAME needs a file name").
Option file_name(const std::string &name, const std::string &help, std::string *target);

struct Program {
    std::string name;     // "vandry", the start of every usage error
    std::string version;  // the line --version prints
    std::string about;    // --help's text before the usage
    std::string operands; // the usage's words after the options, e.g. "[address [port]]"
    std::string notes;    // --help's text after the options
    std::vector<Option> options;
    // Takes the arguments that are no option, all at once; returns the reason they are refused.
    std::function<std::string(const std::vector<std::string> &)> operands_handler;
};

template <class Options> struct Parsed {
    Options options;
    // Set when the program is to print text and end with this status at once: 0 for --help and
    // --version (to standard output), 2 for a bad command line (to standard error).
    std::optional<int> exit_status;
    std::string text;
};

// What reading a command line came to: nothing to print (run on), or the text and status.
struct Outcome {
    std::optional<int> exit_status;
    std::string text;
};

// args: the command line without the program name.
Outcome read_command_line(const Program &program, const std::vector<std::string> &args);

// The status-2 outcome of a reason: "NAME: REASON", then the usage.
Outcome usage_error(const Program &program, const std::string &reason);

// The text of --help.
std::string help_text(const Program &program);

// Whole number from digits only (no sign, no blanks), from low to high.
bool parse_decimal(const std::string &text, long long low, long long high, long long *out);

template <class Options> Parsed<Options> parsed_from(Options options, Outcome outcome) {
    return {std::move(options), outcome.exit_status, std::move(outcome.text)};
}

} // namespace vandry

#endif

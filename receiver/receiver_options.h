// The receiver's command line, read by a pure function: the options, or the text to print and
// the exit status, so that a table can test it without running the program.
#ifndef VANDRY_RECEIVER_RECEIVER_OPTIONS_H
#define VANDRY_RECEIVER_RECEIVER_OPTIONS_H

#include "core/command_line.h"
#include "core/message.h"
#include "metrics/metrics_options.h"

#include <optional>
#include <string>
#include <vector>

namespace vandry::receiver {

extern const char RECEIVER_VERSION[];

struct ReceiverOptions {
    std::string address = "127.0.0.1";
    std::string port = "5000";
    std::optional<Mode> mode; // none: auto
    bool quiet = false;
    std::string csv;                 // empty: no CSV file
    std::optional<std::string> read; // a recording to read ("-": standard input), no listening
    std::string column;              // the recording is a CSV file; this column holds messages
    std::string expect;              // a plan: every message known by its tick
    std::string report;              // a JSON file of the figures when the run ends
    std::string fault_log;           // the faults the units injected, read when the run ends
    std::vector<std::string> sent;   // fleets' reports: what each unit wrote
    bool any_order = false;          // --read: rows placed by tick, whatever their order
    std::string junit;               // a JUnit XML file of the findings when the run ends
    bool only_unexplained = false;   // only the unexplained findings' lines, at the end
    metrics::MetricsOptions metrics; // the scrapers' endpoint
    unsigned threads = 1;            // connections read on this many threads; 0: one per core
    bool threads_capped = false;     // more were asked for than MAX_READER_THREADS
    std::string tls_cert, tls_key;   // both: connections speak TLS
    std::string tls_client_ca;       // every client presents a certificate that it signed
};

// More reader threads than this are not started.
constexpr unsigned MAX_READER_THREADS = 256;

// args: the command line without the program name.
Parsed<ReceiverOptions> parse_receiver_arguments(const std::vector<std::string> &args);

} // namespace vandry::receiver

#endif

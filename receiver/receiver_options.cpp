#include "receiver/receiver_options.h"

#include "tls/tls.h"

namespace vandry::receiver {

const char RECEIVER_VERSION[] = "vandry-receiver " VANDRY_VERSION;

namespace {

bool valid_port(const std::string &port) {
    long long number = 0;
    return parse_decimal(port, 0, 65535, &number) && port.size() <= 5;
}

bool set_mode(const std::string &name, ReceiverOptions &options) {
    if (name == "auto")
        options.mode.reset();
    else if (name == "keep-open")
        options.mode = Mode::keep_open;
    else if (name == "close-after-send")
        options.mode = Mode::close_after_send;
    else
        return false;
    return true;
}

// What is wrong with an address to listen on, or empty.
std::string address_error(const std::string &address) {
    if (address.empty())
        return "an empty address (an unset variable?): give one, such as 127.0.0.1, or 0.0.0.0 "
               "for every interface";
    if (address.find(':') != std::string::npos)
        return "address " + address +
               " is IPv6: the receiver listens on IPv4, as the units connect (e.g. 127.0.0.1)";
    return std::string();
}

// address and port, or for --read none.
std::string take_operands(const std::vector<std::string> &operands, ReceiverOptions &o) {
    if (operands.size() > 2)
        return "too many arguments";
    if (o.read && !operands.empty())
        return "--read listens nowhere: no address or port";
    if (!operands.empty())
        o.address = operands[0];
    if (operands.size() == 2)
        o.port = operands[1];
    if (std::string error = address_error(o.address); !error.empty())
        return error;
    return valid_port(o.port) ? std::string()
                              : "bad port " + o.port + ": a port is a number from 0 to 65535";
}

// --help's words after the options.
std::string receiver_notes() {
    return std::string("The address defaults to 127.0.0.1 (0.0.0.0: every interface) and the port\n"
                       "to 5000 (0 takes a free port and says which). Every message is checked\n"
                       "byte for byte against the unit's records: the station name, a comma and\n"
                       "one record, in keep-open mode \"\\r\\n\" after it.\n") +
           DATA_TYPE_HELP +
           "Each connection holds a descriptor: the receiver raises its open-file limit to the\n"
           "hard limit (ulimit -Hn; raise that as root, with LimitNOFILE= for a service or\n"
           "nofile in /etc/security/limits.conf) and pauses accepting when it runs out.\n"
           "With a plan (--expect), every message of a planned station is placed by its tick.\n"
           "Records recur within a stream, so a message is placed at the nearest tick that it\n"
           "equals, behind before ahead:\n"
           "  a station's first message starts its count, unless an extent says where it\n"
           "  starts; tick 0 after later ticks is a restart, a new run; a message that equals\n"
           "  a tick at or behind the station's last (up to 4096 back) is a duplicate; else\n"
           "  it takes the nearest tick ahead that it equals, and the ticks between are lost.\n"
           "  Ahead is bounded: listening, by the ticks that the time since the station's\n"
           "  last message allows (x 5/4, + 16); reading, by the extent, or 2^18 ticks\n"
           "  without one. A message with no match within bounds is altered: it takes the\n"
           "  place of the next tick (or of one just ahead from which it differs in one\n"
           "  field), reported with the first field that differs.\n"
           "  With --any-order, a station's rows are placed once all are in: each tick takes\n"
           "  a row that is its text, as often as the stream holds it; rows beyond are\n"
           "  duplicates, and a row that is no tick is altered and takes the missing tick\n"
           "  from which it differs in the fewest fields. Without an extent, a stream is\n"
           "  followed until 4096 ticks in a row hold none of its rows.\n"
           "  The extent (what should be here) comes from the plan's count=N (ticks 0 to\n"
           "  N-1) or from fleets' reports (--sent): its ticks that are not here are lost,\n"
           "  at the start, in the middle or at the end. A planned station with no message\n"
           "  at all is missing; a station not in the plan is unknown (at most 10000 kept by\n"
           "  name, the rest counted).\n"
           "  Without a plan, loss is counted from the sequence numbers, modulo 16, and may\n"
           "  be more; a new connection that begins at 0 is a restart.\n"
           "SIGINT or SIGTERM ends it with a summary line; the end of --read too. Exit status:\n"
           "0 when nothing was lost, altered or malformed and no station is missing (with a\n"
           "fault log: no finding is unexplained), 1 otherwise, 2 for a bad command line, a\n"
           "plan or a fleet's report that cannot be read, a TLS certificate, key or CA that\n"
           "cannot be used, or a metrics port that cannot be had.\n"
           "With --tls-cert and --tls-key every connection speaks TLS: its handshake must end\n"
           "within 10 s of the accept, and a failed one is counted by its reason. With\n"
           "--tls-client-ca a message whose station the client's certificate does not name\n"
           "(its common name or a DNS name) is an impostor: counted, reported and not placed.\n";
}

std::vector<Option> check_table(ReceiverOptions &o);
std::vector<Option> tls_table(ReceiverOptions &o);

// The receiver's options, into o.
std::vector<Option> receiver_table(ReceiverOptions &o) {
    std::vector<Option> options = {
        {"--mode", "MODE",
         "auto, keep-open or close-after-send: how connections are framed\n"
         "(default auto: both, told apart by the bytes)",
         [&o](const std::string &v) {
             return set_mode(v, o) ? std::string() : "unknown mode " + v;
         }},
        flag("--quiet", "no line per message or connection: one summary line per second", &o.quiet),
        file_name("--csv", "also write every message as a row of FILE (values as printed)", &o.csv),
        {"--read", "FILE",
         "check a recording (what vandry --dry-run writes; - for standard input)\n"
         "instead of listening",
         [&o](const std::string &v) {
             if (v.empty())
                 return std::string("--read needs a file name");
             o.read = v;
             return std::string();
         }},
    };
    options.push_back({"--column", "NAME",
                       "the recording is a CSV file with a header (sqlite3 -csv -header,\n"
                       "PostgreSQL's \\copy ... csv header) whose column NAME holds the messages",
                       [&o](const std::string &v) {
                           o.column = v;
                           return v.empty() ? std::string("--column needs a column name")
                                            : std::string();
                       }});
    options.push_back(number("--threads", "N",
                             "read connections on N threads, each with an event loop of its\n"
                             "own (0: one per core; more than 256: 256); every message is\n"
                             "checked on one more thread, so the figures are those of one\n"
                             "(default 1: all on one thread; no effect with --read)",
                             {"a number of threads", 0, 1000000000}, [&o](long long n) {
                                 o.threads_capped = n > MAX_READER_THREADS;
                                 o.threads = o.threads_capped ? MAX_READER_THREADS
                                                              : static_cast<unsigned>(n);
                             }));
    for (Option &c : check_table(o))
        options.push_back(std::move(c));
    for (Option &t : tls_table(o))
        options.push_back(std::move(t));
    for (Option &m : metrics::metrics_options(o.metrics))
        options.push_back(std::move(m));
    return options;
}

// The options of TLS on the connections, into o.
std::vector<Option> tls_table(ReceiverOptions &o) {
    return {file_name("--tls-cert",
                      "speak TLS on every connection with this certificate (PEM);\n"
                      "with --tls-key",
                      &o.tls_cert),
            file_name("--tls-key", "the private key of --tls-cert (PEM)", &o.tls_key),
            file_name("--tls-client-ca",
                      "every client presents a certificate signed by a CA of FILE\n"
                      "(PEM), and sends only the stations that it names",
                      &o.tls_client_ca)};
}

// What is wrong with the TLS options together, or empty.
std::string tls_error(const ReceiverOptions &o) {
    const bool any = !o.tls_cert.empty() || !o.tls_key.empty() || !o.tls_client_ca.empty();
    if (any && !tls::available())
        return "--tls-cert, --tls-key and --tls-client-ca: this build speaks no TLS (it was "
               "built without OpenSSL)";
    if (o.tls_cert.empty() != o.tls_key.empty())
        return "--tls-cert and --tls-key go together";
    if (!o.tls_client_ca.empty() && o.tls_cert.empty())
        return "--tls-client-ca goes with --tls-cert and --tls-key";
    if (any && o.read)
        return "--read listens nowhere: no TLS";
    return std::string();
}

// The options of the check against a plan, a fleet's report and a fault log, into o.
std::vector<Option> check_table(ReceiverOptions &o) {
    std::vector<Option> options;
    options.push_back(file_name("--expect",
                                "a plan (vandry-fleet --dry-run, vandry --plan): every message\n"
                                "is known by its tick, and loss is counted exactly",
                                &o.expect));
    options.push_back(
        file_name("--report", "write the figures as JSON to FILE when the run ends", &o.report));
    options.push_back(file_name("--fault-log",
                                "the fault log of the units (vandry-fleet --fault-log), read when\n"
                                "the run ends: every loss, duplicate and alteration is injected\n"
                                "or unexplained",
                                &o.fault_log));
    options.push_back({"--sent", "REPORT",
                       "a fleet's report (vandry-fleet --report; once per shard): what each\n"
                       "unit wrote, so that losses at a stream's start and end are seen",
                       [&o](const std::string &v) {
                           o.sent.push_back(v);
                           return v.empty() ? std::string("--sent needs a file name")
                                            : std::string();
                       }});
    options.push_back(flag("--any-order",
                           "with --read: place every row by its tick, whatever the rows' order\n"
                           "(a database export has no arrival order)",
                           &o.any_order));
    options.push_back(file_name("--junit",
                                "write the findings as JUnit XML to FILE when the run ends: a\n"
                                "test case per planned station",
                                &o.junit));
    options.push_back(flag("--only-unexplained",
                           "print only the findings that no fault explains, when the run ends",
                           &o.only_unexplained));
    return options;
}

} // namespace

Parsed<ReceiverOptions> parse_receiver_arguments(const std::vector<std::string> &args) {
    ReceiverOptions o;
    Program p;
    p.name = "vandry-receiver";
    p.version = RECEIVER_VERSION;
    p.about = "vandry-receiver: prints every message that the telemetry unit sends, checked\n";
    p.operands = "[address [port]]";
    p.notes = receiver_notes() + metrics::METRICS_NOTES;
    p.options = receiver_table(o);
    p.operands_handler = [&o](const std::vector<std::string> &operands) {
        if (!o.column.empty() && !o.read)
            return std::string("--column goes with --read");
        if (!o.fault_log.empty() && o.expect.empty())
            return std::string("--fault-log goes with --expect: faults are known by their ticks");
        if (!o.sent.empty() && o.expect.empty())
            return std::string("--sent goes with --expect: what was sent is known by its ticks");
        if ((!o.junit.empty() || o.only_unexplained) && o.expect.empty())
            return std::string("--junit and --only-unexplained go with --expect: findings are "
                               "known by their ticks");
        if (o.any_order && (!o.read || o.expect.empty()))
            return std::string("--any-order goes with --read and --expect");
        if (std::string error = tls_error(o); !error.empty())
            return error;
        return take_operands(operands, o);
    };
    Outcome outcome = read_command_line(p, args);
    return parsed_from(o, std::move(outcome));
}

} // namespace vandry::receiver

#include "receiver_options.h"

namespace vandry::check {

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
           "With a plan (--expect), every message of a planned station is placed by its tick:\n"
           "  a station's first message starts its count (what came before is not this\n"
           "  receiver's business); tick 0 after later ticks is a restart, a new run, and\n"
           "  nothing before it is lost; a tick at or behind the station's last is a\n"
           "  duplicate; a jump forward loses exactly the ticks between (looked for up to\n"
           "  2^20 ticks ahead); a message that is no tick of the stream is altered and takes\n"
           "  the place of the next expected tick (or of one just ahead from which it differs\n"
           "  in one field), reported with the first field that differs; a station not in the\n"
           "  plan is an unknown station. Without a plan, loss is counted from the sequence\n"
           "  numbers, modulo 16, and may be more; a new connection that begins at 0 is a\n"
           "  restart.\n"
           "SIGINT or SIGTERM ends it with a summary line; the end of --read too. Exit status:\n"
           "0 when nothing was lost, altered or malformed, 1 otherwise, 2 for a bad command\n"
           "line.\n";
}

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
    p.notes = receiver_notes();
    p.options = receiver_table(o);
    p.operands_handler = [&o](const std::vector<std::string> &operands) {
        if (!o.column.empty() && !o.read)
            return std::string("--column goes with --read");
        if (!o.fault_log.empty() && o.expect.empty())
            return std::string("--fault-log goes with --expect: faults are known by their ticks");
        return take_operands(operands, o);
    };
    Outcome outcome = read_command_line(p, args);
    return parsed_from(o, std::move(outcome));
}

} // namespace vandry::check

#include "core/message.h"

#include "core/console.h"

#include <cstring>

namespace vandry {

bool is_data_type(int code) {
    return code == 10 || code == 11 || code == 20 || code == 21 || code == 30 || code == 31;
}

Layout layout_of(int data_type) {
    return data_type / 10 == 1   ? Layout::short_record
           : data_type / 10 == 2 ? Layout::long_record
                                 : Layout::gps_record;
}

Mode mode_of(int data_type) {
    return data_type % 10 == 0 ? Mode::keep_open : Mode::close_after_send;
}

bool keeps_connection(int data_type) {
    return mode_of(data_type) == Mode::keep_open;
}

const char *layout_name(Layout layout) {
    switch (layout) {
    case Layout::short_record:
        return "short";
    case Layout::long_record:
        return "long";
    default:
        return "gps";
    }
}

const char *mode_name(Mode mode) {
    return mode == Mode::keep_open ? "keep-open" : "close-after-send";
}

const char DATA_TYPE_HELP[] =
    "Data type codes: the tens digit is the record, the units digit the connection:\n"
    "  10 short, 20 long, 30 GPS record: keep-open (\"\\r\\n\" after each message, one\n"
    "     connection for all);\n"
    "  11, 21, 31: the same records close-after-send (one connection per message).\n";

int next_sequence(int sequence) {
    const int next = sequence + 1;
    return next > 15 ? 0 : next;
}

int compose_message(char *out, const char *name, int data_type, const Tank &tank, Telemetry &tm,
                    TickDraws draws) {
    tm.sequence = next_sequence(tm.sequence);
    advance_tick(draws, tank, tm);
    const std::size_t name_length = std::strlen(name);
    std::memcpy(out, name, name_length + 1); // the zero is overwritten next
    char *p = out + name_length;
    *p++ = ',';
    p = write_record(p, layout_of(data_type), tm, tank);
    if (keeps_connection(data_type)) {
        std::memcpy(p, "\r\n", 3);
        p += 2;
    }
    return static_cast<int>(p - out);
}

namespace {

// The echo's layout and mode, by the code's tens and units digits.
const char *const ECHO_LAYOUTS[] = {"shrt", "long", "gps"};
const char *const ECHO_MODES[] = {"opn", "cls"};

struct LineFormat {
    const char *head; // the text before the code, or the whole line
    bool has_code;
};

constexpr LineFormat LINES[] = {
    {"WSAStartup failed with error: ", true},
    {"getaddrinfo failed with error: ", true},
    {"socket failed with error: ", true},
    {"bind failed with error: ", true},
    {"connect failed with error: ", true},
    {"send error:", true},
    {"recv error:", true},
    {"connection ended by the server\n", false},
    {"socket is closing\n", false},
};

} // namespace

std::string console_line(ConsoleLine line, int code) {
    const LineFormat &f = LINES[static_cast<int>(line)];
    return f.has_code ? f.head + std::to_string(code) + "\n" : f.head;
}

void print_line(ConsoleLine line, int code) {
    report("%s", console_line(line, code).c_str());
}

std::string echo_tag(int data_type) {
    return std::string(ECHO_LAYOUTS[static_cast<int>(layout_of(data_type)) - 1]) + " " +
           ECHO_MODES[static_cast<int>(mode_of(data_type))];
}

void print_echo(int data_type, const char *message, int length) {
    report("(%d) %s: %s", length, echo_tag(data_type).c_str(), message);
}

} // namespace vandry

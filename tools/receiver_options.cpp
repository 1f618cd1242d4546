#include "receiver_options.h"

namespace vandry_check {

namespace {

constexpr char USAGE[] =
    "usage: vandry-receiver [--mode=auto|keep-open|close-after-send] [--quiet] [--csv FILE]\n"
    "                       [address [port] | --read FILE]\n"
    "  address defaults to 127.0.0.1, port to 5000 (0 takes a free port)\n"
    "  --mode MODE   how connections are framed (default auto: both, told apart by the bytes)\n"
    "  --quiet       no line per message or connection: one summary line per second\n"
    "  --csv FILE    also write every message as a row of FILE (values as printed)\n"
    "  --read FILE   check a recording (what vandry --dry-run writes; - for standard input)\n"
    "                instead of listening\n"
    "  --help, --version\n";

bool valid_port(const std::string &port) {
    if (port.empty() || port.size() > 5)
        return false;
    for (const char c : port)
        if (c < '0' || c > '9')
            return false;
    return std::stol(port) <= 65535;
}

ParsedArguments refused(const std::string &why) {
    ParsedArguments parsed;
    parsed.exit_status = 2;
    parsed.text = "vandry-receiver: " + why + "\n" + USAGE;
    return parsed;
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

} // namespace

ParsedArguments parse_receiver_arguments(const std::vector<std::string> &args) {
    ParsedArguments parsed;
    ReceiverOptions &options = parsed.options;
    std::vector<std::string> positional;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (arg == "-h" || arg == "--help") {
            parsed.exit_status = 0;
            parsed.text =
                std::string("vandry-receiver: prints every message that the telemetry unit "
                            "sends, checked\n") +
                USAGE;
            return parsed;
        }
        if (arg == "--version") {
            parsed.exit_status = 0;
            parsed.text = std::string(RECEIVER_VERSION) + "\n";
            return parsed;
        }
        if (arg == "--quiet") {
            options.quiet = true;
        } else if (const std::string option = arg.substr(0, arg.find('='));
                   option == "--mode" || option == "--csv" || option == "--read") {
            const bool separate = arg == option;
            if (separate && i + 1 == args.size())
                return refused(option + " needs a value");
            const std::string value = separate ? args[++i] : arg.substr(option.size() + 1);
            if (option == "--mode" && !set_mode(value, options))
                return refused("unknown mode " + value);
            if (option != "--mode" && value.empty())
                return refused(option + " needs a file name");
            if (option == "--csv")
                options.csv = value;
            if (option == "--read")
                options.read = value;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return refused("unknown option " + arg);
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.size() > 2)
        return refused("too many arguments");
    if (options.read && !positional.empty())
        return refused("--read listens nowhere: no address or port");
    if (!positional.empty())
        options.address = positional[0];
    if (positional.size() == 2)
        options.port = positional[1];
    if (!valid_port(options.port))
        return refused("bad port " + options.port);
    return parsed;
}

} // namespace vandry_check

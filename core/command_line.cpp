#include "core/command_line.h"

#include <algorithm>

namespace vandry {

bool parse_decimal(const std::string &text, long long low, long long high, long long *out) {
    if (text.empty() || text.size() > 18 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const long long value = std::stoll(text);
    if (value < low || value > high)
        return false;
    *out = value;
    return true;
}

Option flag(const std::string &name, const std::string &help, bool *target) {
    return {name, "", help, [target](const std::string &) {
                *target = true;
                return std::string();
            }};
}

Option number(const std::string &name, const std::string &value_name, const std::string &help,
              const Bounds &bounds, const std::function<void(long long)> &store) {
    return {name, value_name, help, [=](const std::string &value) {
                long long n = 0;
                if (!parse_decimal(value, bounds.low, bounds.high, &n))
                    return name + " wants " + bounds.what + ", not \"" + value + "\"";
                store(n);
                return std::string();
            }};
}

Option file_name(const std::string &name, const std::string &help, std::string *target) {
    return {name, "FILE", help, [name, target](const std::string &value) {
                if (value.empty())
                    return name + " needs a file name";
                *target = value;
                return std::string();
            }};
}

namespace {

constexpr std::size_t WIDTH = 80;

// --help and --version, which every program has.
std::vector<Option> own_options() {
    return {{"--help", "", "print this and exit", nullptr},
            {"--version", "", "print the version and exit", nullptr}};
}

std::string usage_word(const Option &o) {
    const std::string word = o.value_name.empty() ? o.name : o.name + " " + o.value_name;
    return o.required ? word : "[" + word + "]";
}

// "usage: NAME" and the options' words, wrapped under the first.
std::string synopsis(const Program &p) {
    std::vector<std::string> words;
    for (const Option &o : p.options)
        words.push_back(usage_word(o));
    if (!p.operands.empty())
        words.push_back(p.operands);
    for (const Option &o : own_options())
        words.push_back(usage_word(o));
    const std::string head = "usage: " + p.name;
    std::string text = head, line = head;
    for (const std::string &w : words) {
        if (line.size() + 1 + w.size() > WIDTH && line.size() > head.size()) {
            text += "\n" + std::string(head.size(), ' ');
            line = std::string(head.size(), ' ');
        }
        text += " ";
        text += w;
        line += " ";
        line += w;
    }
    return text + "\n";
}

// "  --name VALUE  help", the help's further lines under its first.
std::string option_lines(const Program &p) {
    std::vector<Option> all = p.options;
    for (Option &o : own_options())
        all.push_back(std::move(o));
    std::size_t column = 0;
    for (const Option &o : all)
        column = std::max(column, o.name.size() + 1 + o.value_name.size());
    std::string text;
    for (const Option &o : all) {
        std::string left = o.name + (o.value_name.empty() ? "" : " " + o.value_name);
        left.resize(column, ' ');
        std::string help = o.help;
        for (std::size_t at = 0; (at = help.find('\n', at)) != std::string::npos; at += 1)
            help.insert(at + 1, column + 4, ' ');
        text.append("  ").append(left).append("  ").append(help).append("\n");
    }
    return text;
}

Outcome option_error(const Program &p, const std::vector<std::string> &args, std::size_t *i) {
    std::string arg = args[*i], value;
    const std::size_t equals = arg.find('=');
    const bool inline_value = arg.compare(0, 2, "--") == 0 && equals != std::string::npos;
    if (inline_value) {
        value = arg.substr(equals + 1);
        arg.resize(equals);
    }
    const auto found = std::find_if(p.options.begin(), p.options.end(),
                                    [&arg](const Option &o) { return o.name == arg; });
    if (found == p.options.end())
        return usage_error(p, "unknown option " + arg);
    if (found->value_name.empty() && inline_value)
        return usage_error(p, arg + " takes no value");
    if (!found->value_name.empty() && !inline_value) {
        if (*i + 1 == args.size())
            return usage_error(p, arg + " needs a value");
        value = args[++*i];
    }
    const std::string reason = found->apply(value);
    return reason.empty() ? Outcome{} : usage_error(p, reason);
}

// An option, unlike an operand, begins with a dash and is more than a dash or a negative number.
bool is_option(const std::string &arg) {
    return arg.size() > 1 && arg[0] == '-' && !(arg[1] >= '0' && arg[1] <= '9');
}

} // namespace

Outcome usage_error(const Program &p, const std::string &reason) {
    return {2,
            p.name + ": " + reason + "\n" + synopsis(p) + "(" + p.name + " --help tells more)\n"};
}

std::string help_text(const Program &p) {
    return p.about + synopsis(p) + option_lines(p) + p.notes;
}

Outcome read_command_line(const Program &p, const std::vector<std::string> &args) {
    std::vector<std::string> operands;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (arg == "-h" || arg == "--help")
            return {0, help_text(p)};
        if (arg == "--version")
            return {0, p.version + "\n"};
        if (!is_option(arg)) {
            operands.push_back(arg);
            continue;
        }
        Outcome refused = option_error(p, args, &i);
        if (refused.exit_status)
            return refused;
    }
    const std::string reason = p.operands_handler
                                   ? p.operands_handler(operands)
                                   : (operands.empty() ? "" : "unexpected argument " + operands[0]);
    return reason.empty() ? Outcome{} : usage_error(p, reason);
}

} // namespace vandry

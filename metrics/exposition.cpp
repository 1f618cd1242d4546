#include "metrics/exposition.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace vandry::metrics {

std::string number_text(double value) {
    if (std::isnan(value))
        return "NaN";
    if (std::isinf(value))
        return value > 0 ? "+Inf" : "-Inf";
    char text[40];
    // Below 2^53 every whole double is an exact integer of at most 16 digits.
    if (value == std::floor(value) && std::fabs(value) < 9007199254740992.0) {
        const int written = std::snprintf(text, sizeof text, "%.0f", value);
        return std::string(text, written > 0 ? static_cast<std::size_t>(written) : 0);
    }
    for (int digits = 1; digits <= 17; ++digits) {
        if (std::snprintf(text, sizeof text, "%.*g", digits, value) > 0 &&
            std::strtod(text, nullptr) == value)
            break;
    }
    return text;
}

std::string number_text(long long value) {
    return std::to_string(value);
}

std::string number_text(unsigned long long value) {
    return std::to_string(value);
}

std::string escaped_label_value(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (const char c : value) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

Histogram::Histogram(std::vector<double> bounds)
    : bounds_(std::move(bounds)), counts_(bounds_.size() + 1) {}

void Histogram::add(double value) {
    const auto bucket = std::lower_bound(bounds_.begin(), bounds_.end(), value) - bounds_.begin();
    ++counts_[static_cast<std::size_t>(bucket)];
    sum_ += value;
    ++count_;
}

void Histogram::merge(const Histogram &other) {
    for (std::size_t i = 0; i < counts_.size() && i < other.counts_.size(); ++i)
        counts_[i] += other.counts_[i];
    sum_ += other.sum_;
    count_ += other.count_;
}

void Exposition::family(std::string_view name, std::string_view help, std::string_view type) {
    // Help text escapes backslash and line end only.
    std::string escaped;
    for (const char c : help)
        escaped += c == '\\' ? "\\\\" : c == '\n' ? "\\n" : std::string(1, c);
    text_.append("# HELP ").append(name).append(" ").append(escaped).append("\n");
    text_.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void Exposition::sample_text(std::string_view name, std::initializer_list<Label> labels,
                             const std::string &value) {
    text_.append(name);
    if (labels.size() > 0) {
        const char *separator = "{";
        for (const Label &l : labels) {
            text_.append(separator).append(l.name).append("=\"");
            text_.append(escaped_label_value(l.value)).append("\"");
            separator = ",";
        }
        text_.append("}");
    }
    text_.append(" ").append(value).append("\n");
}

void Exposition::histogram(std::string_view name, std::string_view help, const Histogram &h) {
    family(name, help, "histogram");
    const std::string bucket = std::string(name) + "_bucket";
    std::uint64_t below = 0;
    for (std::size_t i = 0; i < h.bounds().size(); ++i) {
        below += h.counts()[i];
        const std::string le = number_text(h.bounds()[i]);
        sample(bucket, {{"le", le}}, below);
    }
    sample(bucket, {{"le", "+Inf"}}, h.count());
    sample(std::string(name) + "_sum", {}, h.sum());
    sample(std::string(name) + "_count", {}, h.count());
}

} // namespace vandry::metrics

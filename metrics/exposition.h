// The Prometheus text exposition format (version 0.0.4), written as text: families with their
// help and type, samples with label sets, and histograms of fixed bounds. Pure computation.
#ifndef VANDRY_METRICS_EXPOSITION_H
#define VANDRY_METRICS_EXPOSITION_H

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace vandry::metrics {

// A number as a scraper reads it back exactly: whole numbers as integers, others in the
// shortest form that round-trips, "NaN", "+Inf", "-Inf".
std::string number_text(double value);
std::string number_text(long long value);
std::string number_text(unsigned long long value);

// A label value with backslash, double quote and line end escaped.
std::string escaped_label_value(std::string_view value);

struct Label {
    std::string_view name, value;
};

// Observations counted in buckets of fixed upper bounds (each "le": at most the bound), the
// last bucket unbounded. Adding finds the bucket by bisection and allocates nothing.
class Histogram {
  public:
    Histogram() : counts_(1) {}
    // bounds: increasing.
    explicit Histogram(std::vector<double> bounds);
    void add(double value);
    // Adds the other's samples; its bounds are these.
    void merge(const Histogram &other);
    [[nodiscard]] const std::vector<double> &bounds() const { return bounds_; }
    // Per bucket, not cumulative; the last one beyond every bound.
    [[nodiscard]] const std::vector<std::uint64_t> &counts() const { return counts_; }
    [[nodiscard]] double sum() const { return sum_; }
    [[nodiscard]] std::uint64_t count() const { return count_; }

  private:
    std::vector<double> bounds_;
    std::vector<std::uint64_t> counts_;
    double sum_ = 0;
    std::uint64_t count_ = 0;
};

class Exposition {
  public:
    // "# HELP" and "# TYPE" of a family; type is counter, gauge or histogram.
    void family(std::string_view name, std::string_view help, std::string_view type);
    template <class T>
    void sample(std::string_view name, std::initializer_list<Label> labels, T value) {
        sample_text(name, labels, as_number(value));
    }
    template <class T> void counter(std::string_view name, std::string_view help, T value) {
        family(name, help, "counter");
        sample(name, {}, value);
    }
    template <class T> void gauge(std::string_view name, std::string_view help, T value) {
        family(name, help, "gauge");
        sample(name, {}, value);
    }
    void histogram(std::string_view name, std::string_view help, const Histogram &h);
    [[nodiscard]] const std::string &text() const { return text_; }

  private:
    template <class T> static std::string as_number(T value) {
        if constexpr (std::is_floating_point_v<T>)
            return number_text(static_cast<double>(value));
        else if constexpr (std::is_signed_v<T>)
            return number_text(static_cast<long long>(value));
        else
            return number_text(static_cast<unsigned long long>(value));
    }
    void sample_text(std::string_view name, std::initializer_list<Label> labels,
                     const std::string &value);
    std::string text_;
};

} // namespace vandry::metrics

#endif

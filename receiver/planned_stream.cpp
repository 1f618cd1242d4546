#include "receiver/planned_stream.h"

#include "core/fixed_point.h"

#include <algorithm>
#include <vector>

namespace vandry::receiver {

namespace {

constexpr const char *SHORT_FIELDS[] = {"distance", "level", "d1",      "volume",
                                        "temp1",    "temp2", "sequence"};
constexpr const char *LONG_FIELDS[] = {"distance", "level", "d1",   "volume",  "temp1",
                                       "temp2",    "vin",   "rssi", "sequence"};
constexpr const char *GPS_FIELDS[] = {"distance",
                                      "level",
                                      "d1",
                                      "volume",
                                      "temp1",
                                      "temp2",
                                      "vin",
                                      "rssi",
                                      "sequence",
                                      "sentence",
                                      "latitude",
                                      "latitude hemisphere",
                                      "longitude",
                                      "longitude hemisphere",
                                      "time",
                                      "status",
                                      "mode and checksum"};

std::string_view trimmed(std::string_view field) {
    return field.substr(std::min(field.find_first_not_of(' '), field.size()));
}

// The texts of the supply and signal fields that each draw gives.
struct DrawTexts {
    std::array<std::string, TICK_DRAW_SIZE> supply, signal;
    DrawTexts() {
        char text[FIXED_MAX + 1];
        for (int draw = 0; draw < TICK_DRAW_SIZE; ++draw) {
            format_fixed(text, supply_of(draw), 0, 1);
            supply[static_cast<std::size_t>(draw)] = text;
            format_fixed(text, signal_of(draw), 0, 1);
            signal[static_cast<std::size_t>(draw)] = text;
        }
    }
};

const DrawTexts &draw_texts() {
    static const DrawTexts texts;
    return texts;
}

} // namespace

std::uint64_t hash_of(std::string_view text) {
    std::uint64_t h = 14695981039346656037ULL;
    for (const char c : text)
        h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    return h;
}

Difference differ(std::string_view expected, std::string_view got, Layout layout) {
    Difference d;
    const std::vector<std::string_view> e = split_commas(expected).text, g = split_commas(got).text;
    const std::size_t derived = layout == Layout::gps_record ? 1 : 0;
    const std::size_t n = std::min(e.size(), g.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (e[i] == g[i] || (i + derived == e.size() && d.fields > 0))
            continue;
        if (d.fields++ == 0) {
            d.first = i;
            d.expected = trimmed(e[i]);
            d.got = trimmed(g[i]);
        }
    }
    if (e.size() != g.size())
        d.fields = 2;
    return d;
}

const char *field_name(Layout layout, std::size_t position) {
    switch (layout) {
    case Layout::short_record:
        return position < std::size(SHORT_FIELDS) ? SHORT_FIELDS[position] : "record";
    case Layout::long_record:
        return position < std::size(LONG_FIELDS) ? LONG_FIELDS[position] : "record";
    default:
        return position < std::size(GPS_FIELDS) ? GPS_FIELDS[position] : "record";
    }
}

bool may_be(int previous_sequence, TickDraws draws, const Verdict &v) {
    if (next_sequence(previous_sequence) != v.sequence)
        return false;
    if (v.layout == Layout::short_record)
        return true;
    const DrawTexts &t = draw_texts();
    return t.supply[static_cast<std::size_t>(draws.supply)] == v.values[6] &&
           t.signal[static_cast<std::size_t>(draws.signal)] == v.values[7];
}

} // namespace vandry::receiver

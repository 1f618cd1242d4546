// What should be in a collector's store: the ticks that each station's unit wrote. A plan made
// with a count says it for every station (ticks 0 to count - 1); a fleet's report says it per
// unit, and a run stopped early is then known exactly.
#ifndef VANDRY_RECEIVER_EXTENT_H
#define VANDRY_RECEIVER_EXTENT_H

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace vandry::receiver {

// Ticks first_tick to last_tick, both included.
struct Extent {
    std::uint32_t first_tick = 0, last_tick = 0;
};

struct Extents {
    std::optional<Extent> every; // every station's, from a plan's count
    bool from_reports = false;   // per station: a station that no report names wrote nothing
    // Per station named by a report; none: it wrote nothing whole.
    std::unordered_map<std::string, std::optional<Extent>> of_station;
    unsigned long long reports = 0;     // shards whose reports were taken (merged or not)
    unsigned long long written = 0;     // messages that they wrote, all stations together
    unsigned long long unconfirmed = 0; // of those, written on connections that then failed

    [[nodiscard]] bool known() const { return every.has_value() || from_reports; }
    // The station's extent; none when it wrote nothing, or when nothing is known.
    [[nodiscard]] std::optional<Extent> of(const std::string &station) const;
    // Whether a report says that the station wrote nothing whole: no message is then expected.
    [[nodiscard]] bool wrote_nothing(const std::string &station) const;
};

// Adds a fleet's report (its JSON text) to the extents; the reason when it cannot be taken.
std::string add_fleet_report(const std::string &json_text, Extents *extents);

} // namespace vandry::receiver

#endif

#include "receiver/extent.h"

#include <nlohmann/json.hpp>

namespace vandry::receiver {

std::optional<Extent> Extents::of(const std::string &station) const {
    if (from_reports) {
        const auto found = of_station.find(station);
        if (found == of_station.end())
            return std::nullopt;
        return found->second;
    }
    return every;
}

bool Extents::wrote_nothing(const std::string &station) const {
    const auto found = of_station.find(station);
    return from_reports && found != of_station.end() && !found->second;
}

namespace {

// One unit of a report's "stations"; the reason when it is not one.
std::string add_station(const nlohmann::json &s, Extents *extents) {
    if (!s.is_object() || !s.contains("name") || !s["name"].is_string() ||
        !s.value("written", nlohmann::json()).is_number_unsigned())
        return "a station of \"stations\" has no name or written count";
    const std::string name = s["name"].get<std::string>();
    extents->written += s["written"].get<unsigned long long>();
    extents->unconfirmed += s.value("unconfirmed", 0ULL);
    const nlohmann::json first = s.value("first_tick", nlohmann::json()),
                         last = s.value("last_tick", nlohmann::json());
    std::optional<Extent> extent;
    if (!first.is_null() || !last.is_null()) {
        if (!first.is_number_unsigned() || !last.is_number_unsigned() ||
            first.get<unsigned long long>() > last.get<unsigned long long>() ||
            last.get<unsigned long long>() > 4294967295ULL)
            return "station " + name + " has no first_tick and last_tick in order";
        extent = Extent{first.get<std::uint32_t>(), last.get<std::uint32_t>()};
    }
    if (!extents->of_station.emplace(name, extent).second)
        return "station " + name + " is in two reports (each shard's report once)";
    return std::string();
}

} // namespace

std::string add_fleet_report(const std::string &json_text, Extents *extents) {
    const nlohmann::json report = nlohmann::json::parse(json_text, nullptr, false);
    if (report.is_discarded() || !report.is_object())
        return "not a JSON object (vandry-fleet --report writes one)";
    if (!report.contains("stations") || !report["stations"].is_array())
        return "no \"stations\": a fleet's report names what each unit wrote";
    // A merged report counts the shards that it was merged from.
    const nlohmann::json shards = report.value("shards", nlohmann::json(1ULL));
    if (!shards.is_number_unsigned())
        return "\"shards\" is not a count";
    for (const nlohmann::json &s : report["stations"])
        if (std::string error = add_station(s, extents); !error.empty())
            return error;
    extents->from_reports = true;
    extents->reports += shards.get<unsigned long long>();
    return std::string();
}

} // namespace vandry::receiver

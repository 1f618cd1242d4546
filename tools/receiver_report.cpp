#include "receiver_report.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <fstream>

namespace vandry::check {

using Json = nlohmann::ordered_json;

namespace {

Json station_json(const StationFigures &f, bool planned_run) {
    Json s = {{"name", f.name},        {"planned", f.planned},       {"messages", f.messages},
              {"lost", f.lost},        {"duplicated", f.duplicated}, {"altered", f.altered},
              {"restarts", f.restarts}};
    const bool ticks = planned_run && f.started;
    s["first_tick"] = ticks ? Json(f.first_tick) : Json(nullptr);
    s["last_tick"] = ticks ? Json(f.last_tick) : Json(nullptr);
    return s;
}

} // namespace

std::string receiver_report(const MessageLog &log, const Explained *explained) {
    const Totals &t = log.totals();
    Json report = {
        {"plan", log.planned()},
        {"loss_counted", log.planned() ? "by tick" : "modulo 16, may be more"},
        {"connections", t.connections},
        {"messages", t.messages},
        {"malformed", t.malformed},
        {"lost", t.lost},
        {"duplicated", t.duplicated},
        {"altered", t.altered},
        {"restarts", t.restarts},
        {"unknown_stations", log.unknown_stations()},
        {"gaps", t.gaps},
        {"incomplete", t.incomplete},
        {"clean", explained != nullptr ? explained->clean() && t.malformed == 0 : log.clean()}};
    if (explained != nullptr) {
        Json injected = Json::object();
        for (int kind = 1; kind < FAULT_KINDS; ++kind)
            injected[fault_name(static_cast<FaultKind>(kind))] =
                explained->injected[static_cast<std::size_t>(kind)];
        report["injected"] = std::move(injected);
        report["unexplained_lost"] = explained->unexplained_lost;
        report["unexplained_duplicated"] = explained->unexplained_duplicated;
        report["unexplained_altered"] = explained->unexplained_altered;
        report["unexplained_incomplete"] = explained->unexplained_incomplete;
    }
    Json stations = Json::array();
    log.for_each_station(
        [&](const StationFigures &f) { stations.push_back(station_json(f, log.planned())); });
    report["stations"] = std::move(stations);
    return report.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

bool write_report(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (out.flush())
        return true;
    std::fprintf(stderr, "vandry-receiver: cannot write the report %s\n", path.c_str());
    return false;
}

} // namespace vandry::check

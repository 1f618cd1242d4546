#include "fleet/report.h"

#include "core/message.h"

#include <nlohmann/json.hpp>

namespace vandry::fleet {

namespace {

using Json = nlohmann::ordered_json;

std::string text_of(const Json &json, int indent) {
    return json.dump(indent, ' ', false, Json::error_handler_t::replace);
}

// One line of the stations' array.
std::string station_text(const char *name, const StationFigures &s) {
    const Json none = nullptr;
    return text_of(Json{{"name", name},
                        {"first_tick", s.written > 0 ? Json(s.first_tick) : none},
                        {"last_tick", s.written > 0 ? Json(s.last_tick) : none},
                        {"written", s.written},
                        {"unconfirmed", s.unconfirmed}},
                   -1);
}

} // namespace

void write_fleet_report(std::ostream &out, const FleetResult &r, const FleetOptions &o) {
    const FleetFigures &f = r.figures;
    // Milliseconds to the microsecond: the histogram's figures are no finer.
    const auto ms = [](double value) {
        return static_cast<double>(std::llround(value * 1000)) / 1000;
    };
    Json report = {{"units", f.units},
                   {"seconds", ms(r.seconds)},
                   {"written", f.written},
                   {"unconfirmed", f.unconfirmed},
                   {"failed", f.failed},
                   {"connect_failures", f.connect_failures},
                   {"connects", f.connects},
                   {"skipped", f.skipped},
                   {"held", f.held},
                   {"unsent", f.unsent},
                   {"connected_at_end", f.connected},
                   {"late_ms_p50", ms(r.lateness.quantile_ms(0.5))},
                   {"late_ms_p99", ms(r.lateness.quantile_ms(0.99))},
                   {"late_ms_max", ms(r.lateness.max_ms())},
                   {"expected", r.expected},
                   {"complete", r.complete}};
    Json failures = Json::object();
    for (std::size_t kind = 0; kind < f.failures.size(); ++kind)
        if (f.failures[kind] > 0)
            failures[failure_name(static_cast<Failure>(kind))] = {{"count", f.failures[kind]},
                                                                  {"first", f.first_failure[kind]}};
    report["failures"] = std::move(failures);
    if (f.faulting) {
        Json faults = Json::object();
        for (int kind = 1; kind < FAULT_KINDS; ++kind)
            faults[fault_name(static_cast<FaultKind>(kind))] =
                f.faults[static_cast<std::size_t>(kind)];
        report["faults"] = std::move(faults);
    }
    std::string head = text_of(report, 2);
    head.erase(head.size() - 2); // the closing "\n}": the stations go before it
    out << head << ",\n  \"stations\": [";
    char name[MAX_NAME_LENGTH + 1];
    for (std::size_t k = 0; k < r.stations.size(); ++k) {
        write_unit_name(name, o.name_prefix, o.first_unit + static_cast<long long>(k));
        out << (k == 0 ? "\n    " : ",\n    ") << station_text(name, r.stations[k]);
    }
    out << (r.stations.empty() ? "]\n}\n" : "\n  ]\n}\n");
}

} // namespace vandry::fleet

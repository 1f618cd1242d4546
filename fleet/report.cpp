#include "report.h"

#include <nlohmann/json.hpp>

namespace vandry::fleet {

namespace {

using Json = nlohmann::ordered_json;

Json figures_json(const FleetResult &r) {
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
                   {"skipped", f.skipped},
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
    return report;
}

std::string text_of(const Json &value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

} // namespace

void write_fleet_report(std::ostream &out, const FleetResult &r, const FleetOptions &o) {
    const Json figures = figures_json(r);
    out << "{\n";
    for (const auto &[key, value] : figures.items())
        out << "  " << text_of(key) << ": " << text_of(value) << ",\n";
    out << "  \"stations\": [";
    char name[MAX_NAME_LENGTH + 1];
    for (std::size_t k = 0; k < r.units.size(); ++k) {
        const UnitFigures &u = r.units[k];
        write_unit_name(name, o.name_prefix, o.first_unit + static_cast<long long>(k));
        const Json first = u.written > 0 ? Json(u.first_tick) : Json(nullptr),
                   last = u.written > 0 ? Json(u.last_tick) : Json(nullptr);
        out << (k == 0 ? "\n    " : ",\n    ") << R"({"name": )" << text_of(name)
            << R"(, "first_tick": )" << text_of(first) << R"(, "last_tick": )" << text_of(last)
            << R"(, "written": )" << u.written << R"(, "unconfirmed": )" << u.unconfirmed << "}";
    }
    out << "\n  ]\n}\n";
}

} // namespace vandry::fleet

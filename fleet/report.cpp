#include "report.h"

#include <nlohmann/json.hpp>

namespace vandry::fleet {

std::string fleet_report(const FleetResult &r) {
    using Json = nlohmann::ordered_json;
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
    return report.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

} // namespace vandry::fleet

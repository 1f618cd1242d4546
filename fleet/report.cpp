#include "fleet/report.h"

#include "core/message.h"

#include <cmath>

namespace vandry::fleet {

namespace {

using Json = ReportJson;

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

// The handshakes, full and resumed, and the failed ones by reason.
Json tls_json(const FleetFigures &f) {
    Json failures = Json::object();
    for (std::size_t k = 0; k < tls::FAILURE_KINDS; ++k)
        failures[tls::failure_name(static_cast<tls::Failure>(k))] =
            f.failures[static_cast<std::size_t>(tls_failure(static_cast<tls::Failure>(k)))];
    return Json{
        {"handshakes", f.tls_full}, {"resumed", f.tls_resumed}, {"failures", std::move(failures)}};
}

} // namespace

double report_ms(double ms) {
    return static_cast<double>(std::llround(ms * 1000)) / 1000;
}

Json plan_json(const FleetOptions &o) {
    const Json none = nullptr;
    return Json{{"type", o.data_type},
                {"interval_ms", o.interval_ms},
                {"seed", o.seed},
                {"name_prefix", o.name_prefix},
                {"first_unit", o.first_unit},
                {"units", o.units},
                {"rand", rand_name(o.rand)},
                {"count", o.count},
                {"faults", o.faults.list.empty() ? none : Json(o.faults.list)},
                {"fault_seed", o.faults.seed ? Json(*o.faults.seed) : none}};
}

Json lateness_json(const LatenessHistogram &h) {
    Json buckets = Json::array();
    for (const auto &[low, count] : h.buckets())
        buckets.push_back(Json::array({low, count}));
    return Json{{"count", h.count()}, {"max_us", h.max_us()}, {"buckets", std::move(buckets)}};
}

void write_report_layout(std::ostream &out, const Json &head, std::size_t stations,
                         const std::function<std::string(std::size_t)> &station_text) {
    Json rest = head;
    rest.erase("lateness");
    std::string text = text_of(rest, 2);
    text.erase(text.size() - 2); // the closing "\n}": the rest goes before it
    out << text;
    if (head.contains("lateness")) // on one line: its buckets would take four each
        out << ",\n  \"lateness\": " << text_of(head["lateness"], -1);
    out << ",\n  \"stations\": [";
    for (std::size_t k = 0; k < stations; ++k)
        out << (k == 0 ? "\n    " : ",\n    ") << station_text(k);
    out << (stations == 0 ? "]\n}\n" : "\n  ]\n}\n");
}

void write_fleet_report(std::ostream &out, const FleetResult &r, const FleetOptions &o) {
    const FleetFigures &f = r.figures;
    Json report = {{"units", f.units},
                   {"seconds", report_ms(r.seconds)},
                   {"written", f.written},
                   {"unconfirmed", f.unconfirmed},
                   {"failed", f.failed},
                   {"connect_failures", f.connect_failures},
                   {"connects", f.connects},
                   {"skipped", f.skipped},
                   {"held", f.held},
                   {"unsent", f.unsent},
                   {"connected_at_end", f.connected},
                   {"late_ms_p50", report_ms(r.lateness.quantile_ms(0.5))},
                   {"late_ms_p99", report_ms(r.lateness.quantile_ms(0.99))},
                   {"late_ms_max", report_ms(r.lateness.max_ms())},
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
    if (f.tls)
        report["tls"] = tls_json(f);
    report["plan"] = plan_json(o);
    report["lateness"] = lateness_json(r.lateness);
    char name[MAX_NAME_LENGTH + 1];
    write_report_layout(out, report, r.stations.size(), [&](std::size_t k) {
        write_unit_name(name, o.name_prefix, o.first_unit + static_cast<long long>(k));
        return station_text(name, r.stations[k]);
    });
}

} // namespace vandry::fleet

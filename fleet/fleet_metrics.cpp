#include "fleet/fleet_metrics.h"

#include "fleet/stats.h"

namespace vandry::fleet {

metrics::Histogram lateness_seconds_histogram() {
    return metrics::Histogram({0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                               0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60});
}

namespace {

long long failures_of(const FleetFigures &f, Failure kind) {
    return f.failures[static_cast<std::size_t>(kind)];
}

// A counter by failure kind, under the label "reason".
void by_reason(metrics::Exposition &e, const char *name, const char *help, const FleetFigures &f,
               std::initializer_list<std::pair<const char *, Failure>> reasons) {
    e.family(name, help, "counter");
    for (const auto &[reason, kind] : reasons)
        e.sample(name, {{"reason", reason}}, failures_of(f, kind));
}

// The handshakes by kind and the failed ones by reason, when the units speak TLS.
void tls_families(metrics::Exposition &e, const FleetFigures &f) {
    e.family("vandry_fleet_tls_handshakes_total", "TLS handshakes that finished, by kind.",
             "counter");
    e.sample("vandry_fleet_tls_handshakes_total", {{"kind", "full"}}, f.tls_full);
    e.sample("vandry_fleet_tls_handshakes_total", {{"kind", "resumed"}}, f.tls_resumed);
    e.family("vandry_fleet_tls_failures_total", "TLS handshakes that failed, by reason.",
             "counter");
    for (std::size_t k = 0; k < tls::FAILURE_KINDS; ++k) {
        const auto reason = static_cast<tls::Failure>(k);
        e.sample("vandry_fleet_tls_failures_total", {{"reason", tls::failure_name(reason)}},
                 failures_of(f, tls_failure(reason)));
    }
}

} // namespace

std::string fleet_metrics_text(const FleetFigures &f, const metrics::Histogram &lateness) {
    metrics::Exposition e;
    e.gauge("vandry_fleet_units", "Units in the fleet.", f.units);
    e.gauge("vandry_fleet_connected_units", "Units whose connection stands now.", f.connected);
    e.counter("vandry_fleet_messages_written_total", "Messages handed whole to the kernel.",
              f.written);
    e.counter("vandry_fleet_messages_unconfirmed_total",
              "Messages written on a connection that then ended in a reset.", f.unconfirmed);
    e.counter("vandry_fleet_messages_failed_total",
              "Messages composed (their tick used up) but never written whole.", f.failed);
    e.counter("vandry_fleet_connects_total", "Connections that stood.", f.connects);
    by_reason(e, "vandry_fleet_connect_failures_total",
              "Passes that ended before a connection stood, by reason.", f,
              {{"resolve", Failure::resolve},
               {"socket", Failure::socket},
               {"bind", Failure::bind},
               {"connect", Failure::connect}});
    by_reason(e, "vandry_fleet_connection_failures_total", "Connections that failed, by reason.", f,
              {{"send", Failure::send}, {"reset", Failure::reset}, {"ended", Failure::ended}});
    e.counter("vandry_fleet_skipped_slots_total",
              "Slots that passed without a message: a stall, a pause, a silence.", f.skipped);
    e.counter("vandry_fleet_held_slots_total",
              "Slots that passed while the connect-rate cap held the unit back.", f.held);
    e.counter("vandry_fleet_unsent_slots_total",
              "Slots whose message was not written when its connection failed or the run ended.",
              f.unsent);
    e.family("vandry_fleet_faults_injected_total", "Field faults injected, by kind.", "counter");
    for (int kind = 1; kind < FAULT_KINDS; ++kind)
        e.sample("vandry_fleet_faults_injected_total",
                 {{"kind", fault_name(static_cast<FaultKind>(kind))}},
                 f.faults[static_cast<std::size_t>(kind)]);
    if (f.tls)
        tls_families(e, f);
    e.histogram("vandry_fleet_lateness_seconds", "How late each send started after its slot.",
                lateness);
    return e.text();
}

} // namespace vandry::fleet

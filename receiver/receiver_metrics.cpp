#include "receiver/receiver_metrics.h"

#include "metrics/exposition.h"

namespace vandry::receiver {

std::string receiver_metrics_text(const MessageLog &log, const Explained *explained) {
    const Totals &t = log.totals();
    metrics::Exposition e;
    e.gauge("vandry_receiver_connections_open", "Connections open now.", t.open);
    e.counter("vandry_receiver_connections_accepted_total", "Connections accepted.", t.connections);
    e.counter("vandry_receiver_accept_failures_total", "Accepts that failed.", t.accept_failures);
    e.counter("vandry_receiver_messages_total", "Messages received.", t.messages);
    e.counter("vandry_receiver_bytes_total", "Bytes received.", t.bytes);
    e.counter("vandry_receiver_malformed_total", "Messages that are not well formed.", t.malformed);
    e.counter("vandry_receiver_restarts_total", "Stations that started again.", t.restarts);
    // Gauges: a late message may fill a gap that was counted as lost.
    e.gauge("vandry_receiver_lost_messages", "Messages lost.", t.lost);
    e.gauge("vandry_receiver_duplicated_messages", "Messages duplicated.", t.duplicated);
    e.gauge("vandry_receiver_altered_messages", "Messages altered.", t.altered);
    e.gauge("vandry_receiver_incomplete_messages", "Fragments that a reset cut short.",
            t.incomplete);
    e.gauge("vandry_receiver_unknown_stations", "Stations that are not in the plan.",
            log.unknown_stations());
    e.gauge("vandry_receiver_missing_stations", "Planned stations that sent nothing.",
            log.missing_stations());
    if (log.identities())
        e.gauge("vandry_receiver_impostor_messages",
                "Messages of stations that their client's certificate does not name.", t.impostors);
    if (t.tls.on) {
        const char *handshakes = "vandry_receiver_tls_handshakes_total";
        e.family(handshakes, "TLS handshakes completed, by kind.", "counter");
        e.sample(handshakes, {{"kind", "full"}}, t.tls.handshakes);
        e.sample(handshakes, {{"kind", "resumed"}}, t.tls.resumed);
        const char *failures = "vandry_receiver_tls_failures_total";
        e.family(failures, "TLS handshakes failed, by reason.", "counter");
        for (std::size_t kind = 0; kind < t.tls.failures.size(); ++kind)
            e.sample(failures, {{"reason", tls::failure_name(static_cast<tls::Failure>(kind))}},
                     t.tls.failures[kind]);
    }
    if (explained != nullptr) {
        const char *name = "vandry_receiver_unexplained_findings";
        e.family(name, "Findings that no injected fault explains, by kind.", "gauge");
        e.sample(name, {{"kind", "lost"}}, explained->unexplained_lost);
        e.sample(name, {{"kind", "duplicated"}}, explained->unexplained_duplicated);
        e.sample(name, {{"kind", "altered"}}, explained->unexplained_altered);
        e.sample(name, {{"kind", "incomplete"}}, explained->unexplained_incomplete);
    }
    return e.text();
}

} // namespace vandry::receiver

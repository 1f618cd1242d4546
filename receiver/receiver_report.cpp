#include "receiver/receiver_report.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <unordered_map>

namespace vandry::receiver {

using Json = nlohmann::ordered_json;

namespace {

std::string text_of(const Json &value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json station_json(const StationFigures &f, bool planned_run) {
    Json s = {{"name", f.name},        {"planned", f.planned},       {"messages", f.messages},
              {"lost", f.lost},        {"duplicated", f.duplicated}, {"altered", f.altered},
              {"restarts", f.restarts}};
    const bool ticks = planned_run && f.started;
    s["first_tick"] = ticks ? Json(f.first_tick) : Json(nullptr);
    s["last_tick"] = ticks ? Json(f.last_tick) : Json(nullptr);
    return s;
}

Json finding_json(const Finding &f) {
    Json j = {{"station", f.station}, {"kind", finding_kind_name(f.kind)}};
    j["first_tick"] = f.has_ticks ? Json(f.first_tick) : Json(nullptr);
    j["last_tick"] = f.has_ticks ? Json(f.last_tick) : Json(nullptr);
    j["count"] = f.count;
    j["explained_by"] = f.explained_by.empty() ? Json(nullptr) : Json(f.explained_by);
    if (f.kind == FindingKind::altered) {
        j["field"] = f.field;
        j["expected"] = f.expected;
        j["got"] = f.got;
    }
    if (f.kind == FindingKind::impostor)
        j["certificate"] = f.certificate;
    return j;
}

Json tls_json(const TlsTotals &t) {
    Json failures = Json::object();
    for (std::size_t kind = 0; kind < t.failures.size(); ++kind)
        failures[tls::failure_name(static_cast<tls::Failure>(kind))] = t.failures[kind];
    return {{"handshakes", t.handshakes}, {"resumed", t.resumed}, {"failures", failures}};
}

// The run's figures, before the lists.
Json figures_json(const RunOutcome &run) {
    const MessageLog &log = run.log;
    const Totals &t = log.totals();
    Json report = {{"plan", log.planned()},
                   {"loss_counted", log.planned() ? "by tick" : "modulo 16, may be more"},
                   {"connections", t.connections},
                   {"messages", t.messages},
                   {"malformed", t.malformed},
                   {"lost", t.lost},
                   {"duplicated", t.duplicated},
                   {"altered", t.altered},
                   {"restarts", t.restarts},
                   {"unknown_stations", log.unknown_stations()},
                   {"unknown_unnamed_messages", log.unknown_unnamed_messages()},
                   {"missing_stations", log.missing_stations()},
                   {"gaps", t.gaps},
                   {"incomplete", t.incomplete},
                   {"clean", run.clean}};
    if (run.extents != nullptr && run.extents->from_reports) {
        report["shards"] = run.extents->reports;
        report["written_by_fleet"] = run.extents->written;
        report["unconfirmed_by_fleet"] = run.extents->unconfirmed;
    }
    if (const Explained *e = run.explained) {
        Json injected = Json::object();
        for (int kind = 1; kind < FAULT_KINDS; ++kind)
            injected[fault_name(static_cast<FaultKind>(kind))] =
                e->injected[static_cast<std::size_t>(kind)];
        report["injected"] = std::move(injected);
        report["unconfirmed_logged"] = e->unconfirmed;
        report["fault_log_error"] = e->error.empty() ? Json(nullptr) : Json(e->error);
        report["unexplained_lost"] = e->unexplained_lost;
        report["unexplained_duplicated"] = e->unexplained_duplicated;
        report["unexplained_altered"] = e->unexplained_altered;
        report["unexplained_incomplete"] = e->unexplained_incomplete;
        report["unexplained_findings"] = e->unexplained_findings;
    }
    if (log.identities())
        report["impostors"] = t.impostors;
    if (t.tls.on)
        report["tls"] = tls_json(t.tls);
    report["findings_left_off"] = log.findings().left_off();
    return report;
}

std::string xml_escaped(std::string_view text) {
    std::string out;
    for (const char c : escape(text)) // escape() leaves printable ASCII only
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    return out;
}

void junit_case(std::ostream &out, const std::string &name, const std::string &failure) {
    out << R"(  <testcase classname="vandry-receiver" name=")" << xml_escaped(name) << '"';
    if (failure.empty()) {
        out << "/>\n";
        return;
    }
    out << ">\n    <failure message=\"" << xml_escaped(failure.substr(0, failure.find('\n')))
        << "\">";
    for (std::size_t at = 0, end; at < failure.size(); at = end + 1) { // a line of text each
        end = std::min(failure.find('\n', at), failure.size());
        out << xml_escaped(std::string_view(failure).substr(at, end - at)) << "\n";
    }
    out << "</failure>\n  </testcase>\n";
}

} // namespace

void write_receiver_report(std::ostream &out, const RunOutcome &run) {
    const Json figures = figures_json(run);
    out << "{\n";
    for (const auto &[key, value] : figures.items())
        out << "  " << text_of(key) << ": " << text_of(value) << ",\n";
    out << "  \"stations\": [";
    const char *separator = "\n    ";
    run.log.for_each_station([&](const StationFigures &f) {
        out << separator << text_of(station_json(f, run.log.planned()));
        separator = ",\n    ";
    });
    out << "\n  ],\n  \"findings\": [";
    separator = "\n    ";
    for (const Finding &f : run.log.findings().all()) {
        out << separator << text_of(finding_json(f));
        separator = ",\n    ";
    }
    out << "\n  ]\n}\n";
}

void write_junit(std::ostream &out, const RunOutcome &run) {
    std::unordered_map<std::string, std::string> failures; // by station: its findings' lines
    unsigned long long planned = 0, failed = 0;
    for (const Finding &f : run.log.findings().all())
        if (f.explained_by.empty() && f.kind != FindingKind::unknown_station)
            failures[f.station] += finding_line(f, false) + "\n";
    run.log.for_each_station([&](const StationFigures &s) {
        planned += s.planned ? 1 : 0;
        failed += s.planned && failures.count(s.name) > 0 ? 1 : 0;
    });
    const unsigned long long unknown = run.log.unknown_stations(),
                             malformed = run.log.totals().malformed;
    failed += (unknown > 0 ? 1 : 0) + (malformed > 0 ? 1 : 0);
    out << R"(<?xml version="1.0" encoding="UTF-8"?>)"
        << "\n"
        << R"(<testsuite name="vandry-receiver" tests=")" << planned + 2 << R"(" failures=")"
        << failed << "\">\n";
    run.log.for_each_station([&](const StationFigures &s) {
        if (s.planned) {
            const auto found = failures.find(s.name);
            junit_case(out, "station " + s.name, found == failures.end() ? "" : found->second);
        }
    });
    std::string names;
    run.log.for_each_station([&](const StationFigures &s) {
        if (!s.planned)
            names += s.name + " (" + counted(s.messages, "message") + ")\n";
    });
    junit_case(out, "unknown stations",
               unknown == 0 ? "" : counted(unknown, "unknown station") + "\n" + names);
    junit_case(out, "malformed messages",
               malformed == 0 ? "" : counted(malformed, "malformed message"));
    out << "</testsuite>\n";
}

bool write_report_file(const std::string &path, const RunOutcome &run,
                       void (*write)(std::ostream &, const RunOutcome &)) {
    std::ofstream out(path, std::ios::binary);
    write(out, run);
    if (out.flush())
        return true;
    std::fprintf(stderr, "vandry-receiver: cannot write %s\n", path.c_str());
    return false;
}

} // namespace vandry::receiver

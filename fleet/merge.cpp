#include "fleet/merge.h"

#include "core/console.h"

#include <algorithm>
#include <fstream>
#include <iostream>

namespace vandry::fleet {

namespace {

using Json = ReportJson;

// The figures that merging sums, each a whole number.
constexpr const char *SUMMED[] = {"units",    "written",          "unconfirmed", "failed",
                                  "connects", "connect_failures", "skipped",     "held",
                                  "unsent",   "connected_at_end", "expected"};

// A report's member, or null when it has none (or is no object).
const Json &field(const Json &j, const std::string &key) {
    static const Json none;
    const auto found = j.find(key);
    return found == j.end() ? none : *found;
}

std::uint64_t count_of(const Json &j, const std::string &key) {
    return field(j, key).get<std::uint64_t>();
}

// Why r is not a fleet's report with a plan and a histogram; empty when it is one.
std::string shape_error(const Json &r) {
    if (!r.is_object())
        return "not a JSON object";
    for (const char *key : SUMMED)
        if (!field(r, key).is_number_unsigned())
            return std::string("no count \"") + key + "\"";
    if (!field(r, "seconds").is_number() || !field(r, "complete").is_boolean() ||
        !field(r, "failures").is_object())
        return R"(no "seconds", "complete" or "failures")";
    const Json &plan = field(r, "plan");
    if (!field(plan, "first_unit").is_number_unsigned() ||
        !field(plan, "units").is_number_unsigned())
        return "no \"plan\" with first_unit and units";
    if (!field(r, "stations").is_array() || field(r, "stations").size() != count_of(r, "units"))
        return "no \"stations\", one for each of its units";
    if (r.contains("shards") && !field(r, "shards").is_number_unsigned())
        return "\"shards\" is not a count";
    const Json &tls = field(r, "tls");
    if (r.contains("tls") && !(field(tls, "handshakes").is_number_unsigned() &&
                               field(tls, "resumed").is_number_unsigned()))
        return "\"tls\" without the counts handshakes and resumed";
    return std::string();
}

// Adds r's "lateness" to h; the reason when it is not a histogram of this fleet's buckets.
std::string add_lateness(const Json &r, LatenessHistogram *h) {
    const Json &l = field(r, "lateness");
    if (!field(l, "count").is_number_unsigned() || !field(l, "max_us").is_number_unsigned() ||
        !field(l, "buckets").is_array())
        return "no \"lateness\" with count, max_us and buckets";
    std::uint64_t count = 0;
    for (const Json &b : field(l, "buckets")) {
        if (!b.is_array() || b.size() != 2 || !b[0].is_number_unsigned() ||
            !b[1].is_number_unsigned() ||
            !h->add_to_bucket(b[0].get<std::uint64_t>(), b[1].get<std::uint64_t>()))
            return "lateness bucket " + b.dump() + " is not [low_us, count] of a bucket";
        count += b[1].get<std::uint64_t>();
    }
    if (count != count_of(l, "count"))
        return "its lateness buckets hold " + std::to_string(count) + " samples, not its count";
    h->raise_max(count_of(l, "max_us"));
    return std::string();
}

// Why b's plan is not a's, but for the units each holds; empty when it is.
std::string plan_difference(const NamedReport &a, const NamedReport &b) {
    const Json &pa = field(a.report, "plan"), &pb = field(b.report, "plan");
    for (const Json *keys : {&pa, &pb})
        for (const auto &item : keys->items()) {
            const std::string &key = item.key();
            if (key == "first_unit" || key == "units" || field(pa, key) == field(pb, key))
                continue;
            return b.name + " is of another plan than " + a.name + ": its \"" + key + "\" is " +
                   field(pb, key).dump() + ", not " + field(pa, key).dump();
        }
    return std::string();
}

// A report's units, first to last.
struct Range {
    const NamedReport *report;
    std::uint64_t first, end; // end: one past the last
};

// The reports in unit order; the reason when two of them overlap, and a note for each gap.
std::string order_ranges(const std::vector<NamedReport> &reports, std::vector<Range> *ranges,
                         std::vector<std::string> *notes) {
    for (const NamedReport &r : reports) {
        const Json &plan = field(r.report, "plan");
        const std::uint64_t first = count_of(plan, "first_unit");
        ranges->push_back({&r, first, first + count_of(plan, "units")});
    }
    std::stable_sort(ranges->begin(), ranges->end(),
                     [](const Range &a, const Range &b) { return a.first < b.first; });
    const auto units = [](const Range &r) {
        return std::to_string(r.first) + " to " + std::to_string(r.end - 1);
    };
    for (std::size_t k = 1; k < ranges->size(); ++k) {
        const Range &a = (*ranges)[k - 1], &b = (*ranges)[k];
        if (b.first < a.end)
            return a.report->name + " and " + b.report->name + " overlap: units " + units(a) +
                   " and " + units(b);
        if (b.first > a.end)
            notes->push_back("units " + units({nullptr, a.end, b.first}) + " are in no report");
    }
    return std::string();
}

// Adds r's failures to the merged ones; the first line of each kind stays the lowest units'.
void add_failures(const Json &r, Json *failures) {
    for (const auto &item : field(r, "failures").items()) {
        if (!failures->contains(item.key()))
            (*failures)[item.key()] = item.value();
        else
            (*failures)[item.key()]["count"] =
                count_of((*failures)[item.key()], "count") + count_of(item.value(), "count");
    }
}

// Adds one count to another that may not be there yet.
void add_count(const Json &from, Json *to) {
    if (from.is_number_unsigned())
        *to = (to->is_number_unsigned() ? to->get<std::uint64_t>() : 0) + from.get<std::uint64_t>();
}

// Adds r's TLS counts to the merged ones: handshakes full and resumed, failures by reason.
void add_tls(const Json &r, Json *tls) {
    for (const char *key : {"handshakes", "resumed"})
        add_count(field(r, key), &(*tls)[key]);
    for (const auto &item : field(r, "failures").items())
        add_count(item.value(), &(*tls)["failures"][item.key()]);
}

// Adds r's figures to the merged head (the lowest units' report to start with).
void add_figures(const Json &r, Json *head) {
    for (const char *key : SUMMED)
        (*head)[key] = count_of(*head, key) + count_of(r, key);
    (*head)["seconds"] =
        std::max(field(*head, "seconds").get<double>(), r["seconds"].get<double>());
    (*head)["complete"] = (*head)["complete"].get<bool>() && r["complete"].get<bool>();
    add_failures(r, &(*head)["failures"]);
    if (head->contains("faults"))
        for (const auto &item : field(r, "faults").items())
            if (item.value().is_number_unsigned())
                (*head)["faults"][item.key()] =
                    count_of((*head)["faults"], item.key()) + item.value().get<std::uint64_t>();
    if (r.contains("tls"))
        add_tls(r["tls"], &(*head)["tls"]);
    (*head)["plan"]["units"] = count_of((*head)["plan"], "units") + count_of(r["plan"], "units");
    (*head)["shards"] = count_of(*head, "shards") + r.value("shards", std::uint64_t{1});
}

// The merged figures, for the summary line.
FleetFigures figures_of(const Json &head) {
    FleetFigures f;
    f.units = field(head, "units").get<long long>();
    f.connected = field(head, "connected_at_end").get<long long>();
    f.written = field(head, "written").get<long long>();
    f.unconfirmed = field(head, "unconfirmed").get<long long>();
    f.failed = field(head, "failed").get<long long>();
    f.connects = field(head, "connects").get<long long>();
    f.connect_failures = field(head, "connect_failures").get<long long>();
    f.skipped = field(head, "skipped").get<long long>();
    f.held = field(head, "held").get<long long>();
    f.unsent = field(head, "unsent").get<long long>();
    f.tls = field(head, "tls").is_object();
    if (f.tls) {
        f.tls_full = field(head["tls"], "handshakes").get<long long>();
        f.tls_resumed = field(head["tls"], "resumed").get<long long>();
    }
    for (std::size_t kind = 0; kind < f.failures.size(); ++kind) {
        const Json &failure = field(head["failures"], failure_name(static_cast<Failure>(kind)));
        if (failure.is_object()) {
            f.failures[kind] = field(failure, "count").get<long long>();
            f.first_failure[kind] = field(failure, "first").get<std::string>();
        }
    }
    return f;
}

// The failures in the order that the fleet writes them.
Json failures_in_order(const Json &failures) {
    Json ordered = Json::object();
    for (int kind = 0; kind < static_cast<int>(Failure::count); ++kind)
        if (failures.contains(failure_name(static_cast<Failure>(kind))))
            ordered[failure_name(static_cast<Failure>(kind))] =
                failures[failure_name(static_cast<Failure>(kind))];
    return ordered;
}

MergedReport refused(std::string reason) {
    MergedReport m;
    m.error = std::move(reason);
    return m;
}

} // namespace

MergedReport merge_fleet_reports(const std::vector<NamedReport> &reports) {
    MergedReport m;
    if (reports.empty())
        return refused("no report to merge");
    LatenessHistogram lateness;
    for (const NamedReport &r : reports) {
        std::string error = shape_error(r.report);
        if (error.empty())
            error = add_lateness(r.report, &lateness);
        if (error.empty() && &r != &reports.front())
            if (std::string differs = plan_difference(reports.front(), r); !differs.empty())
                return refused(differs);
        if (!error.empty())
            return refused(r.name + " is not a fleet's report: " + error);
    }
    std::vector<Range> ranges;
    if (std::string error = order_ranges(reports, &ranges, &m.notes); !error.empty())
        return refused(error);
    m.head = ranges.front().report->report;
    m.head.erase("stations");
    m.head["shards"] = m.head.value("shards", std::uint64_t{1});
    m.stations = Json::array();
    for (const Range &range : ranges) {
        if (range.report != ranges.front().report)
            add_figures(range.report->report, &m.head);
        for (const Json &station : range.report->report["stations"])
            m.stations.push_back(station);
    }
    m.head["failures"] = failures_in_order(m.head["failures"]);
    m.head["late_ms_p50"] = report_ms(lateness.quantile_ms(0.5));
    m.head["late_ms_p99"] = report_ms(lateness.quantile_ms(0.99));
    m.head["late_ms_max"] = report_ms(lateness.max_ms());
    m.head["lateness"] = lateness_json(lateness);
    m.summary = summary_line(m.head["seconds"].get<double>(), figures_of(m.head),
                             m.head["expected"].get<long long>(), lateness);
    return m;
}

int run_merge(const std::vector<std::string> &files, const std::string &out) {
    std::vector<NamedReport> reports;
    for (const std::string &file : files) {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            std::cerr << "vandry-fleet: cannot read the report " << file << "\n";
            return 2;
        }
        reports.push_back({file, Json::parse(in, nullptr, false)});
    }
    const MergedReport m = merge_fleet_reports(reports);
    if (!m.error.empty()) {
        std::cerr << "vandry-fleet: " << m.error << "\n";
        return 2;
    }
    for (const std::string &note : m.notes)
        report("vandry-fleet: note: %s\n", note.c_str());
    report("%s", m.summary.c_str());
    if (out.empty())
        return 0;
    std::ofstream file(out, std::ios::binary);
    write_report_layout(file, m.head, m.stations.size(), [&m](std::size_t k) {
        return m.stations[k].dump(-1, ' ', false, Json::error_handler_t::replace);
    });
    if (!file.flush()) {
        std::cerr << "vandry-fleet: cannot write the report " << out << "\n";
        return 1;
    }
    return 0;
}

} // namespace vandry::fleet

#include "receiver/fault_explain.h"

#include "core/command_line.h"
#include "receiver/record_csv.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <utility>

namespace vandry::receiver {

namespace {

using Key = std::pair<std::string, std::uint32_t>;

constexpr unsigned UNCONFIRMED_BIT = 1U << FAULT_KINDS;

unsigned bit(FaultKind kind) {
    return 1U << static_cast<unsigned>(kind);
}

// A row's kind as a bit; 0 when it is none.
unsigned kind_bit(const std::string &name) {
    if (name == UNCONFIRMED_KIND)
        return UNCONFIRMED_BIT;
    for (int kind = 1; kind < FAULT_KINDS; ++kind)
        if (name == fault_name(static_cast<FaultKind>(kind)))
            return bit(static_cast<FaultKind>(kind));
    return 0;
}

// The kinds logged at every station's ticks, one bit each; the reason when the text is no
// fault log.
// A row of the log, kept; the reason when it is no fault.
std::string take_row(const CsvRecord &record, std::map<Key, unsigned> *at, Explained *e) {
    const std::vector<std::string> &row = record.fields;
    const unsigned kind = row.size() == 5 ? kind_bit(row[3]) : 0;
    long long tick = 0;
    if (kind == 0 || !parse_decimal(row[2], 0, 4294967295LL, &tick))
        return "line " + std::to_string(record.line) + " is no time,station,tick,kind,detail";
    (*at)[{row[1], static_cast<std::uint32_t>(tick)}] |= kind;
    e->unconfirmed += kind == UNCONFIRMED_BIT ? 1 : 0;
    for (std::size_t k = 1; k < FAULT_KINDS; ++k)
        e->injected[k] += kind == (1U << k) ? 1 : 0;
    return std::string();
}

std::string read_log(const std::string &text, std::map<Key, unsigned> *at, Explained *e) {
    std::string error;
    bool header = true;
    CsvReader reader;
    const CsvReader::Take take = [&](CsvRecord &record) {
        const std::vector<std::string> &row = record.fields;
        if (std::exchange(header, false))
            error = row.size() == 5 && row[0] == "time" && row[3] == "kind"
                        ? std::string()
                        : "it has no header time,station,tick,kind,detail";
        else if (row.size() != 1 || !row[0].empty())
            error = take_row(record, at, e);
        return error.empty();
    };
    std::string csv_error = reader.feed(text, take);
    if (csv_error.empty() && error.empty())
        csv_error = reader.finish(take);
    if (!error.empty())
        return "the fault log: " + error;
    return csv_error.empty() ? std::string() : "the fault log is cut or broken: " + csv_error;
}

// The first of the kinds logged at the tick that explain a finding of this kind; empty: none.
std::string explanation(unsigned logged, FindingKind kind) {
    const auto named = [logged](unsigned kinds) -> std::string {
        for (int k = 1; k <= FAULT_KINDS; ++k)
            if ((logged & kinds & (1U << k)) != 0)
                return k == FAULT_KINDS ? UNCONFIRMED_KIND : fault_name(static_cast<FaultKind>(k));
        return std::string();
    };
    switch (kind) {
    case FindingKind::lost:
        return named(bit(FaultKind::drop) | bit(FaultKind::cut) | UNCONFIRMED_BIT);
    case FindingKind::duplicated:
        return named(bit(FaultKind::duplicate));
    case FindingKind::altered:
        return named(bit(FaultKind::garble));
    default:
        return std::string();
    }
}

// Findings one tick (or one copy) at a time, explained, joined again where they agree.
class Explainer {
  public:
    Explainer(const std::map<Key, unsigned> &at, unsigned long long cuts) : at_(at), cuts_(cuts) {}

    void take(const Finding &f) {
        if (!f.has_ticks || f.kind == FindingKind::altered) {
            Finding one = f;
            if (f.kind == FindingKind::altered)
                one.explained_by = explanation(logged(f.station, f.first_tick), f.kind);
            else if (f.kind == FindingKind::incomplete && cuts_ > 0) {
                --cuts_;
                one.explained_by = fault_name(FaultKind::cut);
            }
            out_.add(std::move(one));
            return;
        }
        const std::uint64_t span = std::uint64_t{f.last_tick} - f.first_tick + 1;
        for (std::uint64_t unit = 0; unit < std::max<std::uint64_t>(span, f.count); ++unit) {
            const auto tick = static_cast<std::uint32_t>(f.first_tick + std::min(unit, span - 1));
            Finding one = f;
            one.first_tick = one.last_tick = tick;
            one.count = 1;
            one.explained_by = explanation(logged(f.station, tick), f.kind);
            if (f.kind == FindingKind::duplicated && !one.explained_by.empty() &&
                !used_.insert({f.station, tick}).second)
                one.explained_by.clear(); // one injected duplicate explains one copy
            if (f.kind == FindingKind::lost)
                lost_.insert({f.station, tick});
            add(std::move(one));
        }
    }

    // The copies of injected duplicates that did not arrive while their tick did, and the drops
    // at ticks that arrived.
    unsigned long long finish(const PlacedTicks &placed) {
        unsigned long long foreign = 0;
        for (const auto &[key, kinds] : at_) {
            const auto range = placed.find(key.first);
            if (range == placed.end() || key.second < range->second.first_tick ||
                key.second > range->second.last_tick || lost_.count(key) > 0)
                continue;
            foreign += (kinds & bit(FaultKind::drop)) != 0 ? 1 : 0;
            if ((kinds & bit(FaultKind::duplicate)) != 0 && used_.count(key) == 0) {
                Finding copy;
                copy.station = key.first;
                copy.has_ticks = true;
                copy.first_tick = copy.last_tick = key.second;
                copy.explained_by = (kinds & UNCONFIRMED_BIT) != 0 ? UNCONFIRMED_KIND : "";
                add(std::move(copy));
            }
        }
        return foreign;
    }

    Findings &out() { return out_; }

  private:
    [[nodiscard]] unsigned logged(const std::string &station, std::uint32_t tick) const {
        const auto found = at_.find({station, tick});
        return found == at_.end() ? 0 : found->second;
    }

    // Joins explained findings too: Findings::add joins only unexplained ones.
    void add(Finding f) {
        std::vector<Finding> &list = out_.all();
        if (!list.empty() && !f.explained_by.empty()) {
            Finding &last = list.back();
            if (last.kind == f.kind && last.station == f.station &&
                last.explained_by == f.explained_by && last.has_ticks &&
                (f.first_tick == last.last_tick + 1 ||
                 (f.kind == FindingKind::duplicated && f.first_tick == last.last_tick))) {
                last.last_tick = f.last_tick;
                ++last.count;
                return;
            }
        }
        out_.add(std::move(f));
    }

    const std::map<Key, unsigned> &at_;
    unsigned long long cuts_;
    Findings out_;
    std::set<Key> used_;
    std::set<Key> lost_; // the lost ticks, one by one
};

void count_unexplained(const Findings &findings, Explained *e) {
    for (const Finding &f : findings.all()) {
        if (!f.explained_by.empty() || f.kind == FindingKind::unknown_station)
            continue;
        ++e->unexplained_findings;
        e->unexplained_lost += f.kind == FindingKind::lost ? f.count : 0;
        e->unexplained_duplicated += f.kind == FindingKind::duplicated ? f.count : 0;
        e->unexplained_altered += f.kind == FindingKind::altered ? f.count : 0;
        e->unexplained_incomplete += f.kind == FindingKind::incomplete ? f.count : 0;
    }
    e->unexplained_findings += findings.left_off();
}

} // namespace

Explained explain(Findings &findings, const PlacedTicks &placed, const std::string &log_text) {
    Explained e;
    std::map<Key, unsigned> at;
    e.error = read_log(log_text, &at, &e);
    if (e.error.empty()) {
        Explainer explainer(at, e.injected[static_cast<std::size_t>(FaultKind::cut)]);
        for (const Finding &f : findings.all())
            explainer.take(f);
        if (const unsigned long long foreign = explainer.finish(placed); foreign > 0)
            e.error = "the fault log claims " + std::to_string(foreign) +
                      (foreign == 1 ? " drop at a tick that" : " drops at ticks that") +
                      " arrived: it is another run's, and explains nothing";
        else
            findings = std::move(explainer.out());
    }
    count_unexplained(findings, &e);
    return e;
}

Explained explain_from_file(Findings &findings, const PlacedTicks &placed,
                            const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        Explained e;
        e.error = "cannot read the fault log " + path;
        count_unexplained(findings, &e);
        return e;
    }
    return explain(findings, placed, std::string(std::istreambuf_iterator<char>(in), {}));
}

} // namespace vandry::receiver

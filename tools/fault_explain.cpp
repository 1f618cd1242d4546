#include "fault_explain.h"

#include "command_line.h"
#include "record_csv.h"

#include <fstream>
#include <iterator>
#include <map>
#include <utility>

namespace vandry::check {

namespace {

using Key = std::pair<std::string, std::uint32_t>;

unsigned bit(FaultKind kind) {
    return 1U << static_cast<unsigned>(kind);
}

// The kinds injected at every station's ticks, one bit each; false when a row is no fault.
bool read_log(const std::string &text, std::map<Key, unsigned> *at, Explained *e) {
    std::size_t pos = 0;
    for (bool header = true; const auto row = read_csv_record(text, &pos, true); header = false) {
        if (header || (row->size() == 1 && (*row)[0].empty()))
            continue;
        int kind = 1;
        while (row->size() >= 4 && kind < FAULT_KINDS &&
               (*row)[3] != fault_name(static_cast<FaultKind>(kind)))
            ++kind;
        long long tick = 0;
        if (row->size() < 4 || kind == FAULT_KINDS ||
            !parse_decimal((*row)[2], 0, 4294967295LL, &tick)) {
            e->error = "a row of the fault log is no time,station,tick,kind,detail";
            return false;
        }
        (*at)[{(*row)[1], static_cast<std::uint32_t>(tick)}] |= bit(static_cast<FaultKind>(kind));
        ++e->injected[static_cast<std::size_t>(kind)];
    }
    return true;
}

} // namespace

Explained explain(const std::vector<Event> &events, unsigned long long incomplete,
                  const std::string &log_text) {
    Explained e;
    std::map<Key, unsigned> at;
    if (!read_log(log_text, &at, &e))
        return e;
    const auto injected = [&at](const std::string &station, std::uint32_t tick, unsigned kinds) {
        const auto found = at.find({station, tick});
        return found != at.end() && (found->second & kinds) != 0;
    };
    for (const Event &ev : events)
        for (std::uint32_t tick = ev.first_tick;; ++tick) {
            switch (ev.kind) {
            case Event::Kind::lost:
                e.unexplained_lost +=
                    injected(ev.station, tick, bit(FaultKind::drop) | bit(FaultKind::cut)) ? 0 : 1;
                break;
            case Event::Kind::duplicated:
                e.unexplained_duplicated +=
                    injected(ev.station, tick, bit(FaultKind::duplicate)) ? 0 : 1;
                break;
            case Event::Kind::altered:
                e.unexplained_altered += injected(ev.station, tick, bit(FaultKind::garble)) ? 0 : 1;
                break;
            }
            if (tick == ev.last_tick)
                break;
        }
    const unsigned long long cuts = e.injected[static_cast<std::size_t>(FaultKind::cut)];
    e.unexplained_incomplete = incomplete > cuts ? incomplete - cuts : 0;
    return e;
}

Explained explain_from_file(const std::vector<Event> &events, unsigned long long incomplete,
                            const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        Explained e;
        e.error = "cannot read the fault log " + path;
        return e;
    }
    return explain(events, incomplete, std::string(std::istreambuf_iterator<char>(in), {}));
}

} // namespace vandry::check

#include "receiver/findings.h"

#include "receiver/message_check.h"

namespace vandry::receiver {

const char *finding_kind_name(FindingKind kind) {
    switch (kind) {
    case FindingKind::lost:
        return "lost";
    case FindingKind::duplicated:
        return "duplicated";
    case FindingKind::altered:
        return "altered";
    case FindingKind::incomplete:
        return "incomplete";
    case FindingKind::missing_station:
        return "missing_station";
    case FindingKind::unknown_station:
        return "unknown_station";
    default:
        return "impostor";
    }
}

std::string finding_line(const Finding &f, bool with_explanation) {
    const std::string station = escape(f.station);
    const std::string ticks =
        f.first_tick == f.last_tick
            ? "tick " + std::to_string(f.first_tick)
            : "ticks " + std::to_string(f.first_tick) + "-" + std::to_string(f.last_tick);
    const std::string n = std::to_string(f.count);
    std::string line;
    switch (f.kind) {
    case FindingKind::lost:
        line = "LOST: station " + station + " " + ticks + " (" + n + " lost)";
        break;
    case FindingKind::duplicated:
        line = "DUPLICATED: station " + station + " " + ticks + " (" + n + " more)";
        break;
    case FindingKind::altered:
        line = "ALTERED: station " + station + " " + ticks + ": " + f.field + " expected " +
               escape(f.expected) + ", got " + escape(f.got);
        break;
    case FindingKind::incomplete:
        line = "INCOMPLETE: a fragment " + (f.station.empty() ? "" : "of " + station + " ") +
               "cut short by a reset";
        break;
    case FindingKind::missing_station:
        line = "MISSING STATION: " + station + " is planned and sent nothing here";
        break;
    case FindingKind::unknown_station:
        line = "UNKNOWN STATION: " + station + " is not in the plan (" + n + " messages)";
        break;
    case FindingKind::impostor:
        line = "IMPOSTOR: station " + station + " from a client whose certificate names " +
               (f.certificate.empty() ? "nothing" : escape(f.certificate)) + " (" + n +
               " messages)";
        break;
    }
    if (with_explanation)
        line +=
            f.explained_by.empty() ? " [unexplained]" : " [explained by " + f.explained_by + "]";
    return line;
}

void Findings::add(Finding f) {
    if (!list_.empty() && f.kind == FindingKind::impostor) {
        Finding &last = list_.back();
        if (last.kind == f.kind && last.station == f.station && last.certificate == f.certificate) {
            last.count += f.count;
            return;
        }
    }
    if (!list_.empty() && f.has_ticks && f.explained_by.empty()) {
        Finding &last = list_.back();
        const bool joins = last.kind == f.kind && last.station == f.station && last.has_ticks &&
                           last.explained_by.empty() &&
                           (f.kind == FindingKind::lost || f.kind == FindingKind::duplicated) &&
                           (f.first_tick == last.last_tick + 1 ||
                            (f.kind == FindingKind::duplicated && f.first_tick == last.last_tick));
        if (joins) {
            last.last_tick = f.last_tick;
            last.count += f.count;
            return;
        }
    }
    if (list_.size() >= MAX_FINDINGS) {
        ++left_off_;
        left_off_count_ += f.count;
        return;
    }
    list_.push_back(std::move(f));
}

} // namespace vandry::receiver

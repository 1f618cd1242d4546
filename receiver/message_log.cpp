#include "receiver/message_log.h"

#include "core/console.h"

#include <algorithm>

namespace vandry::receiver {

namespace {

// The first lines of each kind that --quiet still shows.
constexpr unsigned long long LINES_WHEN_QUIET = 10;

// Bytes as a line shows them: escaped, and at most the first MALFORMED_BYTES_KEPT.
std::string shown_bytes(std::string_view bytes) {
    if (bytes.size() <= MALFORMED_BYTES_KEPT)
        return escape(bytes);
    return escape(bytes.substr(0, MALFORMED_BYTES_KEPT)) + "... (" + std::to_string(bytes.size()) +
           " bytes)";
}

} // namespace

std::string counted(unsigned long long n, const char *thing) {
    return std::to_string(n) + " " + thing + (n == 1 ? "" : "s");
}

MessageLog::MessageLog(const LogOptions &options)
    : quiet_(options.quiet || options.only_unexplained),
      only_unexplained_(options.only_unexplained), any_order_(options.match.any_order),
      identities_(options.identities), extents_(options.match.extents), csv_(options.csv),
      matcher_(options.plan != nullptr ? make_plan_matcher(*options.plan, options.match)
                                       : nullptr) {}

bool MessageLog::shown_when_quiet(unsigned long long *count, const char *what) const {
    ++*count;
    if (only_unexplained_)
        return false;
    if (quiet_ && *count == LINES_WHEN_QUIET + 1)
        report("further %s are counted only\n", what);
    return !quiet_ || *count <= LINES_WHEN_QUIET;
}

bool MessageLog::handle(const Source &from, const Message &m) {
    const Verdict v = check_message(m.bytes, m.mode);
    ++totals_.messages;
    // "conn N" for a connection, the file's name for a recording.
    const std::string where =
        from.connection != 0 ? "conn " + std::to_string(from.connection) : from.peer;
    std::string tick, check;
    if (!v.ok) {
        ++totals_.malformed;
        if (shown_when_quiet(&shown_malformed_, "malformed messages"))
            report(
                "MALFORMED on %s: %s: %s\n", where.c_str(), v.error.c_str(),
                shown_bytes(std::string_view(m.bytes).substr(0, m.bytes.size() - m.framing_added))
                    .c_str());
    } else if (from.names != nullptr &&
               std::find(from.names->begin(), from.names->end(), v.station) == from.names->end()) {
        check = impostor(where, from, v);
    } else {
        check = place(where, from, v, m, &tick);
    }
    if (csv_ != nullptr && csv_->ok() &&
        !csv_->write(csv_row(
            {from.time, from.connection != 0 ? std::to_string(from.connection) : std::string(),
             tick, check},
            v, m.bytes)))
        std::fprintf(stderr, "vandry-receiver: cannot write the CSV file: no more rows\n");
    return v.ok;
}

bool MessageLog::fragment(const Source &from, const Message &m) {
    if (check_message(m.bytes, m.mode).ok)
        return false;
    ++totals_.incomplete;
    Finding f;
    f.kind = FindingKind::incomplete;
    f.station = m.bytes.substr(0, std::min(m.bytes.find(','), m.bytes.size()));
    findings_.add(std::move(f));
    if (shown_when_quiet(&shown_incomplete_, "incomplete fragments"))
        report("INCOMPLETE on %s: %s cut short by a reset: %s\n",
               from.connection != 0 ? ("conn " + std::to_string(from.connection)).c_str()
                                    : from.peer.c_str(),
               counted(m.bytes.size(), "byte").c_str(), escape(m.bytes).c_str());
    return true;
}

void MessageLog::find(FindingKind kind, const std::string &station, std::uint32_t first,
                      std::uint32_t last, unsigned long long count) {
    Finding f;
    f.kind = kind;
    f.station = station;
    f.has_ticks = kind != FindingKind::missing_station;
    f.first_tick = first;
    f.last_tick = last;
    f.count = count;
    findings_.add(std::move(f));
}

// Prints the message's line and places it in its station's stream; returns what the CSV row's
// check column says of it, and its tick when a plan knows it.
std::string MessageLog::place(const std::string &where, const Source &from, const Verdict &v,
                              const Message &m, std::string *tick) {
    std::string check =
        matcher_ ? place_by_tick(where, from, v, m, tick) : place_by_sequence(where, from, v);
    if (!quiet_)
        report("[%s%s%s] %s  (%s%s%s, seq %d%s, %llu bytes)\n", where.c_str(),
               from.connection != 0 ? " " : "", from.connection != 0 ? from.peer.c_str() : "",
               escape(std::string_view(m.bytes).substr(0, v.text_length)).c_str(),
               layout_name(v.layout), from.stored ? "" : ", ", from.stored ? "" : mode_name(v.mode),
               v.sequence, tick->empty() ? "" : (", tick " + *tick).c_str(),
               static_cast<unsigned long long>(m.bytes.size()));
    return check;
}

std::string MessageLog::place_by_tick(const std::string &where, const Source &from,
                                      const Verdict &v, const Message &m, std::string *tick) {
    const Matched t =
        matcher_->match(v, std::string_view(m.bytes).substr(0, v.text_length), from.arrived_ms);
    if (t.arrival != Arrival::unknown && t.arrival != Arrival::held)
        *tick = std::to_string(t.tick);
    return found(where, v.station, t);
}

std::string MessageLog::found(const std::string &where, const std::string &raw_station,
                              const Matched &t) {
    const std::string station = escape(raw_station);
    const char *on = where.empty() ? "" : " on ";
    totals_.lost += t.lost;
    std::string check;
    if (t.lost > 0) {
        find(FindingKind::lost, raw_station, t.tick - t.lost, t.tick - 1, t.lost);
        check = "after " + std::to_string(t.lost) + " lost";
        if (shown_when_quiet(&shown_lost_, "losses"))
            report("LOST%s%s: station %s ticks %u-%u (%u lost)\n", on, where.c_str(),
                   station.c_str(), t.tick - t.lost, t.tick - 1, t.lost);
    }
    switch (t.arrival) {
    case Arrival::duplicate:
        ++totals_.duplicated;
        find(FindingKind::duplicated, raw_station, t.tick, t.tick, 1);
        if (shown_when_quiet(&shown_duplicates_, "duplicates"))
            report("DUPLICATE%s%s: station %s tick %u again%s\n", on, where.c_str(),
                   station.c_str(), t.tick,
                   t.previous == t.tick ? ""
                                        : (", after tick " + std::to_string(t.previous)).c_str());
        return "duplicate";
    case Arrival::restart:
        ++totals_.restarts;
        if (shown_when_quiet(&shown_restarts_, "restarts"))
            report("RESTART%s%s: station %s tick 0 after tick %u: a new run\n", on, where.c_str(),
                   station.c_str(), t.previous);
        return "restart";
    case Arrival::altered:
        return found_altered(where, raw_station, t, check);
    case Arrival::unknown:
        if (t.first && shown_when_quiet(&shown_unknown_, "unknown stations"))
            report("UNKNOWN STATION%s%s: %s is not in the plan\n", on, where.c_str(),
                   station.c_str());
        return "unknown station";
    case Arrival::missing:
        find(FindingKind::missing_station, raw_station, 0, 0, 1);
        if (shown_when_quiet(&shown_missing_, "missing stations"))
            report("MISSING STATION: %s is planned, and no message of it is here\n",
                   station.c_str());
        return check;
    case Arrival::held:
        return "held";
    default:
        return check;
    }
}

std::string MessageLog::found_altered(const std::string &where, const std::string &raw_station,
                                      const Matched &t, const std::string &check) {
    ++totals_.altered;
    Finding f;
    f.kind = FindingKind::altered;
    f.station = raw_station;
    f.has_ticks = true;
    f.first_tick = f.last_tick = t.tick;
    f.field = t.field;
    f.expected = t.expected;
    f.got = t.got;
    findings_.add(std::move(f));
    if (shown_when_quiet(&shown_altered_, "altered messages"))
        report("ALTERED%s%s: station %s tick %u: %s expected %s, got %s\n",
               where.empty() ? "" : " on ", where.c_str(), escape(raw_station).c_str(), t.tick,
               t.field.c_str(), escape(t.expected).c_str(), escape(t.got).c_str());
    return (check.empty() ? "" : check + "; ") + "altered: " + t.field + " expected " + t.expected +
           ", got " + t.got;
}

void MessageLog::finish(const std::string &where) {
    if (!matcher_)
        return;
    matcher_->finish(
        [&](const std::string &station, const Matched &m) { found(where, station, m); });
    matcher_->for_each([&](const StationFigures &f) {
        if (!f.planned) {
            Finding u;
            u.kind = FindingKind::unknown_station;
            u.station = f.name;
            u.count = f.messages;
            findings_.add(std::move(u));
        }
    });
    const unsigned long long behind = matcher_->placed_behind();
    if (!any_order_ && !where.empty() && behind >= 3 && behind * 20 >= totals_.messages)
        report("%s holds %s behind their station's last tick: its rows look shuffled (a store "
               "keeps no arrival order); --any-order places them by tick, whatever their order\n",
               where.c_str(), counted(behind, "message").c_str());
}

PlacedTicks MessageLog::placed_ticks() const {
    PlacedTicks placed;
    for_each_station([&](const StationFigures &f) {
        if (f.planned && f.started)
            placed[f.name] = Extent{f.first_tick, f.last_tick};
    });
    return placed;
}

std::string MessageLog::place_by_sequence(const std::string &where, const Source &from,
                                          const Verdict &v) {
    const Observation o = sequences_.observe(v.station, v.sequence, from.new_connection);
    if (o.duplicate) {
        ++totals_.duplicated;
        return "duplicate";
    }
    if (o.restart) {
        ++totals_.restarts;
        return "restart";
    }
    if (!o.gap)
        return std::string();
    ++totals_.gaps;
    totals_.lost += static_cast<unsigned long long>(o.gap->lost);
    if (shown_when_quiet(&shown_gaps_, "gaps"))
        report("GAP on %s: station %s expected %d, got %d (%d lost)\n", where.c_str(),
               escape(v.station).c_str(), o.gap->expected, o.gap->got, o.gap->lost);
    return "after " + std::to_string(o.gap->lost) + " lost";
}

std::string MessageLog::impostor(const std::string &where, const Source &from, const Verdict &v) {
    ++totals_.impostors;
    Finding f;
    f.kind = FindingKind::impostor;
    f.station = v.station;
    f.certificate = from.names->empty() ? std::string() : from.names->front();
    if (shown_when_quiet(&shown_impostors_, "impostors"))
        report("IMPOSTOR on %s: station %s from a client whose certificate names %s\n",
               where.c_str(), escape(f.station).c_str(),
               f.certificate.empty() ? "nothing" : escape(f.certificate).c_str());
    findings_.add(std::move(f));
    return "impostor";
}

unsigned long long MessageLog::unknown_stations() const {
    return matcher_ ? matcher_->unknown_stations() : 0;
}

unsigned long long MessageLog::missing_stations() const {
    return matcher_ ? matcher_->missing_stations() : 0;
}

unsigned long long MessageLog::unknown_unnamed_messages() const {
    return matcher_ ? matcher_->unknown_unnamed_messages() : 0;
}

void MessageLog::for_each_station(const std::function<void(const StationFigures &)> &visit) const {
    if (matcher_)
        matcher_->for_each(visit);
    else
        sequences_.for_each(visit);
}

std::string MessageLog::figures_text() const {
    const Totals &t = totals_;
    std::string text =
        counted(t.messages, "message") + ", " + std::to_string(t.malformed) + " malformed, ";
    if (!matcher_)
        text += counted(t.gaps, "gap") + ", " + std::to_string(t.lost) +
                " lost (without a plan, loss is counted modulo 16 and may be more)";
    else
        text += std::to_string(t.lost) + " lost, " + std::to_string(t.duplicated) +
                " duplicated, " + std::to_string(t.altered) + " altered, " +
                counted(t.restarts, "restart") + ", " +
                counted(unknown_stations(), "unknown station") + ", " +
                counted(missing_stations(), "missing station") + written_text();
    if (identities_)
        text += ", " + counted(t.impostors, "impostor");
    return text + tls_text();
}

// With TLS: the handshakes and the failures by reason.
std::string MessageLog::tls_text() const {
    const TlsTotals &t = totals_.tls;
    if (!t.on)
        return std::string();
    std::string failures;
    unsigned long long failed = 0;
    for (std::size_t kind = 0; kind < t.failures.size(); ++kind) {
        if (t.failures[kind] == 0)
            continue;
        failures += (failed == 0 ? " (" : ", ") + std::to_string(t.failures[kind]) + " " +
                    tls::failure_name(static_cast<tls::Failure>(kind));
        failed += t.failures[kind];
    }
    return "; TLS: " + counted(t.handshakes, "full handshake") + ", " + std::to_string(t.resumed) +
           " resumed, " + counted(failed, "failure") + (failed == 0 ? "" : failures + ")");
}

// With fleets' reports: what they wrote beside what is here.
std::string MessageLog::written_text() const {
    if (extents_ == nullptr || !extents_->from_reports)
        return std::string();
    return "; the fleet wrote " + counted(extents_->written, "message") + " (" +
           std::to_string(extents_->unconfirmed) + " unconfirmed), " +
           std::to_string(totals_.messages) + " are here";
}

bool MessageLog::clean() const {
    return totals_.lost == 0 && totals_.altered == 0 && totals_.malformed == 0 &&
           missing_stations() == 0 && totals_.impostors == 0;
}

} // namespace vandry::receiver

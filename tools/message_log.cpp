#include "message_log.h"

#include "console.h"

namespace vandry::check {

namespace {

// The first lines of each kind that --quiet still shows.
constexpr unsigned long long LINES_WHEN_QUIET = 10;

} // namespace

std::string counted(unsigned long long n, const char *thing) {
    return std::to_string(n) + " " + thing + (n == 1 ? "" : "s");
}

MessageLog::MessageLog(bool quiet, CsvFile *csv, const Plan *plan)
    : quiet_(quiet), csv_(csv), matcher_(plan != nullptr ? make_plan_matcher(*plan) : nullptr) {}

bool MessageLog::shown_when_quiet(unsigned long long *count, const char *what) const {
    ++*count;
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
            report("MALFORMED on %s: %s: %s\n", where.c_str(), v.error.c_str(),
                   escape(m.bytes).c_str());
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
    if (shown_when_quiet(&shown_incomplete_, "incomplete fragments"))
        report("INCOMPLETE on %s: %s cut short by a reset: %s\n",
               from.connection != 0 ? ("conn " + std::to_string(from.connection)).c_str()
                                    : from.peer.c_str(),
               counted(m.bytes.size(), "byte").c_str(), escape(m.bytes).c_str());
    return true;
}

void MessageLog::note(Event::Kind kind, const std::string &station, std::uint32_t first,
                      std::uint32_t last) {
    if (keep_events_)
        events_.push_back({kind, station, first, last});
}

// Prints the message's line and places it in its station's stream; returns what the CSV row's
// check column says of it, and its tick when a plan knows it.
std::string MessageLog::place(const std::string &where, const Source &from, const Verdict &v,
                              const Message &m, std::string *tick) {
    std::string check =
        matcher_ ? place_by_tick(where, v, m, tick) : place_by_sequence(where, from, v);
    if (!quiet_)
        report("[%s%s%s] %s  (%s, %s, seq %d%s, %llu bytes)\n", where.c_str(),
               from.connection != 0 ? " " : "", from.connection != 0 ? from.peer.c_str() : "",
               escape(std::string_view(m.bytes).substr(0, v.text_length)).c_str(),
               layout_name(v.layout), mode_name(v.mode), v.sequence,
               tick->empty() ? "" : (", tick " + *tick).c_str(),
               static_cast<unsigned long long>(m.bytes.size()));
    return check;
}

std::string MessageLog::place_by_tick(const std::string &where, const Verdict &v, const Message &m,
                                      std::string *tick) {
    const Matched t = matcher_->match(v, std::string_view(m.bytes).substr(0, v.text_length));
    const std::string station = escape(v.station);
    totals_.lost += t.lost;
    if (t.arrival != Arrival::unknown)
        *tick = std::to_string(t.tick);
    std::string check;
    if (t.lost > 0) {
        note(Event::Kind::lost, v.station, t.tick - t.lost, t.tick - 1);
        check = "after " + std::to_string(t.lost) + " lost";
        if (shown_when_quiet(&shown_lost_, "losses"))
            report("LOST on %s: station %s ticks %u-%u (%u lost)\n", where.c_str(), station.c_str(),
                   t.tick - t.lost, t.tick - 1, t.lost);
    }
    switch (t.arrival) {
    case Arrival::duplicate:
        ++totals_.duplicated;
        note(Event::Kind::duplicated, v.station, t.tick, t.tick);
        if (shown_when_quiet(&shown_duplicates_, "duplicates"))
            report("DUPLICATE on %s: station %s tick %u again, after tick %u\n", where.c_str(),
                   station.c_str(), t.tick, t.previous);
        return "duplicate";
    case Arrival::restart:
        ++totals_.restarts;
        if (shown_when_quiet(&shown_restarts_, "restarts"))
            report("RESTART on %s: station %s tick 0 after tick %u: a new run\n", where.c_str(),
                   station.c_str(), t.previous);
        return "restart";
    case Arrival::altered:
        ++totals_.altered;
        note(Event::Kind::altered, v.station, t.tick, t.tick);
        if (shown_when_quiet(&shown_altered_, "altered messages"))
            report("ALTERED on %s: station %s tick %u: %s expected %s, got %s\n", where.c_str(),
                   station.c_str(), t.tick, t.field.c_str(), escape(t.expected).c_str(),
                   escape(t.got).c_str());
        return (check.empty() ? "" : check + "; ") + "altered: " + t.field + " expected " +
               t.expected + ", got " + t.got;
    case Arrival::unknown:
        if (t.first && shown_when_quiet(&shown_unknown_, "unknown stations"))
            report("UNKNOWN STATION on %s: %s is not in the plan\n", where.c_str(),
                   station.c_str());
        return "unknown station";
    default:
        return check;
    }
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

unsigned long long MessageLog::unknown_stations() const {
    return matcher_ ? matcher_->unknown_stations() : 0;
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
        return text + counted(t.gaps, "gap") + ", " + std::to_string(t.lost) +
               " lost (without a plan, loss is counted modulo 16 and may be more)";
    return text + std::to_string(t.lost) + " lost, " + std::to_string(t.duplicated) +
           " duplicated, " + std::to_string(t.altered) + " altered, " +
           counted(t.restarts, "restart") + ", " + counted(unknown_stations(), "unknown station");
}

bool MessageLog::clean() const {
    return totals_.lost == 0 && totals_.altered == 0 && totals_.malformed == 0;
}

} // namespace vandry::check

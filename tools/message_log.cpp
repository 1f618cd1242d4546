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

bool MessageLog::shown_when_quiet(unsigned long long count, const char *what) const {
    if (quiet_ && count == LINES_WHEN_QUIET + 1)
        report("further %s are counted only\n", what);
    return !quiet_ || count <= LINES_WHEN_QUIET;
}

void MessageLog::write_row(unsigned long long connection, const Verdict &v, const Message &m,
                           const std::string &time) {
    if (csv_ == nullptr || !csv_->ok())
        return;
    if (!csv_->write(csv_row(time, connection != 0 ? std::to_string(connection) : "", v, m.bytes)))
        std::fprintf(stderr, "vandry-receiver: cannot write the CSV file: no more rows\n");
}

bool MessageLog::handle(unsigned long long connection, const std::string &peer, const Message &m,
                        const std::string &time) {
    const Verdict v = check_message(m.bytes, m.mode);
    ++totals_.messages;
    write_row(connection, v, m, time);
    // "conn N" for a connection, the file's name for a recording.
    const std::string where = connection != 0 ? "conn " + std::to_string(connection) : peer;
    if (!v.ok) {
        if (shown_when_quiet(++totals_.malformed, "malformed messages"))
            report("MALFORMED on %s: %s: %s\n", where.c_str(), v.error.c_str(),
                   escape(m.bytes).c_str());
        return false;
    }
    if (!quiet_)
        report("[%s%s%s] %s  (%s, %s, seq %d, %llu bytes)\n", where.c_str(),
               connection != 0 ? " " : "", connection != 0 ? peer.c_str() : "",
               escape(std::string_view(m.bytes).substr(0, v.text_length)).c_str(),
               layout_name(v.layout), mode_name(v.mode), v.sequence,
               static_cast<unsigned long long>(m.bytes.size()));
    if (const std::optional<Gap> gap = sequences_.observe(v.station, v.sequence)) {
        totals_.lost += static_cast<unsigned long long>(gap->lost);
        if (shown_when_quiet(++totals_.gaps, "gaps"))
            report("GAP on %s: station %s expected %d, got %d (%d lost)\n", where.c_str(),
                   escape(v.station).c_str(), gap->expected, gap->got, gap->lost);
    }
    return true;
}

} // namespace vandry::check

#include "message_log.h"

#include "console.h"
#include "message_check.h"
#include "record_csv.h"

namespace vandry::check {

namespace {

// With --quiet, the first malformed messages are still shown, so that a user sees what is
// wrong; the rest are counted only.
constexpr unsigned long long MALFORMED_LINES_WHEN_QUIET = 10;

} // namespace

void MessageLog::write_row(unsigned long long connection, const Verdict &v, const Message &m,
                           const std::string &time) {
    if (csv_ == nullptr || !csv_ok_)
        return;
    const std::string row =
        csv_row(time, connection != 0 ? std::to_string(connection) : "", v, m.bytes);
    csv_ok_ = std::fwrite(row.data(), 1, row.size(), csv_) == row.size() && std::fflush(csv_) == 0;
    if (!csv_ok_)
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
        ++totals_.malformed;
        if (!quiet_ || totals_.malformed <= MALFORMED_LINES_WHEN_QUIET)
            report("MALFORMED on %s: %s: %s\n", where.c_str(), v.error.c_str(),
                   escape(m.bytes).c_str());
        if (quiet_ && totals_.malformed == MALFORMED_LINES_WHEN_QUIET)
            report("further malformed messages are counted only\n");
        return false;
    }
    if (!quiet_)
        report("[%s%s%s] %s  (%s, %s, seq %d, %llu bytes)\n", where.c_str(),
               connection != 0 ? " " : "", connection != 0 ? peer.c_str() : "",
               escape(std::string_view(m.bytes).substr(0, v.text_length)).c_str(),
               layout_name(v.layout), mode_name(v.mode), v.sequence,
               static_cast<unsigned long long>(m.bytes.size()));
    if (const std::optional<Gap> gap = sequences_.observe(v.station, v.sequence)) {
        ++totals_.gaps;
        totals_.lost += static_cast<unsigned long long>(gap->lost);
        report("GAP on %s: station %s expected %d, got %d (%d lost)\n", where.c_str(),
               v.station.c_str(), gap->expected, gap->got, gap->lost);
    }
    return true;
}

} // namespace vandry::check

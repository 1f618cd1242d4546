#include "core/record.h"

#include "core/fixed_point.h"

#include <cstring>

namespace vandry {

unsigned nmea_checksum(const char *text, std::size_t length) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < length; ++i)
        sum ^= static_cast<unsigned char>(text[i]);
    return sum;
}

namespace {

char *put_text(char *out, const char *text) {
    const std::size_t length = std::strlen(text);
    std::memcpy(out, text, length + 1);
    return out + length;
}

char *put_fixed(char *p, float value, int width, int precision) {
    *p++ = ',';
    return format_fixed(p, value, width, precision);
}

// The six fields that all three records begin with.
char *put_six_fields(char *p, const Telemetry &tm) {
    p = format_fixed(p, tm.distance, 4, 3);
    p = put_fixed(p, tm.level, 4, 3);
    p = put_fixed(p, tm.d1, 2, 1);
    p = put_fixed(p, tm.volume, 5, 1);
    p = put_fixed(p, tm.temp1, 3, 1);
    return put_fixed(p, tm.temp2, 3, 1);
}

constexpr char HEX_DIGITS[] = "0123456789ABCDEF";

// The end of the GPS record after its first nine fields: a GLL sentence with a zero-filled
// longitude and the checksum computed over everything between '$' and '*', then LF.
char *put_gll_sentence(char *p, const Telemetry &tm, const Tank &tank) {
    const Position at = drift_position(tm.drift_step);
    *p++ = ',';
    char *const sentence = p;
    p = put_text(p, "$GPGLL,");
    p = format_fixed(p, at.latitude, 9, 4);
    *p++ = ',';
    *p++ = tank.latitude_hemisphere;
    *p++ = ',';
    p = format_fixed(p, at.longitude, 10, 4, '0');
    *p++ = ',';
    *p++ = tank.longitude_hemisphere;
    p = put_text(p, ",081359.129,A,A");
    const unsigned checksum =
        nmea_checksum(sentence + 1, static_cast<std::size_t>(p - sentence - 1));
    *p++ = '*';
    *p++ = HEX_DIGITS[(checksum >> 4) & 0xf];
    *p++ = HEX_DIGITS[checksum & 0xf];
    *p++ = '\n';
    *p = '\0';
    return p;
}

} // namespace

char *write_record(char *out, Layout layout, const Telemetry &tm, const Tank &tank) {
    char *p = put_six_fields(out, tm);
    if (layout != Layout::short_record) {
        p = put_fixed(p, tm.vin, 4, 1);
        p = put_fixed(p, tm.rssi, 4, 1);
    }
    *p++ = ',';
    p = format_int(p, tm.sequence);
    if (layout != Layout::gps_record)
        return put_text(p, " \n");
    return put_gll_sentence(p, tm, tank);
}

} // namespace vandry

#include "simulation.h"

#include "platform.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

int randgen(int size) {
    return std::rand() % size;
}

namespace {

constexpr std::uint32_t POW10[] = {1,      10,      100,      1000,      10000,
                                   100000, 1000000, 10000000, 100000000, 1000000000};
constexpr int MAX_PRECISION = 9;
constexpr int MAX_WIDTH = FIXED_MAX - 4;

// Writes the decimal digits of v (no terminator); returns the end.
char *put_digits(char *out, std::uint64_t v) {
    char tmp[20];
    int n = 0;
    do {
        tmp[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n > 0)
        *out++ = tmp[--n];
    return out;
}

// Decimal digits of a float that is a whole number of any size (up to about 3.4e38).
char *put_whole_float_digits(char *out, float a) {
    if (a < 18446744073709551616.0f)
        return put_digits(out, static_cast<std::uint64_t>(a));
    int exp = 0;
    const float mant = std::frexp(a, &exp); // a = mant * 2^exp, 0.5 <= mant < 1
    auto m = static_cast<std::uint32_t>(std::ldexp(mant, 24));
    exp -= 24;
    // Little-endian decimal digits, doubled exp times.
    unsigned char digits[48] = {};
    int count = 0;
    for (; m != 0; m /= 10)
        digits[count++] = static_cast<unsigned char>(m % 10);
    for (; exp > 0; --exp) {
        int carry = 0;
        for (int i = 0; i < count; ++i) {
            const int d = digits[i] * 2 + carry;
            digits[i] = static_cast<unsigned char>(d % 10);
            carry = d / 10;
        }
        if (carry != 0)
            digits[count++] = static_cast<unsigned char>(carry);
    }
    while (count > 0)
        *out++ = static_cast<char>('0' + digits[--count]);
    return out;
}

// Left-pads the text body[0..len) to width with fill, keeping a leading sign in front of zeros.
char *pad(char *out, const char *body, int len, int width, char fill) {
    int pad_count = width > len ? width - len : 0;
    if (fill == '0' && len > 0 && body[0] == '-') {
        *out++ = *body++;
        --len;
    }
    while (pad_count-- > 0)
        *out++ = fill;
    std::memcpy(out, body, static_cast<size_t>(len));
    out += len;
    *out = '\0';
    return out;
}

} // namespace

char *format_fixed(char *out, float value, int width, int precision, char fill) {
    precision = precision < 0 ? 0 : (precision > MAX_PRECISION ? MAX_PRECISION : precision);
    width = width < 0 ? 0 : (width > MAX_WIDTH ? MAX_WIDTH : width);
    char body[FIXED_MAX];
    char *p = body;
    if (std::signbit(value))
        *p++ = '-';
    const float a = std::fabs(value);
    if (std::isnan(a) || std::isinf(a)) {
        std::memcpy(p, std::isnan(a) ? "nan" : "inf", 3);
        return pad(out, body, static_cast<int>(p + 3 - body), width, ' ');
    }
    std::uint32_t frac = 0;
    if (a < 16777216.0f) {
        // A float has 24 significant bits and 10^p at most 5^9 * 2^9 (21 + 9 bits), so the
        // product is exact in double and so is the split into whole part and remainder.
        const double scaled = static_cast<double>(a) * POW10[precision];
        const double floor_scaled = std::floor(scaled);
        auto n = static_cast<std::uint64_t>(floor_scaled);
        if (scaled - floor_scaled >= 0.5)
            ++n;
        frac = static_cast<std::uint32_t>(n % POW10[precision]);
        p = put_digits(p, n / POW10[precision]);
    } else {
        // Floats from 2^24 up are whole numbers: the fraction digits are all zero.
        p = put_whole_float_digits(p, a);
    }
    if (precision > 0) {
        *p++ = '.';
        for (int i = precision - 1; i >= 0; --i) {
            p[i] = static_cast<char>('0' + frac % 10);
            frac /= 10;
        }
        p += precision;
    }
    return pad(out, body, static_cast<int>(p - body), width, fill);
}

char *format_int(char *out, int value) {
    auto magnitude = static_cast<std::uint64_t>(value < 0 ? -static_cast<std::int64_t>(value)
                                                          : static_cast<std::int64_t>(value));
    if (value < 0)
        *out++ = '-';
    out = put_digits(out, magnitude);
    *out = '\0';
    return out;
}

unsigned nmea_checksum(const char *text, size_t length) {
    unsigned sum = 0;
    for (size_t i = 0; i < length; ++i)
        sum ^= static_cast<unsigned char>(text[i]);
    return sum;
}

namespace {

char *put_text(char *out, const char *text) {
    const size_t len = std::strlen(text);
    std::memcpy(out, text, len + 1);
    return out + len;
}

} // namespace

int format_tank_report(char *out, float tank_height, float emp, float min_level, float max_level,
                       int n_fill, int n_fall, int n_high, int n_low) {
    char *p = put_text(out, "tank_height=");
    p = format_fixed(p, tank_height, 4, 2);
    p = put_text(p, "   emp=");
    p = format_fixed(p, emp, 4, 2);
    p = put_text(p, "  min_level = ");
    p = format_fixed(p, min_level, 4, 2);
    p = put_text(p, "  max_level=");
    p = format_fixed(p, max_level, 4, 2);
    p = put_text(p, "  \n\nn_fill=");
    p = format_int(p, n_fill);
    p = put_text(p, "   n_fall = ");
    p = format_int(p, n_fall);
    p = put_text(p, "  n_high=");
    p = format_int(p, n_high);
    p = put_text(p, "  n_low=");
    p = format_int(p, n_low);
    p = put_text(p, "   \n\n");
    return static_cast<int>(p - out);
}

void tank_from_draws(const int draws[TANK_DRAWS], float *tank_height, float *emp, float *min_level,
                     float *max_level, int *n_fill, int *n_high, int *n_fall, int *n_low,
                     int *n_tot) {
    *tank_height = static_cast<float>(0.5 + 0.45 * draws[0]);
    *emp = static_cast<float>((*tank_height + 0.15) + 0.15 * (draws[1] / 10.0));
    *min_level = static_cast<float>(0.2 * (draws[2] / 10.0));
    *max_level = static_cast<float>(*tank_height - 0.3 * (draws[3] / 10.0));
    *n_fill = draws[4] + 3;
    *n_fall = draws[5] + 4;
    *n_high = draws[6] + 1;
    *n_low = draws[7] + 1;
    *n_tot = *n_fill + *n_high + *n_fall + *n_low;
}

namespace {

// The eight draws in exactly this order: four heights, then fill, fall, high, low.
void draw_tank_into(float *tank_height, float *emp, float *min_level, float *max_level, int *n_fill,
                    int *n_high, int *n_fall, int *n_low, int *n_tot, char *latD, char *lonD) {
    int draws[TANK_DRAWS];
    for (int i = 0; i < TANK_DRAWS; ++i)
        draws[i] = randgen(TANK_DRAW_SIZES[i]);
    tank_from_draws(draws, tank_height, emp, min_level, max_level, n_fill, n_high, n_fall, n_low,
                    n_tot);
    std::strcpy(latD, "N");
    std::strcpy(lonD, "E");
}

void print_tank_report(FILE *console, float tank_height, float emp, float min_level,
                       float max_level, int n_fill, int n_fall, int n_high, int n_low) {
    char lines[256];
    format_tank_report(lines, tank_height, emp, min_level, max_level, n_fill, n_fall, n_high,
                       n_low);
    report_to(console, "%s", lines);
}

} // namespace

void get_tank_parms(float *tank_height, float *emp, float *min_level, float *max_level, int *n_fill,
                    int *n_high, int *n_fall, int *n_low, int *n_tot, char *latD, char *lonD) {
    draw_tank_into(tank_height, emp, min_level, max_level, n_fill, n_high, n_fall, n_low, n_tot,
                   latD, lonD);
    print_tank_report(stdout, *tank_height, *emp, *min_level, *max_level, *n_fill, *n_fall, *n_high,
                      *n_low);
}

void draw_tank_parms(tank_parms *tank, FILE *console) {
    draw_tank_into(&tank->tank_height, &tank->emp, &tank->min_level, &tank->max_level,
                   &tank->n_fill, &tank->n_high, &tank->n_fall, &tank->n_low, &tank->n_tot,
                   tank->lat, tank->lon);
    print_tank_report(console, tank->tank_height, tank->emp, tank->min_level, tank->max_level,
                      tank->n_fill, tank->n_fall, tank->n_high, tank->n_low);
}

void gps_position(int gps_indx, float *lat, int *latint, float *lon, int *lonint) {
    // Stores 2 and 4 pass through float on purpose: the longitude visibly shifts at some steps.
    *lat = static_cast<float>(0.001 * gps_indx + 1301.4718);
    *lat = static_cast<float>(100000.0 * *lat);
    *latint = static_cast<int>(std::roundf(*lat));
    *lat = static_cast<float>(*latint / 100000.0);

    *lon = static_cast<float>(0.002 * gps_indx + 7740.3722);
    *lon = static_cast<float>(100000.0 * *lon);
    *lonint = static_cast<int>(std::roundf(*lon));
    *lon = static_cast<float>(*lonint / 100000.0);
}

namespace {

// The six fields that all three records begin with.
char *put_six_fields(char *p, const telemetry *tm) {
    p = format_fixed(p, tm->distance, 4, 3);
    *p++ = ',';
    p = format_fixed(p, tm->level, 4, 3);
    *p++ = ',';
    p = format_fixed(p, tm->d1, 2, 1);
    *p++ = ',';
    p = format_fixed(p, tm->volume, 5, 1);
    *p++ = ',';
    p = format_fixed(p, tm->temp1, 3, 1);
    *p++ = ',';
    return format_fixed(p, tm->temp2, 3, 1);
}

// ",vin,rssi": the two fields that the long and GPS records add.
char *put_supply_and_signal(char *p, const telemetry *tm) {
    *p++ = ',';
    p = format_fixed(p, tm->vin, 4, 1);
    *p++ = ',';
    return format_fixed(p, tm->rssi, 4, 1);
}

char *put_sequence(char *p, const telemetry *tm) {
    *p++ = ',';
    return format_int(p, tm->sms_status);
}

constexpr char HEX_DIGITS[] = "0123456789ABCDEF";

} // namespace

void unit_tick(tick_draws draws, const tank_parms *tank, telemetry *tm) {
    const float pi = 3.1415927410125732421875f;
    const float emp = tank->emp;
    const float min_level = tank->min_level;
    const float max_level = tank->max_level;
    const int n_fill = tank->n_fill;
    const int n_high = tank->n_high;
    const int n_fall = tank->n_fall;
    const int n_tot = tank->n_tot;

    int run_indx = tm->run_indx + 1;
    if (run_indx > n_tot)
        run_indx = 1;

    // The level profile: fill, high, fall, low. Intermediates stay double; lvl is a float store.
    const double span = static_cast<double>(max_level) - static_cast<double>(min_level);
    float lvl = min_level;
    float t = 0.0f;
    if (run_indx <= n_fill) {
        t = static_cast<float>(static_cast<double>(run_indx - 1) / (n_fill - 1));
        const double s = std::sin((pi / 2.0) * t);
        lvl = static_cast<float>(min_level + (s * s) * span);
    } else if (run_indx <= n_fill + n_high) {
        lvl = max_level;
    } else if (run_indx <= n_fill + n_high + n_fall) {
        t = static_cast<float>(static_cast<double>(run_indx - n_fill - n_high - 1) / (n_fall - 1));
        const double s = std::sin((pi / 2.0) * t);
        lvl = static_cast<float>(max_level - (s * s) * span);
    }

    const double profile = lvl;
    lvl = static_cast<float>(profile + 0.02 * ((draws.r1 / 50.0) * profile));
    tm->level = lvl;
    tm->distance = static_cast<float>(static_cast<double>(emp) - lvl);

    const float q = std::sqrt(lvl); // float overload: the single-precision root
    tm->d1 = static_cast<float>(200.0f * (static_cast<double>(q) * lvl));
    tm->volume = static_cast<float>(4000.0 * lvl);

    t = static_cast<float>(static_cast<double>(run_indx - 1) / (n_tot - 1));
    const double s = std::sin(static_cast<double>(pi) * t);
    tm->temp1 = static_cast<float>(5.0 * s + 25.0);
    tm->temp2 = static_cast<float>(7.5 * s + 30.0);

    tm->vin = static_cast<float>(14.4 - 0.5 * (draws.r2 / 50.0));
    tm->rssi = static_cast<float>(25.0 * (draws.r3 / 50.0) + 2.0);

    int gps_indx = tm->gps_indx + 1;
    if (gps_indx > 20)
        gps_indx = 1;
    tm->run_indx = run_indx;
    tm->gps_indx = gps_indx;
}

namespace {

// The end of the GPS record after its first nine fields: a GLL sentence with a zero-filled
// longitude and the checksum computed over everything between '$' and '*', then LF.
char *put_gll_sentence(char *p, const telemetry *tm, const tank_parms *tank) {
    float lat = 0.0f;
    float lon = 0.0f;
    int latint = 0;
    int lonint = 0;
    gps_position(tm->gps_indx, &lat, &latint, &lon, &lonint);
    *p++ = ',';
    char *const sentence = p;
    p = put_text(p, "$GPGLL,");
    p = format_fixed(p, lat, 9, 4);
    *p++ = ',';
    p = put_text(p, tank->lat);
    *p++ = ',';
    p = format_fixed(p, lon, 10, 4, '0');
    *p++ = ',';
    p = put_text(p, tank->lon);
    p = put_text(p, ",081359.129,A,A");
    const unsigned checksum = nmea_checksum(sentence + 1, static_cast<size_t>(p - sentence - 1));
    *p++ = '*';
    *p++ = HEX_DIGITS[(checksum >> 4) & 0xf];
    *p++ = HEX_DIGITS[checksum & 0xf];
    *p++ = '\n';
    *p = '\0';
    return p;
}

} // namespace

char *write_record(char *out, int layout, const telemetry *tm, const tank_parms *tank) {
    char *p = put_six_fields(out, tm);
    if (layout != 1)
        p = put_supply_and_signal(p, tm);
    p = put_sequence(p, tm);
    if (layout == 1 || layout == 2)
        return put_text(p, " \n");
    return put_gll_sentence(p, tm, tank);
}

tick_draws randgen_tick_draws() {
    // Level noise, supply voltage, signal strength: always three draws, in this order.
    tick_draws draws{};
    draws.r1 = randgen(TICK_DRAW_SIZE);
    draws.r2 = randgen(TICK_DRAW_SIZE);
    draws.r3 = randgen(TICK_DRAW_SIZE);
    return draws;
}

void get_sms_data(int *run, int *gps, float tank_height, float emp, float min_level,
                  float max_level, int n_fill, int n_high, int n_fall, int n_low, int n_tot,
                  float *distance, float *level, float *d1, float *volume, float *temp1,
                  float *temp2, float *vin, float *rssi, const int *sms_status, char *midbufs,
                  char *midbufl, char *midbuflg, const char *latD, const char *lonD) {
    const tank_parms tank = {tank_height, emp,   min_level, max_level,       n_fill,         n_high,
                             n_fall,      n_low, n_tot,     {latD[0], '\0'}, {lonD[0], '\0'}};
    telemetry tm{};
    tm.sms_status = *sms_status;
    tm.run_indx = *run;
    tm.gps_indx = *gps;
    unit_tick(randgen_tick_draws(), &tank, &tm);

    *distance = tm.distance;
    *level = tm.level;
    *d1 = tm.d1;
    *volume = tm.volume;
    *temp1 = tm.temp1;
    *temp2 = tm.temp2;
    *vin = tm.vin;
    *rssi = tm.rssi;
    // The three records as write_record makes them, each sharing the previous one's head.
    char *p = put_six_fields(midbufs, &tm);
    const auto six_fields = static_cast<size_t>(p - midbufs);
    put_text(put_sequence(p, &tm), " \n");
    std::memcpy(midbufl, midbufs, six_fields);
    p = put_sequence(put_supply_and_signal(midbufl + six_fields, &tm), &tm);
    const auto nine_fields = static_cast<size_t>(p - midbufl);
    put_text(p, " \n");
    std::memcpy(midbuflg, midbufl, nine_fields);
    put_gll_sentence(midbuflg + nine_fields, &tm, &tank);
    *run = tm.run_indx;
    *gps = tm.gps_indx;
}

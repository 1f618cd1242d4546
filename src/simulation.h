// The simulated tank: its parameters, drawn once, and the per-tick samples and records.
#ifndef VANDRY_SIMULATION_H
#define VANDRY_SIMULATION_H

#include <cstddef>
#include <cstdio>

#define LARGE_SIZE 1000

// The tank, drawn once at start-up and only read afterwards.
struct tank_parms {
    float tank_height, emp, min_level, max_level;
    int n_fill, n_high, n_fall, n_low, n_tot;
    char lat[2], lon[2]; // hemisphere letters
};

// What runs on from tick to tick for the life of the process, across reconnections: the
// counters and the latest sample values. No record text: records are written on demand.
struct telemetry {
    int sms_status; // sequence number of the last assembled message, -1 before the first
    int run_indx, gps_indx;
    float distance, level, d1, volume, temp1, temp2, vin, rssi;
};

// The single unit's record buffers: every tick writes all three, one of them is sent.
struct record_buffers {
    char midbufs[LARGE_SIZE], midbufl[LARGE_SIZE], midbuflg[LARGE_SIZE];
};

// A tick's three draws, each 0 to TICK_DRAW_SIZE - 1: level noise, supply voltage, signal
// strength, drawn in this order.
struct tick_draws {
    int r1, r2, r3;
};
constexpr int TICK_DRAW_SIZE = 51;

// Random integer from 0 to size - 1: the remainder of exactly one std::rand() value.
int randgen(int size);

// The tank that the eight draws give, in draw order: height, sensor, low and high level (each
// 0 to 10), then fill (0 to 19), fall (0 to 39), high (0 to 99) and low (0 to 79) phase lengths.
constexpr int TANK_DRAWS = 8;
// The size of each of the eight tank draws, in draw order.
constexpr int TANK_DRAW_SIZES[TANK_DRAWS] = {11, 11, 11, 11, 20, 40, 100, 80};
void tank_from_draws(const int draws[TANK_DRAWS], float *tank_height, float *emp, float *min_level,
                     float *max_level, int *n_fill, int *n_high, int *n_fall, int *n_low,
                     int *n_tot);

// Draws the tank (eight draws, in a fixed order) and prints its two report lines.
void get_tank_parms(float *tank_height, float *emp, float *min_level, float *max_level, int *n_fill,
                    int *n_high, int *n_fall, int *n_low, int *n_tot, char *latD, char *lonD);

// get_tank_parms into a tank_parms, with the report lines on the given console.
void draw_tank_parms(tank_parms *tank, FILE *console);

// Writes the two report lines for a drawn tank into out (at least 200 bytes); returns the
// length. Widths are fixed, so the lines never come near that size.
int format_tank_report(char *out, float tank_height, float emp, float min_level, float max_level,
                       int n_fill, int n_fall, int n_high, int n_low);

// The tick's three draws from the process's random stream (randgen), in order.
tick_draws randgen_tick_draws();

// One tick with its draws given: advances run_indx and gps_indx and stores the eight sample
// values. sms_status is left alone.
void unit_tick(tick_draws draws, const tank_parms *tank, telemetry *tm);

// One record of the current tick: layout 1 short, 2 long, 3 GPS (the data type code's tens
// digit; any other value writes the GPS record), with its own line end and a terminating zero.
// Returns the pointer to that zero. For a tank that tank_from_draws gives, a record never
// exceeds MAX_RECORD_LENGTH bytes.
constexpr int MAX_RECORD_LENGTH = 100; // longest record, its line end included, without the zero
char *write_record(char *out, int layout, const telemetry *tm, const tank_parms *tank);

// One tick of the single unit: three randgen draws, then the tick, then all three records
// (short, long, GPS) into the caller's buffers.
void get_sms_data(int *run, int *gps, float tank_height, float emp, float min_level,
                  float max_level, int n_fill, int n_high, int n_fall, int n_low, int n_tot,
                  float *distance, float *level, float *d1, float *volume, float *temp1,
                  float *temp2, float *vin, float *rssi, const int *sms_status, char *midbufs,
                  char *midbufl, char *midbuflg, const char *latD, const char *lonD);

// The position of drift step gps_indx (1 to 20) after its four stores.
void gps_position(int gps_indx, float *lat, int *latint, float *lon, int *lonint);

// Fixed-point conversion of a float like "%<width>.<precision>f", but exact halves of the
// widened value round away from zero and the separator is always a full stop. fill is ' ' or
// '0'. Writes at most FIXED_MAX bytes plus a terminating zero; returns the pointer to that zero.
constexpr int FIXED_MAX = 64;
char *format_fixed(char *out, float value, int width, int precision, char fill = ' ');

// Decimal text of an int, terminated; returns the pointer to the terminating zero.
char *format_int(char *out, int value);

// NMEA 0183 checksum: exclusive-or of every byte of text[0..length).
unsigned nmea_checksum(const char *text, size_t length);

#endif

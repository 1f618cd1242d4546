// The simulated tank: its parameters, drawn once, and the per-tick samples and records.
#ifndef VANDRY_SIMULATION_H
#define VANDRY_SIMULATION_H

#include <cstddef>

#define LARGE_SIZE 1000

// The tank, drawn once at start-up and only read afterwards.
struct tank_parms {
    float tank_height, emp, min_level, max_level;
    int n_fill, n_high, n_fall, n_low, n_tot;
    char lat[2], lon[2]; // hemisphere letters
};

// What runs on from tick to tick for the life of the process, across reconnections.
struct telemetry {
    int sms_status; // sequence number of the last assembled message, -1 before the first
    int run_indx, gps_indx;
    float distance, level, d1, volume, temp1, temp2, vin, rssi;
    char midbufs[LARGE_SIZE], midbufl[LARGE_SIZE], midbuflg[LARGE_SIZE];
};

// Random integer from 0 to size - 1: the remainder of exactly one std::rand() value.
int randgen(int size);

// The tank that the eight draws give, in draw order: height, sensor, low and high level (each
// 0 to 10), then fill (0 to 19), fall (0 to 39), high (0 to 99) and low (0 to 79) phase lengths.
constexpr int TANK_DRAWS = 8;
void tank_from_draws(const int draws[TANK_DRAWS], float *tank_height, float *emp, float *min_level,
                     float *max_level, int *n_fill, int *n_high, int *n_fall, int *n_low,
                     int *n_tot);

// Draws the tank (eight draws, in a fixed order) and prints its two report lines.
void get_tank_parms(float *tank_height, float *emp, float *min_level, float *max_level, int *n_fill,
                    int *n_high, int *n_fall, int *n_low, int *n_tot, char *latD, char *lonD);

// Writes the two report lines for a drawn tank into out (at least 200 bytes); returns the
// length. Widths are fixed, so the lines never come near that size.
int format_tank_report(char *out, float tank_height, float emp, float min_level, float max_level,
                       int n_fill, int n_fall, int n_high, int n_low);

// One tick: advances the cycle position and drift step, makes exactly three draws, stores the
// eight sample values and writes the short, long and GPS records.
void get_sms_data(int *run, int *gps, float tank_height, float emp, float min_level,
                  float max_level, int n_fill, int n_high, int n_fall, int n_low, int n_tot,
                  float *distance, float *level, float *d1, float *volume, float *temp1,
                  float *temp2, float *vin, float *rssi, const int *sms_status, char *midbufs,
                  char *midbufl, char *midbuflg, const char *latD, const char *lonD);

// get_sms_data with the tick's three draws given: r1 (level noise), r2 (supply voltage) and
// r3 (signal strength), each 0 to 50.
void sms_tick(int r1, int r2, int r3, int *run, int *gps, float tank_height, float emp,
              float min_level, float max_level, int n_fill, int n_high, int n_fall, int n_low,
              int n_tot, float *distance, float *level, float *d1, float *volume, float *temp1,
              float *temp2, float *vin, float *rssi, const int *sms_status, char *midbufs,
              char *midbufl, char *midbuflg, const char *latD, const char *lonD);

// get_sms_data for the run-wide state: the tank's parameters, and the telemetry's counters,
// samples, sequence number and record buffers.
void next_tick(const tank_parms *tank, telemetry *tm);

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

// The current tuning: the scale table, the ratio of any scale degree, and
// the reference pitch of the 1/1.
//
// A scale is read in one of two ways. Periodic: entry 0 is 1/1 and the last
// entry is the period (2 for an octave); degrees beyond the period repeat the
// steps times whole powers of the period. Harmonic: entry 0 is 1 plus the
// harmonic step, degree d sounds 1 + d * step, negative degrees the
// reciprocals.
#pragma once

#include "tuning/scale_parser.h"

struct ScaleTable {
    double entries[SCALE_CAPACITY];  // ratios to the 1/1; entries at count and above are stale
    int count;                       // entries in use, 0..SCALE_MAX_COUNT (0 before the first scale)
    int scale_is_set;                // 1 once any scale has been installed
};

// The table as it stands.
const ScaleTable& scale_table();

// Installs a scale. An absent or empty text installs twelve-tone equal
// temperament and nothing more. Otherwise the text is parsed, every channel
// in use is marked as having an unknown bend, and channels are pre-tuned for
// the degrees 0, 1, -1, ..., 49, -49.
void set_scale(const char* text);

// The ratio to the 1/1 of a scale degree (any int) for the given entries and
// count; 1.0 when count <= 0.
double degree_ratio(const double* entries, int count, int degree);

// The ratio of a degree in the current scale.
double current_degree_ratio(int degree);

// Sets the frequency of the 1/1 in Hz; 0 (or NaN) derives it from middle C,
// 261.6255653005986 Hz.
void set_reference_pitch(double frequency_hz);

// The frequency of the 1/1 in Hz; 0.0 until set or derived.
double reference_pitch();

// The text of the last scale typed (kept across default installs).
const char* scale_text();

// Entries in use, the 1/1 included.
int scale_size();

int scale_is_set();

// Back to the state at program start (tests).
void tuning_reset();

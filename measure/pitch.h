// The pitch of a steady note, estimated from its sound: a pure function of a
// buffer of samples, so that synthetic signals of known pitch test it.
//
// The buffer is windowed (four-term Blackman-Harris, side lobes below
// -92 dB) and transformed by FFTW with zero padding; the harmonics of the
// note are found as spectral peaks, each peak's frequency is refined far
// below one bin by Newton steps on the windowed spectrum itself, and the
// harmonics are combined, each weighted by how precisely it fixes the
// fundamental. A pure tone and a sample with many partials are measured
// alike; a note whose fundamental is weak is found through its harmonics.
#pragma once

#include <cstddef>
#include <vector>

// What one estimate found.
struct PitchEstimate {
    double frequency_hz;  // the fundamental, Hz; NaN when no note was found
    double level_db;      // RMS level of the buffer, dB re full scale (a full-scale sine is -3 dB)
    int harmonics;        // harmonics combined, 0 when none was found
};

// Largest number of harmonics combined.
constexpr int PITCH_MAX_HARMONICS = 16;

// The fundamental of the note in samples[0 .. count) (sample_rate Hz), looked
// for within search_cents of guess_hz. count of at least 1024 samples; the
// longer the buffer, the finer the estimate. NaN (with harmonics 0) when the
// buffer is too short, silent, or holds no peak in that range.
PitchEstimate estimate_pitch(const float* samples, size_t count, double sample_rate, double guess_hz,
                             double search_cents);

// How far, in cents, the spectrum of samples lies above that of reference
// (both sample_rate Hz, any lengths of at least 1024): the shift, within
// +-max_shift_cents, that best lays the one spectrum over the other on a
// logarithmic frequency scale, to within a few cents. It finds a bent note
// however far the bend took it, which the narrow search above cannot; refine
// the result with estimate_pitch. NaN when either is silent.
double estimate_shift_cents(const float* reference, size_t reference_count, const float* samples, size_t count,
                            double sample_rate, double max_shift_cents);

// The four-term Blackman-Harris window of count (>= 2) points: side lobes
// below -92 dB.
std::vector<double> blackman_harris_window(size_t count);

// RMS level of samples in dB re full scale; -infinity for silence.
double level_db(const float* samples, size_t count);

// The interval from reference_hz up to hz, in cents.
double cents_between_hz(double reference_hz, double hz);

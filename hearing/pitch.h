// What --measure needs besides the pitch estimator (pitch/harmonic_pitch.h):
// how the estimator is asked, the shift between two spectra however far a
// note was bent, a buffer's level and the interval between two frequencies.
// Pure functions of buffers of samples, so that synthetic signals test them.
#pragma once

#include "pitch/harmonic_pitch.h"

#include <cstddef>

// A note's pitch is weighed from up to this many of its harmonics, so that
// one whose fundamental is weak is found through the others.
constexpr int MEASURE_PITCH_HARMONICS = HARMONIC_PITCH_MAX_HARMONICS;

// A note's strongest harmonic must stand at least twice as high as the
// spectrum five resolutions either side (harmonic_pitch's clear_ratio): a
// synthesizer's chorus or vibrato leaves energy beside each harmonic, and the
// two halves of a window agreeing, not a lone peak, is what shows the pitch
// is steady.
constexpr double MEASURE_PITCH_CLEAR_RATIO = 0.5;

// The fundamental of the note in samples[0 .. count) (sample_rate Hz),
// looked for within search_cents of guess_hz, as --measure takes it:
// harmonic_pitch with the two settings above, the harmonics weighed by how
// finely each fixes the fundamental (a steady note against the pitch
// asked, where noise is what moves a reading). NaN when none stands out.
double measured_pitch_hz(const float* samples, size_t count, double sample_rate, double guess_hz,
                         double search_cents);

// How far, in cents, the spectrum of samples lies above that of reference
// (both sample_rate Hz, any lengths of at least 1024): the shift, within
// +-max_shift_cents, that best lays the one spectrum over the other on a
// logarithmic frequency scale, to within a few cents. It finds a bent note
// however far the bend took it, which the narrow search of the estimator
// cannot; refine the result with it. NaN when either is silent.
double estimate_shift_cents(const float* reference, size_t reference_count, const float* samples, size_t count,
                            double sample_rate, double max_shift_cents);

// RMS level of samples in dB re full scale; -infinity for silence.
double level_db(const float* samples, size_t count);

// The interval from reference_hz up to hz, in cents.
double cents_between_hz(double reference_hz, double hz);

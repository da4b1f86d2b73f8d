// The pitch of a harmonic sound, measured from a buffer of its samples: the
// fundamental that its harmonics agree on. The one pitch estimator of the
// project: the bridge measures its SoundFont's samples and heard notes with
// it, --measure a synthesizer's captured notes, and the tests and benchmarks
// their renders and synthetic notes. A pure function over the samples (its
// spectrum by FFTW, fourier.h), safe on any number of threads at once.
#pragma once

#include <cstddef>
#include <vector>

// Harmonics looked at, at most.
constexpr int HARMONIC_PITCH_MAX_HARMONICS = 16;

// How the harmonics' readings are combined into the fundamental.
enum HarmonicWeights {
    // By each harmonic's energy: the sound as it is heard, its strong
    // partials counting most, also where a stretched or split partial
    // reads apart from the others (the built-in synthesizer's corrections).
    WEIGH_BY_ENERGY,
    // By how finely each fixes the fundamental: its energy times the square
    // of its number, since harmonic h read to within d Hz pins the
    // fundamental to within d / h. Noise moves the result least so (a
    // steady note measured against the pitch asked for).
    WEIGH_BY_PRECISION
};

// What harmonic_pitch found.
struct HarmonicPitch {
    double frequency_hz;  // the fundamental; NaN when no harmonic stood out
    double amplitude;     // of the harmonics together, 1 = a full-scale sine; 0 with NaN
    int harmonics;        // how many harmonics stood out and were weighed in (0 with NaN)
    // How clear the strongest harmonic's peak stands: the larger of the
    // spectrum's magnitudes five resolutions either side of it, as a
    // fraction of the peak's (a lone tone: below 1e-4; NaN with NaN).
    double side_ratio;
};

// The fundamental of a harmonic tone near guess_hz in samples[0 .. count)
// (sample_rate_hz > 0, count >= 64), found in the spectrum of the samples
// under a Blackman-Harris window (side lobes below -92 dB):
// - the strongest of the first harmonics (up to harmonics, 1..16, below
//   0.45 * sample_rate_hz, and only those whose ranges do not reach their
//   neighbours': 13 for 60 cents, 9 for 90) within search_cents of its
//   multiple of guess_hz sets the pitch; its peak must stand clear, the spectrum five resolutions
//   (sample_rate_hz / count) either side of it below clear_ratio (0..1) of
//   it (see side_ratio);
// - each harmonic up to harmonics (below 0.45 * sample_rate_hz) is the
//   spectrum within search_cents of its multiple of that pitch, or five
//   resolutions where that is wider, and short of half-way to the next
//   multiples; its frequency is the mean of that band's frequencies weighed
//   by their power: for a steady line its frequency, for a partial split
//   into lines (a loop's repetition, a vibrato, detuned layers) the mean of
//   the lines, which moves exactly as the sound is tuned, where the
//   strongest line alone may change places with another;
// - the fundamental is the harmonics' frequencies divided by their numbers,
//   averaged with weights as HarmonicWeights says, over those above a
//   thirtieth of the strongest (in magnitude); then once more with the
//   bands centred on that fundamental's multiples.
// The spectrum is zero-padded where the first harmonic's range would hold
// fewer than four of its points (a short window of a low note).
// NaN (harmonics 0) when no harmonic stands out: the strongest point of the
// range lies at its edge with the spectrum rising beyond it, or its peak does not stand clear (leakage of a
// tone outside the range, noise, silence).
HarmonicPitch harmonic_pitch(const float* samples, size_t count, double sample_rate_hz, double guess_hz,
                             double search_cents, int harmonics, double clear_ratio,
                             HarmonicWeights weights = WEIGH_BY_ENERGY);

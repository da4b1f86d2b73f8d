// Synthetic notes of known pitch for the pitch estimator: pure tones, tones
// of many harmonics, with reverberation and noise, as a synthesizer's output
// would carry them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct SyntheticNote {
    double frequency_hz = 440.0;  // the fundamental
    double sample_rate = 44100.0;
    double seconds = 0.3;
    int harmonics = 1;             // partials at 1, 2, ... times the fundamental
    bool random_amplitudes = false;  // each partial 0.05 .. 1 of the first, drawn from seed
    double reverb_seconds = 0.0;   // decay time (to -60 dB) of a reverberant tail added; 0 = none
    double noise_db = -200.0;      // white noise RMS, dB re the tone's RMS
    uint32_t seed = 1;             // drives amplitudes, phases and noise
    double level = 0.25;           // peak amplitude of the first partial
    double fundamental_gain = 1.0; // the first partial's amplitude, times this
};

// The note's samples (mono). The reverberation is the dry note convolved
// with an exponentially decaying noise burst, mixed at -6 dB, so that the
// buffer holds the steady state of a reverberant room.
std::vector<float> synthetic_note(const SyntheticNote& note);

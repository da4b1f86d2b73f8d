// A SoundFont made for pitch measurement: every melodic preset (bank 0,
// programs 0..127) plays one looped sine over the whole key range, so that
// a note sounds as a pure tone whose frequency follows only from the
// synthesizer's pitch arithmetic.
#pragma once

#include <string>

// The sine sounds at exactly this frequency (Hz) when played at its root key
// without bend: its period is a whole number of samples at the declared
// sample rate.
constexpr double SINE_ROOT_HZ = 440.0;
constexpr int SINE_ROOT_KEY = 69;

// Writes the SoundFont (a RIFF "sfbk" file, format 2.01) to path. Returns
// true when the whole file was written.
bool write_sine_soundfont(const std::string& path);

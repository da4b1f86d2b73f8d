// SoundFonts made for pitch measurement: every sample is a looped (or
// unlooped) sine whose true pitch is known exactly, so a note sounds as a
// pure tone whose frequency follows only from the synthesizer's pitch
// arithmetic and the SoundFont's own tuning data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The standard sine SoundFont sounds at exactly this frequency (Hz) when
// played at its root key without bend: its period is a whole number of
// samples at the declared sample rate.
constexpr double SINE_ROOT_HZ = 440.0;
constexpr int SINE_ROOT_KEY = 69;

// A sine sample: loop_cycles whole cycles in loop_frames frames at
// sample_rate_hz, so it sounds at loop_cycles * sample_rate_hz / loop_frames.
// The loop starts lead_frames (by default loop_frames) in and is followed by
// loop_frames more; an unlooped sample is the same sine for two seconds.
struct SineSample {
    uint32_t sample_rate_hz;
    uint32_t loop_frames;
    uint32_t loop_cycles;
    int root_key;          // original pitch stated in the header, 0..127
    int pitch_correction;  // cents, -99..99
    bool looped;
    uint32_t lead_frames = 0;  // frames before the loop; 0 = loop_frames
    double lead_cents = 0.0;   // how far the frames before the loop sound from it (they run into it smoothly)
};

// One instrument zone; every preset has one instrument of its own.
struct SineZone {
    int key_low;
    int key_high;
    int sample;  // index into SineSoundFont::samples
    int velocity_low = 0;
    int velocity_high = 127;
    int fine_tune = 0;         // cents
    int coarse_tune = 0;       // semitones
    int root_override = -1;    // overriding root key; -1 = the sample's own
    int scale_tuning = 100;    // cents per key
    int loop_end_offset = 0;   // frames added to the sample's loop end
    int vibrato_cents = 0;     // depth of the vibrato oscillator's pitch swing; 0 = none
};

struct SinePreset {
    int bank;
    int program;
    std::vector<SineZone> zones;
};

struct SineSoundFont {
    std::vector<SineSample> samples;
    std::vector<SinePreset> presets;
};

// The whole file (a RIFF "sfbk", format 2.01) for font.
std::vector<uint8_t> sine_soundfont_bytes(const SineSoundFont& font);

// Writes font to path. Returns true when the whole file was written.
bool write_sine_soundfont(const std::string& path, const SineSoundFont& font);

// The standard sine SoundFont: every melodic preset (bank 0, programs
// 0..127) plays one looped 440 Hz sine, root key 69, over the whole key range.
bool write_sine_soundfont(const std::string& path);

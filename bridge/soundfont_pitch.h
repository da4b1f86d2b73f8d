// How far a SoundFont's samples sound from the pitch they state, and the key
// tunings that put every melodic preset back in tune on FluidSynth.
//
// FluidSynth plays a sample faster or slower so that its stated root pitch
// lands on the key, but a recorded sample is rarely exactly at the pitch it
// states. A looped sample tells its real pitch by its loop: the loop holds a
// whole number of the waveform's cycles, so the loop's length against the
// sample rate is a whole number of periods. The parser reads the preset,
// instrument and sample headers (never the sample data) and works out, for
// each melodic preset and key, the key tuning that makes the key sound at its
// equal-tempered pitch. Pure functions over bytes, plus one that reads a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr int SOUNDFONT_KEYS = 128;

// Beyond this distance from the stated pitch, the nearest whole number of
// cycles in a loop is not the stated note at all (a loop of noise, or a layer
// recorded at another note on purpose), so the loop says nothing about the
// sample's tuning.
constexpr double LOOP_OFFSET_LIMIT_CENTS = 50.0;

// A loop of more cycles is taken at its word only when its sample data show
// it: the pitches of n and n + 1 cycles lie so close together (under 105
// cents from 17 on) that a long loop of a piano, an ensemble or a voice may
// sound between them or on another count than the one nearest the stated
// pitch. Measured with FluidR3 GM, corrections from such loops taken
// unchecked made as many notes worse as better.
constexpr int LOOP_MAX_CYCLES = 16;

// Looped zones of one key whose offsets differ by more than this are layers
// detuned against each other on purpose (a chorus); no single key tuning
// puts them all in tune, so the key is left as stated.
constexpr double LAYER_SPREAD_LIMIT_CENTS = 1.0;

// One melodic preset and the key tuning that corrects it.
struct PresetTuning {
    int bank;     // 0..127 (the percussion bank 128 is never tuned)
    int program;  // 0..127
    // The pitch FluidSynth is to give each key, in cents above MIDI key 0
    // (equal temperament is 100 * key): the correction of the key's sample
    // and the raise asked for.
    double key_cents[SOUNDFONT_KEYS];
    // How far each key's sound lies above its stated pitch, in cents: the
    // weighted mean of the key's looped zones at the velocity tuned for; 0
    // where no zone has a usable loop or the looped zones disagree.
    double offset_cents[SOUNDFONT_KEYS];
    // True where some zone plays the key.
    bool sounding[SOUNDFONT_KEYS];
    // True where the key's offset comes from its zones' loops.
    bool from_loop[SOUNDFONT_KEYS];
    // How long after the note starts the key's slowest looped zone reaches
    // its loop, in seconds (0 where none has a usable loop): before that the
    // recording's attack sounds, whose pitch no loop tells.
    double loop_reached_seconds[SOUNDFONT_KEYS];
};

// The real pitch of a looped sample. loop_frames (> 0) frames at
// sample_rate_hz (> 0) hold the whole number of cycles whose pitch comes
// nearest stated_cents (cents above MIDI key 0, the pitch the sample is meant
// to have). Returns true and sets offset_cents to that pitch's distance above
// stated_cents (and cycles, when given, to the number of cycles), or false
// (both untouched) when the loop is empty, the rate is 0, or the nearest
// whole number of cycles lies more than LOOP_OFFSET_LIMIT_CENTS away.
bool loop_pitch_offset(uint32_t loop_frames, uint32_t sample_rate_hz, double stated_cents, double* offset_cents,
                       uint32_t* cycles = nullptr);

// The key tunings of every melodic preset (bank 0..127) described by the
// body of a SoundFont's "pdta" list (bytes[0 .. size), the part after the
// list type: phdr, pbag, pmod, pgen, inst, ibag, imod, igen and shdr chunks).
// Every key gets raise_cents on top of its correction. Each key is tuned for
// velocity 127, the velocity the program's chords, scales and keyboard play
// at, or the highest velocity the key has zones for. Zones are read as
// FluidSynth plays them: global zones, preset generators added to instrument
// ones, key and velocity ranges, root key override, coarse and fine tune,
// scale tuning, the sample's pitch correction, loop offsets and sample
// modes. A zone without a usable loop, or with a fixed key, is left as the
// SoundFont states it; so is a loop of more than LOOP_MAX_CYCLES cycles, for
// want of its sample data. Returns false for a malformed list (tunings
// cleared); a preset or zone whose indices are out of range is skipped.
bool soundfont_tunings_from_pdta(const uint8_t* bytes, size_t size, double raise_cents,
                                 std::vector<PresetTuning>* tunings);

// The same for a whole SoundFont file in bytes[0 .. size) (RIFF "sfbk"),
// checking loops of more than LOOP_MAX_CYCLES cycles against its samples.
// Returns false (tunings cleared) when it is not a SoundFont.
bool soundfont_tunings_from_bytes(const uint8_t* bytes, size_t size, double raise_cents,
                                  std::vector<PresetTuning>* tunings);

// The same for the SoundFont file at path, mapped into memory, of which only
// the preset data and the long loops are read. Returns false (tunings
// cleared) when the file cannot be read or is not a SoundFont.
bool soundfont_tunings_from_file(const char* path, double raise_cents, std::vector<PresetTuning>* tunings);

// soundfont_tunings_from_file, done once per SoundFont file: the result is
// kept in cache_directory (created when missing), in a file named for the
// SoundFont's path, size and modification time, and read back from there
// while the SoundFont stays as it was. Checking the long loops of a large
// SoundFont against its samples takes longer than a start may (FluidR3 GM:
// about 0.2 s with the file in memory). An empty cache_directory, or one that
// cannot be written, only costs the work each time.
bool soundfont_tunings_cached(const char* path, double raise_cents, const std::string& cache_directory,
                              std::vector<PresetTuning>* tunings);

// Key tunings that ship with the program, for the SoundFonts a user gets by
// default: the built-in synthesizer is in tune from its first note on them,
// without the first measuring.
//
// A shipped table is a text file (".tunings") that the project makes from
// the real SoundFont with its own measuring (scripts/ship-tunings), naming
// the SoundFont it was measured from by its size and content hash:
//
//   varenta-tunings 1
//   soundfont BYTES XXH3-64-IN-HEX NAME
//   BANK PROGRAM KEY OFFSET_CENTS HEARD
//   ...
//
// one line per corrected key: how far the key sounds above its stated pitch
// (as PresetTuning::offset_cents), and 1 where it was measured as FluidSynth
// plays it, 0 from the sample data alone. Lines starting with '#' are
// comments. Only a SoundFont of exactly that size and hash takes the table;
// what a key tuning needs besides the offsets (scale tuning, root pitch) is
// read from the SoundFont's own preset data.
#pragma once

#include "bridge/soundfont_pitch.h"

#include <cstdint>
#include <string>
#include <vector>

constexpr const char* SHIPPED_TUNINGS_SUFFIX = ".tunings";

// A SoundFont file's identity: its size in bytes and the XXH3 64-bit hash of
// its content. False when the file cannot be read.
bool soundfont_identity(const char* path, uint64_t* bytes, uint64_t* hash);

// The text of a shipped table of tunings (each key corrected, with its
// offset), measured from the SoundFont with the given identity; name is the
// SoundFont's file name, for the reader. The offsets are written to 1e-6
// cent.
std::string shipped_tunings_text(const std::vector<PresetTuning>& tunings, uint64_t bytes, uint64_t hash,
                                 const std::string& name);

// The tunings of the SoundFont at path from a shipped table in directory
// (any file ending in SHIPPED_TUNINGS_SUFFIX there) whose identity is the
// SoundFont's: its presets as their own data states them, the table's keys
// corrected, every corrected key raised by raise_cents. The content is
// hashed only when a table names the file's size. False (tunings cleared)
// when no table there is the SoundFont's, or the one that is does not fit it
// (a malformed line, a preset or key the SoundFont does not play): such a
// SoundFont is measured as any other.
bool soundfont_tunings_shipped(const char* path, double raise_cents, const std::string& directory,
                               std::vector<PresetTuning>* tunings);

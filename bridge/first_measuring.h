// The first measuring of a SoundFont: every melodic preset's key tuning
// worked out on every core, each thread with a FluidSynth of its own, the
// presets a listener plays first taken first, and each handed over as soon
// as it is done, so that the program a device plays is in tune within
// seconds while the rest follow.
#pragma once

#include "bridge/soundfont_pitch.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

// Which presets the first measuring takes next: those asked for (the
// programs the channels play), the latest asked first, then the others in
// the file's order. Any thread may ask at any time.
class MeasuringOrder {
public:
    // The preset of bank (0..128) and program (0..127) is wanted now: it is
    // begun before any other not yet begun. Out-of-range values are ignored.
    void ask(int bank, int program);
    // Nothing asked for any more.
    void forget();

    // Of the presets of banks and programs (index i: banks[i], programs[i])
    // that begun[i] leaves, the one to begin next; SIZE_MAX when all are begun.
    size_t next(const std::vector<int>& banks, const std::vector<int>& programs,
                const std::vector<bool>& begun) const;

private:
    mutable std::mutex lock_;
    uint64_t asked_[129][128] = {};  // when each preset was last asked for (0: never), counted by asks
    uint64_t asks_ = 0;
};

// Called with each preset's tuning (unraised) as soon as it is worked out,
// on the thread that worked it out.
typedef void (*PresetMeasured)(const PresetTuning& tuning, void* data);

// Works out the tunings of every melodic preset of the SoundFont at path:
// each preset's sample data (SoundFontPresets), then, for bank 0, its looped
// keys as FluidSynth plays them (hear_preset), on one thread per core (at
// most four), the presets taken in order's order (nullptr: the file's),
// each passed to measured (when given) once done. tunings receives them all
// in the file's order, key_cents unraised. Returns false (tunings cleared)
// when the SoundFont cannot be read or stop became true.
bool measure_soundfont_in_order(const char* path, std::vector<PresetTuning>* tunings, const std::atomic<bool>* stop,
                                const MeasuringOrder* order, PresetMeasured measured, void* data);

// The same in the file's order, nothing handed over on the way (a
// TuningMeasure for soundfont_tunings_cached).
bool measure_soundfont(const char* path, std::vector<PresetTuning>* tunings, const std::atomic<bool>* stop);

// A SoundFont's looped keys, corrected for how FluidSynth really plays them.
//
// The sample data alone does not settle every looped key: a loop of many
// cycles or of an ensemble, a recording whose lead-in sounds otherwise than
// its loop, a loop so close to its sample's end that the synthesizer plays it
// otherwise than it is written. Nor do the keys one sample plays all sound
// equally far off: FluidSynth's pitch arithmetic and interpolation, a loop
// reached at another point, or partials a loop's repetition splits into
// lines a few cents apart move single keys by a cent or more. So every key
// the program can play (bank 0) whose sound loops, unless over a single
// cycle of its wave (strictly periodic), is rendered offline, on a
// FluidSynth of its own, held at velocity 127 until its loop has played for
// two seconds, and its pitch measured from the audio (pitch/harmonic_pitch.h)
// where a held note is heard, from the time its loop is reached: the mean of
// the lines its partials are split into, which a correction moves exactly as
// it moves the key, where the strongest line alone may change places with
// another. A key whose measurement is clear and steady takes it as its
// offset; one whose reading wanders a little, or a correction of more than a
// cent, only once it has been rendered applied and landed. A vibrato or a
// pitch envelope counts where the held note still reads so.
#pragma once

#include "bridge/soundfont_pitch.h"

#include <atomic>

// When the measured note starts: the loop reached (plus a little) at the
// rendered key, and no sooner than a second into the note, past its attack.
constexpr double RENDERED_SETTLE_MIN_SECONDS = 1.0;
constexpr double RENDERED_SETTLE_MAX_SECONDS = 8.0;  // a loop reached later is not waited for
constexpr double RENDERED_WINDOW_SECONDS = 2.0;
// The window's readings must agree to within this: the whole of it and its
// last three quarters.
constexpr double RENDERED_AGREEMENT_CENTS = 0.1;
// The same for a correction that is rendered again, applied, and kept only
// where it lands: a key whose held pitch wanders within half a cent is still
// better off corrected.
constexpr double RENDERED_VERIFIED_AGREEMENT_CENTS = 0.5;

// A FluidSynth of its own that renders the notes of one preset at a time
// (only that preset's samples loaded), for one thread.
struct KeyRenderer;

// A renderer of the SoundFont at path; nullptr when FluidSynth cannot load it.
KeyRenderer* key_renderer_new(const char* path);
void key_renderer_delete(KeyRenderer* renderer);

// Renders and measures every looped key of t (a bank 0 preset of the
// renderer's SoundFont, its sample data measured) whose pitch follows the
// key, and sets offset_cents, corrected and heard for each key measured
// clearly; other keys keep what the sample data gave, and presets of other
// banks are left as they are. key_cents is not touched (set_tuning_raise).
// Returns false when stop became true (the preset is then half done).
bool hear_preset(KeyRenderer* renderer, PresetTuning* t, const std::atomic<bool>* stop);

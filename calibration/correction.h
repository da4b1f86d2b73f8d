// The calibration in use, as the retuning engine asks it: which key and
// bend make a channel of the device sound a pitch, given what the device's
// calibration measured. With none in use the answer is the engine's own
// nearest-key rule for a synthesizer that plays as it is told.
#pragma once

#include "calibration/calibration.h"

// Puts calibration in use (replacing any other) until drop_calibration.
// Its key runs become a table per program and its channels a table per
// channel, so that a note's correction costs no allocation and no search.
void use_calibration(const Calibration& calibration);

// No calibration in use any more.
void drop_calibration();

bool calibration_in_use();

// The calibration in use found that the device obeys the MIDI Tuning
// Standard's Single Note Tuning Change (false with none in use).
bool calibration_obeys_mts();

// The key and bend that sound the fractional MIDI note n (69.0 is 440 Hz)
// on channel with the calibration in use, for the program last chosen for
// every channel: the key whose own sound lies nearest n, bent by the
// channel's measured range (up and down apart) past the key's offset for
// that program and the channel's own offset, rounded to the nearest bend
// step; raised first by the calibration's centring of a synthesizer's
// whole-cent steps. A channel or program the calibration did not measure gets no
// correction of its own. When the channel's range cannot reach n from that
// key, the next key toward n is taken. Only while calibration_in_use().
void calibrated_note(double n, int channel, int* midi_note, double* bend);

// How many cents a channel's bend of (bend - 8192) units moves its notes,
// by its measured range when a calibration is in use, else by the +-2
// semitones asked.
double bend_cents(int channel, double bend);

// The bend, unrounded, that moves a channel's notes by cents: the inverse
// of bend_cents.
double bend_from_cents(int channel, double cents);

// What a note on key and channel sounds above the pitch its key is tuned
// to, with the calibration in use: the key's offset for the program played
// and the channel's own, less the centring. 0 with none in use. A synthesizer
// that retunes keys (MIDI Tuning Standard) is asked that much lower.
double calibrated_key_offset(int channel, int key);

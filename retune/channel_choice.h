// From a frequency to a MIDI note, a 14-bit bend, and the channel to carry
// them: a channel already carrying that bend, a channel whose bend is not yet
// spoken for, the least recently used free channel, or, on request, the least
// recently used channel of all, whose notes are then ended.
#pragma once

#include <cstdint>

constexpr int CHOOSE_STEAL = 1;         // when nothing else is found, take the least recently used channel
constexpr int CHOOSE_AVOID_NEWEST = 2;  // free channels qualify only if older than the newest stamp

// The nearest MIDI note (0..127) and the bend (a whole number 0..16383,
// rounded toward the centre) that sound frequency_hz. A frequency of zero or
// below, or NaN, gives note 0 and bend 0.
void frequency_to_note(double frequency_hz, int* midi_note, double* bend);

// The frequency as a fractional MIDI note, 69.0 at 440 Hz (a frequency of
// zero or below, or NaN, as the lowest the engine takes).
double note_of_frequency(double frequency_hz);

// Chooses a channel for frequency_hz (never channel 9; under MPE a member
// channel of the zone, one of its own while any is free, bent over 48
// semitones). *channel is -1 when
// none is found; *midi_note and *bend are always delivered. Only a steal
// sends anything (the stolen channel's note-offs).
void choose_channel(int flags, double frequency_hz, int* channel, int* midi_note, double* bend);

// choose_channel, never choosing a channel of excluded (bit c for channel c)
// while another qualifies: the retuner keeps the notes of one input channel
// apart from another's, so that one pitch wheel re-bends its own notes only.
// When every channel but the excluded is taken, a steal falls back to all.
void choose_channel_excluding(int flags, double frequency_hz, uint32_t excluded, int* channel, int* midi_note,
                              double* bend);

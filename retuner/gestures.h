// What the live retuner does with each message from the player: a note-on
// plays its key's pitch in the tuning (through the keyboard mapping when
// there is one, else key 60 is the 1/1 and each key the next degree) through
// the engine, and its note-off ends exactly that note; input channel 10
// plays General MIDI percussion unretuned, as the percussion test does.
//
// The pitch wheel bends every note of its input channel, on top of the
// tuning: the engine keeps the notes of one input channel on output channels
// of their own (no output channel sounds two input channels' notes at once),
// so a wheel moves the bends of its own channels only, and a note started
// while the wheel is off centre starts at the bent pitch. A sounding note can
// be carried as far as the output's bend range of +-2 semitones from its MIDI
// key; beyond, it stops at the edge (a note half a semitone sharp of its key,
// bent up by the whole default wheel range, lands half a semitone short).
//
// The sustain pedal (64) of each input channel holds its note-offs back;
// sostenuto (66), soft pedal (67), modulation, volume, expression, channel
// pressure and the other controllers go to every melodic output channel
// (channel 10's to channel 10); polyphonic pressure goes to its note's
// channel and MIDI note; program changes go to every melodic channel;
// all-sound-off (120) and all-notes-off (123) end every note. Data entry and
// the parameter numbers (6, 38, 96-101) are dropped, since they would change
// the bend range the tuning relies on; so are the channel mode messages
// (122, 124-127). Reset-all-controllers (121) also centres the channel's
// wheel and lifts its pedal.
#pragma once

#include "tuning/keyboard_map.h"

#include <cstdint>

// What the retuner has done since it began.
struct RetunerCounts {
    uint32_t messages_in;    // channel messages taken from the input
    uint32_t notes_started;  // note-ons that started a note
    uint32_t steals;         // notes that had to end another channel's notes to sound
    uint32_t most_sounding;  // the most notes in play at once
};

// Starts with every wheel centred, every pedal up and no note known. map:
// the keyboard mapping (copied), or nullptr for the linear one around key 60.
void retuner_begin(const KeyboardMap* map, double wheel_range_semitones);

// Plays one packed channel message (status with channel in bits 0-7, data 1
// in 8-15, data 2 in 16-23).
void retuner_play_message(uint32_t message);

// Ends every note the input started, held back or sounding.
void retuner_end_notes();

const RetunerCounts& retuner_counts();

// Output channels with at least one note sounding.
int retuner_channels_in_use();

// Back to the state at program start (tests).
void retuner_reset();

// Playing from a MIDI keyboard: what MIDI input does while the keyboard test
// or the percussion test waits for a key. A note-on plays a scale degree
// (key 60 is the 1/1) or a percussion sound at the velocity played, through
// the same engine path as a typed key; its note-off ends exactly that note.
// The sustain pedal holds note-offs back; modulation, volume and expression
// go to every retuned channel; all-sound-off and all-notes-off end every note
// the input started. Everything else (the pitch wheel, which would fight the
// tuning bends, program changes, pressure) is ignored. Outside the two key
// loops MIDI input is not listened to at all.
#pragma once

#include <cstdint>

// What note-ons play in the key loop that is listening.
enum LiveLoop {
    LIVE_NONE,        // no key loop: input is not listened to
    LIVE_DEGREES,     // the keyboard test: key - 60 is the scale degree
    LIVE_PERCUSSION,  // the percussion test: the key sounds on channel 9
};

constexpr int LIVE_MIDDLE_KEY = 60;  // the key that plays degree 0, the 1/1

// A key loop starts or ends: MIDI input is listened to from begin (when MIDI
// input is open) until end. Each begin starts with the pedal up and no note
// known to the input.
void live_loop_begin(LiveLoop loop);
void live_loop_end();

// The key loops' read: one keystroke as input_key gives it, while MIDI input
// that arrives meanwhile is played at once.
int live_input_key();

// Plays one packed channel message (status with channel in bits 0-7, data 1
// in 8-15, data 2 in 16-23) in the loop that is listening; nothing outside
// the key loops.
void live_play_message(uint32_t message);

// Reads a Scala keyboard mapping (--kbm) for the whole run: from then on a
// key in the keyboard test plays the degree the mapping gives it (in the
// current scale, from the current 1/1; the mapping's reference frequency
// is not used, since the dialogue's hz command sets the 1/1), and a key
// the mapping leaves out plays nothing. Returns 0, or 2 after one line on
// the error stream naming the file, the line and the reason.
int live_use_keyboard_map(const char* path);

// Back to the state at program start (tests).
void live_play_reset();

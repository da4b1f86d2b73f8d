// Playing in a tuning: pre-tuning a channel for a scale degree, starting and
// ending the note of a degree, percussion notes on channel 9, and the report
// of the notes in play.
#pragma once

#include <cstdint>

// Sends the bend a later play_degree of the degree will need, on the channel
// the choice gives (flags: 0 or CHOOSE_AVOID_NEWEST). No note, no stamp.
void prepare_degree_with_flags(int flags, int degree);
void prepare_degree(int degree);
void prepare_degree_avoid_newest(int degree);

// Sounds a degree of the current scale (installing the default scale first
// when none is set): bend when it changes, then the note-on. Nothing happens
// while 2048 notes are in play.
void play_degree(int degree, int velocity);

// play_degree, telling which note it started: the serial of its entry in the
// notes in play, or 0 when none was started.
uint32_t play_degree_note(int degree, int velocity);

// Sounds a note of the given frequency as play_degree_note does, recorded
// under key with ratio, on a channel outside excluded (see
// choose_channel_excluding). Stores the channel in *channel when given (-1
// when nothing was started). Returns the note's serial, or 0.
uint32_t play_frequency_note(int key, double ratio, double frequency_hz, uint32_t excluded, int velocity,
                             int* channel = nullptr);

// Ends the oldest note of the degree (not on channel 9) and stamps its channel
// with the clock.
void release_degree(int degree, int velocity);

// Ends exactly the note with that serial, on the channel and MIDI note it was
// started on, and stamps that channel as release_degree does (a percussion
// note's channel 9 is not stamped). Returns false, sending nothing, when that
// note has ended already.
bool release_note(uint32_t serial, int velocity);

// A note-on for the key on channel 9, recorded when the table has room.
void play_percussion(int key, int velocity);

// play_percussion, telling the serial of the note's entry, or 0 when the
// table had no room to record it (the note-on went out all the same).
uint32_t play_percussion_note(int key, int velocity);

// Ends every note of the key on channel 9.
void release_percussion(int key);

// Prints the notes in play, grouped by channel, with their bends in cents.
void report_notes_in_play();

// Playing in a tuning: pre-tuning a channel for a scale degree, starting and
// ending the note of a degree, percussion notes on channel 9, and the report
// of the notes in play.
#pragma once

// Sends the bend a later play_degree of the degree will need, on the channel
// the choice gives (flags: 0 or CHOOSE_AVOID_NEWEST). No note, no stamp.
void prepare_degree_with_flags(int flags, int degree);
void prepare_degree(int degree);
void prepare_degree_avoid_newest(int degree);

// Sounds a degree of the current scale (installing the default scale first
// when none is set): bend when it changes, then the note-on. Nothing happens
// while 2048 notes are in play.
void play_degree(int degree, int velocity);

// Ends the oldest note of the degree (not on channel 9) and stamps its channel
// with the clock.
void release_degree(int degree, int velocity);

// A note-on for the key on channel 9, recorded when the table has room.
void play_percussion(int key, int velocity);

// Ends every note of the key on channel 9.
void release_percussion(int key);

// Prints the notes in play, grouped by channel, with their bends in cents.
void report_notes_in_play();

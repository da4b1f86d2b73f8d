// The notes in play: every note started and not yet ended, in the order
// started, with the degree (or percussion key) it belongs to, its ratio, and
// the channel and MIDI note it was sent on.
#pragma once

#include <cstdint>

constexpr int NOTE_TABLE_CAPACITY = 2048;

struct NoteEntry {
    int key;        // scale degree (any int), or the percussion key
    double ratio;   // the degree's ratio when it started; 1.0 for percussion
    int channel;    // 0..31; 9 for percussion
    int midi_note;  // the note number sent (the key for percussion)
    uint32_t serial;  // which note this is: 1.., unique among the notes in play (0 is never given)
};

struct NoteTable {
    int count;                                  // entries in use, 0..NOTE_TABLE_CAPACITY
    NoteEntry entries[NOTE_TABLE_CAPACITY];     // 0..count - 1, oldest first
};

const NoteTable& note_table();

// Appends an entry; returns the new count, or NOTE_TABLE_CAPACITY (nothing
// stored) when the table is full. Sends nothing.
int add_note(int key, double ratio, int channel, int midi_note);

// Appends an entry as add_note does and returns its serial, or 0 when the
// table is full and nothing was stored.
uint32_t add_note_serial(int key, double ratio, int channel, int midi_note);

// Index of the entry with that serial, or -1 when the note has ended.
int find_note_serial(uint32_t serial);

// Removes entry index (0 <= index < count), keeping the order of the rest.
void remove_note(int index);

// The first entry, oldest first, whose fields equal every criterion that is
// zero or more (negative criteria match anything). Writes its index to
// *index when given.
bool find_note(int key, int channel, int midi_note, int* index = nullptr);

// The channels (bit c for channel c, 0..31) on which some entry has the MIDI
// note: one scan answers find_note(-1, c, midi_note) for every channel c.
uint32_t channels_sounding_note(int midi_note);

// A note-off for every entry in table order, then the table is empty.
void release_all_notes(int velocity);

// A note-off and removal for every entry on the channel (every entry when
// channel is negative), in table order.
void release_channel_notes(int velocity, int channel);

// Ends every note the program started and has not ended: the notes in play,
// then any note-on still without its note-off (percussion not recorded, the
// pitch-bend range test's notes). Every mode's last word before it closes
// the device.
void end_every_note();

// Back to the state at program start (tests).
void notes_reset();

// The MIDI source the program reads for the whole run (--midi-in PORT) and
// the list of sources it can read (--list-midi-in). A PORT is a number from
// that list (counted from 1), the word "virtual" for the program's own input
// port alone, or text contained in a source's name, without regard to case
// (the first match wins). The program's own input port is opened in every
// case, so that more sources can be connected to it.
#pragma once

// What a PORT names.
constexpr int MIDI_SOURCE_NONE = -2;  // it matches no source

// The platform's source index for a PORT: 0 .. count - 1,
// PLATFORM_MIDI_IN_OWN_PORT for "virtual", or MIDI_SOURCE_NONE.
int choose_midi_source(const char* port);

// Opens MIDI input as --midi-in PORT asks. Returns the exit status for what
// follows: 0 when it is open, or 2 after one line on the error stream saying
// what was asked and how to list the sources.
int open_midi_input(const char* port);

// Whether MIDI input is open.
bool midi_input_open();

// Closes MIDI input, when it is open.
void close_midi_input();

// Prints the sources, one a line, numbered from 1.
void list_midi_sources();

// Back to the state at program start (tests).
void midi_source_reset();

// The live retuner, --retune DEVICE --midi-in PORT: every note from a MIDI
// input played through the retuning engine into a device of the menu, in a
// scale and keyboard mapping of the user's, until a request to end (Ctrl-C,
// SIGTERM, SIGHUP) or until the input goes away. No dialogue: one header,
// then on a terminal one status line redrawn at most ten times a second, and
// a closing summary.
#pragma once

// What --retune was asked to do; the texts point into argv.
struct RetuneRequest {
    const char* device;       // a menu entry: its number (1 = the first) or its name, or a part of it
    const char* midi_in;      // the input, as --midi-in takes it; nullptr is refused
    const char* scale;        // a .scl file or scale text as typed at the prompts; nullptr: 12 equal steps
    const char* kbm;          // a Scala keyboard mapping file; nullptr: key 60 plays the 1/1, linearly
    const char* voice;        // a General MIDI voice as the voice command takes it; nullptr: the synth's own
    const char* hz;           // the 1/1 in Hz; nullptr: the mapping's reference, else middle C
    const char* wheel_range;  // the pitch wheel's range in semitones; nullptr: 2
};

// Runs the retuner. Returns the exit status: 1 when the input went away or
// the device would not open, 2 for arguments it cannot use (nothing has
// played then). A request to end ends every note and closes the device
// before the process ends as asked.
int run_retune(const RetuneRequest& request);

// Back to the state at program start (tests).
void retuner_session_reset();

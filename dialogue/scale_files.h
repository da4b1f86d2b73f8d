// Scala scale files at the scale prompts of the chord, scale and keyboard
// tests: a line naming a .scl file plays the file's pitches as if they had
// been typed as the scale text.
#pragma once

// What a line taken at a scale prompt turned out to be.
enum ScaleLine {
    SCALE_LINE_TYPED,    // no file: the line is the scale text, as typed
    SCALE_LINE_FILE,     // a file, read and announced: *line now points at its pitches as scale text
    SCALE_LINE_REFUSED,  // a file that cannot be used: one line says why; nothing else is to happen
};

// *line is a line the prompt step gave a test (trimmed). It names a file
// when, with one pair of surrounding single or double quotes removed, it ends
// in ".scl" in any case; a leading "~/" stands for the home folder. A file
// that reads cleanly is announced (name, pitch count, description) and *line
// is pointed at its pitches (a static buffer, valid until the next call);
// otherwise *line is left alone.
ScaleLine take_scale_file(const char** line);

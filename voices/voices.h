// The General MIDI instrument names and the forgiving lookup of a typed name
// or number: a number, the exact name, a whole word of a name, the start of a
// word, or any part of a name, in that order of preference.
#pragma once

constexpr int VOICE_COUNT = 128;

// Names by program number 0..127.
extern const char* const voice_names[VOICE_COUNT];

// The program (0..127) for typed text, its name copied into name (at most
// size - 1 bytes, terminated; size >= 1). Text that fits nothing gives 0.
int find_voice(const char* typed, char* name, int size);

// 0 when text begins with prefix, ignoring the case of a to z (also 0 when
// either is absent or prefix is empty); otherwise the 1-based position of the
// first byte that differs, the end of text counting as different.
int compare_prefix_nocase(const char* text, const char* prefix);

// Removes leading white space and turns every later run of white space into
// one space (a trailing run included), in place. Returns the new length plus
// one, or 0 for an absent buffer.
int collapse_spaces(char* buffer);

// Prints every name with its number, pausing for Return after program 64 and
// at the end.
void list_voices();

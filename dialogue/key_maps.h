// Which scale degree, or which percussion sound, a key plays. Digits and
// letters map alike in both; the punctuation rows differ.
#pragma once

// The scale degree a key plays in the keyboard test (0..46), or -1 when the
// key names none.
int keyboard_degree(int key);

// The percussion index a key plays (0..46; MIDI note = index + 35), or -1
// when the key names none.
int percussion_index(int key);

constexpr int PERCUSSION_NOTE_OFFSET = 35;  // index 0 is GM percussion note 35

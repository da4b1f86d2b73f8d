// Console input and output: what the program prints and reads, whichever
// mode it runs in, and what the engine itself prints (the notes in play, the
// voice list) and waits for.
//
// Three ways to read (a whole line, one keystroke, one buffered character),
// the trim every typed line goes through, and printf-style output. When
// standard input ends, every read throws InputEnded, which the entry point
// turns into the program's orderly end; a request to end (Ctrl-C) makes it
// throw EndRequested instead.
#pragma once

// The program's name, as its messages give it.
extern const char* const PROGRAM_NAME;

constexpr int LINE_BUFFER_SIZE = 10240;  // the typed line, its terminator included

// Thrown by the reads below when standard input has ended.
struct InputEnded {};

// Reads one line into line (size bytes, size >= 1) without its line end. An
// over-long line keeps its first size - 1 bytes; the rest of it is dropped.
void input_line(char* line, int size);

// One keystroke (0..255) without waiting for Return, echoed. Return arrives
// as 13 from a terminal, 10 from a pipe.
int input_key();

// What input_key_or_midi returns when MIDI input is queued.
constexpr int KEY_MIDI_PENDING = 256;

// input_key, except that the wait also ends, without taking a key, when MIDI
// input is queued: then it returns KEY_MIDI_PENDING.
int input_key_or_midi();

// One character from buffered input, waiting for a line when none is
// buffered; the rest of that line stays for the next input_line. The wait for
// Return.
int input_char();

// Removes white space (space, tab, LF, VT, FF, CR) at both ends of line, in
// place, and returns the new length.
int trim_line(char* line);

// White space as trim_line counts it; bytes above 127 are not.
bool is_white_space(int c);

// Upper case of a to z; every other byte unchanged.
int upper_ascii(int c);

// The two texts are equal but for the case of a to z.
bool equals_nocase(const char* a, const char* b);

// part (possibly empty) stands somewhere in text, but for the case of a to z.
bool contains_nocase(const char* text, const char* part);

// text is one or more of the digits 0 to 9 and nothing else.
bool all_digits(const char* text);

// Formats and prints to the console.
void console_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Formats and prints to the console's error stream (standard error), for
// the modes' one-line refusals and failures.
void error_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

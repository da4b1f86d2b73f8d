// The scale text format and its parser.
//
// Tunings are typed as one line: ratios ("9/8"), cents marked by a decimal
// point ("701.955"), powers of two ("n(1/7)": 7 equal steps to the octave),
// a harmonic series ("h 2"), and the "cents" keyword after a plain number.
// The parser turns the text into interval ratios from the 1/1, in the order
// typed, after entry 0, and keeps a copy of the text for display.
#pragma once

constexpr int SCALE_CAPACITY = 1024;     // entries in the scale table
constexpr int SCALE_MAX_COUNT = 1023;    // entries the parser ever fills
constexpr int SCALE_TEXT_SIZE = 1024;    // the kept text, terminator included
constexpr int SCALE_TOKEN_SIZE = 128;    // one token, terminator included

// Fills entries (SCALE_CAPACITY doubles) from text and stores the number in
// use in *count. Entries at *count and above keep what they held. Keeps the
// first SCALE_TEXT_SIZE - 1 bytes of text. Never fails.
void parse_scale_text(double* entries, int* count, const char* text);

// Moves *position to the start of the next token: from the start of the text
// when *position is negative, otherwise past the token at *position first.
// Separators are space, tab, LF, VT and CR. Returns false (and stores -1) at
// the end of the text or for an absent text.
bool next_token(const char* text, int* position);

// Copies the token at text[start] into destination until the end of the
// text, white space (space, tab, LF, VT, FF, CR) or capacity characters, and
// terminates it at min(capacity - 1, characters read). Returns the
// characters read; 0 (destination untouched) for an absent text or
// destination or a negative start.
int copy_token(char* destination, const char* text, int start, int capacity);

// The text given to the last parse (empty before the first).
const char* kept_scale_text();

// Back to the state at program start (tests).
void scale_parser_reset();

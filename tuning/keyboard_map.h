// Scala keyboard mappings (.kbm): which scale degree each MIDI key plays,
// and the pitch the mapping is anchored to.
//
// A file is, after any comment lines starting with "!", one field a line, read
// by its first token, in this order: the map size (0 for a linear mapping),
// the first and the last MIDI key to retune, the middle key (where entry 0 of
// the map, or degree 0 of a linear mapping, sits), the reference key and its
// frequency in Hz, the scale degree of the formal octave (0: the scale's own
// period), then one entry per key of the map: a degree, or "x" for a key that
// plays nothing. Numbers are read as in the "C" locale (a decimal point,
// never a comma); whatever follows the last entry is ignored.
//
// With a map of size m, key k sits offset = k - middle keys from the middle:
// it plays entry offset mod m, raised by floor(offset / m) formal octaves. A
// linear mapping plays degree k - middle. Keys outside first..last play
// nothing.
#pragma once

#include <cstddef>

constexpr int KBM_MAX_MAP_SIZE = 1024;    // entries a map may hold
constexpr int KBM_MAX_DEGREE = 1 << 20;   // largest degree an entry or the octave field may name
constexpr int KBM_UNMAPPED = -1;          // an "x" entry
constexpr int KBM_TOKEN_SIZE = 64;        // the token at fault, terminator included
constexpr size_t KBM_FILE_CAPACITY = 1 << 18;  // largest file read, in bytes

enum KbmStatus {
    KBM_OK,
    KBM_FILE_MISSING,        // no such file
    KBM_FILE_UNREADABLE,     // it exists but cannot be read
    KBM_FILE_FOLDER,         // it is a folder
    KBM_FILE_TOO_LARGE,      // over KBM_FILE_CAPACITY bytes
    KBM_MISSING_FIELD,       // the file ends before one of the seven fields
    KBM_BAD_NUMBER,          // a field that is not a whole number (an empty line too)
    KBM_BAD_SIZE,            // a map size below 0 or above KBM_MAX_MAP_SIZE
    KBM_KEY_OUT_OF_RANGE,    // a key field outside 0..127
    KBM_FIRST_AFTER_LAST,    // the first key to retune lies above the last
    KBM_BAD_FREQUENCY,       // not a number above 0 with a decimal point, if any, as "440.0"
    KBM_BAD_OCTAVE_DEGREE,   // below 0 or above KBM_MAX_DEGREE
    KBM_MISSING_ENTRY,       // the file ends before the last entry of the map
    KBM_BAD_ENTRY,           // neither a degree 0..KBM_MAX_DEGREE nor "x"
    KBM_REFERENCE_UNMAPPED,  // the reference key's entry is "x": it has no pitch to anchor
};

struct KeyboardMap {
    KbmStatus status;
    int line;                     // 1-based line of a format fault; 0 for file faults and KBM_OK
    char token[KBM_TOKEN_SIZE];   // the field at fault, its first bytes, control bytes as '?'
    int map_size;                 // 0 (linear) .. KBM_MAX_MAP_SIZE
    int first_key;                // 0..127, <= last_key
    int last_key;                 // 0..127
    int middle_key;               // 0..127: where entry 0 (or degree 0) sits
    int reference_key;            // 0..127: the key reference_hz belongs to
    double reference_hz;          // > 0, finite
    int octave_degree;            // 0..KBM_MAX_DEGREE; 0 = the scale's period
    int entries[KBM_MAX_MAP_SIZE];  // 0..map_size - 1: a degree, or KBM_UNMAPPED
};

// Reads a mapping from its bytes (length bytes, not terminated, any content)
// into *map. Returns the status, also in map->status.
KbmStatus parse_keyboard_map(const char* bytes, size_t length, KeyboardMap* map);

// Reads the file at path through the platform and parses it into *map.
KbmStatus read_keyboard_map(const char* path, KeyboardMap* map);

// Writes one line (no line end) saying why a mapping was refused: the file
// (path), the line when there is one, and the reason. At most size - 1 bytes,
// always terminated when size >= 1.
void keyboard_map_refusal(const KeyboardMap& map, const char* path, char* buffer, int size);

// What a key plays: false for a key that plays nothing (outside first..last,
// or an "x" entry); otherwise the map's degree in *degree and the formal
// octaves it is raised by in *octaves (negative below the middle). A linear
// mapping gives degree key - middle and 0 octaves.
bool keyboard_map_key(const KeyboardMap& map, int key, int* degree, int* octaves);

// The ratio to the 1/1 a key plays in the scale of count entries (as
// degree_ratio takes them): the degree's ratio times the formal octave's
// ratio to the power octaves. 0.0 for a key that plays nothing.
double keyboard_map_ratio(const KeyboardMap& map, int key, const double* scale_entries, int scale_count);

// The 1/1's frequency in Hz the mapping asks for: the reference frequency
// divided by the ratio of the degree the reference key plays, that key's
// range aside.
double keyboard_map_one_one_hz(const KeyboardMap& map, const double* scale_entries, int scale_count);

// Back to the state at program start (tests).
void keyboard_map_reset();

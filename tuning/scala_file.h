// Scala scale files (.scl), the exchange format of tuning libraries.
//
// A file is: comment lines starting with "!" anywhere; the first other line
// is the description (may be empty); the next holds the pitch count; then
// exactly that many pitch lines, each read by its first token: cents when it
// holds a ".", otherwise a ratio "a/b" or a whole number "a". The rest of a
// line is ignored, and so is everything after the last pitch. The pitches
// use the notation of the scale text, so a file that reads cleanly becomes a
// scale text whose parse gives the file's pitches, one entry each, in order.
#pragma once

#include "tuning/scale_parser.h"

#include <cstddef>

constexpr int SCALA_MAX_PITCHES = SCALE_MAX_COUNT - 1;  // pitches after the 1/1 a scale can hold
constexpr int SCALA_LONGEST_PITCH = 120;                // bytes of a pitch token, well inside a scale text token
constexpr int SCALA_DESCRIPTION_SIZE = 512;             // description kept, terminator included
constexpr int SCALA_TEXT_SIZE = SCALA_MAX_PITCHES * (SCALA_LONGEST_PITCH + 2);  // the scale text built
constexpr size_t SCALA_FILE_CAPACITY = 1 << 20;         // largest file read, in bytes

enum ScalaStatus {
    SCALA_OK,
    SCALA_FILE_MISSING,      // no such file
    SCALA_FILE_UNREADABLE,   // it exists but cannot be read
    SCALA_FILE_FOLDER,       // it is a folder
    SCALA_FILE_TOO_LARGE,    // over SCALA_FILE_CAPACITY bytes
    SCALA_NO_COUNT,          // the file ends before its count line
    SCALA_BAD_COUNT,         // the count is not a whole number above 0
    SCALA_TOO_FEW_PITCHES,   // the file ends before the last pitch
    SCALA_BAD_PITCH,         // neither cents nor a ratio (an empty line too)
    SCALA_LONG_PITCH,        // longer than SCALA_LONGEST_PITCH bytes
    SCALA_ZERO_RATIO,        // 0, 0/5
    SCALA_NEGATIVE_RATIO,    // -3/2, 3/-2
    SCALA_ZERO_DENOMINATOR,  // 3/0
    SCALA_TINY_RATIO,        // below 1e-10, which the scale text ignores
    SCALA_CENTS_OUT_OF_RANGE,  // so far from the 1/1 that the ratio is 0 or infinite
};

// What the last read found.
struct ScalaFile {
    ScalaStatus status;
    int line;                                // 1-based line of a format fault; 0 for the file faults
    char token[SCALA_LONGEST_PITCH + 1];     // the count or pitch at fault, its first 120 bytes
    char description[SCALA_DESCRIPTION_SIZE];  // trimmed; cut at a UTF-8 character boundary
    int pitch_count;                         // pitches the file declares, 1..INT_MAX (0 before a count)
    int pitches_found;                       // pitches read before a fault, 0..pitch_count
    int pitches_used;                        // 1..SCALA_MAX_PITCHES when SCALA_OK: those that fit a scale
    char scale_text[SCALA_TEXT_SIZE];        // the used pitches, one space between, when SCALA_OK
};

// Reads a Scala file from its bytes (length bytes, not terminated, any
// content). Returns the status, also kept with the rest in scala_file().
ScalaStatus parse_scala_text(const char* bytes, size_t length);

// Reads the file at path through the platform and parses it.
ScalaStatus read_scala_file(const char* path);

// The result of the last parse or read.
const ScalaFile& scala_file();

// Back to the state at program start (tests).
void scala_file_reset();

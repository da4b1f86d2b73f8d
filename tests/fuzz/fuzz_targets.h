// The fuzz targets: each takes any bytes and checks the invariants that must
// hold for them, aborting (with the failed check on stderr) when one does
// not. libFuzzer drives them in the fuzzing build (scripts/fuzz); the test
// suite replays their seed corpora and every input that once failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// The scale text parser, degree ratios, and the notes of a scale on a port.
int fuzz_scale_text(const uint8_t* data, size_t size);
// The typed whole-number reader against an independent reading.
int fuzz_numbers(const uint8_t* data, size_t size);
// The voice lookup, the case-blind prefix test and the space collapsing.
int fuzz_voice_lookup(const uint8_t* data, size_t size);
// Escape-sequence decoding, key echo and line assembly.
int fuzz_console_bytes(const uint8_t* data, size_t size);
// The whole program on the test platform, the input as its console.
int fuzz_program(const uint8_t* data, size_t size);
// The Scala file reader, and the scale its pitches install.
int fuzz_scala_file(const uint8_t* data, size_t size);
// The built-in synthesizer's SoundFont reader and sample measuring (where the
// bridge is built).
int fuzz_soundfont(const uint8_t* data, size_t size);

// Replays every file of the named target's seed corpus and regressions
// through run; returns how many there were.
int fuzz_replay_corpus(const char* name, int (*run)(const uint8_t*, size_t));

// Every message the test platform recorded is a well-formed channel message
// (a status the program sends, channel in range, data bytes below 128, so
// every bend within 0..16383), no note ends before it started, and every
// note that started has ended.
void fuzz_check_midi_log();

#define FUZZ_CHECK(condition)                                                                    \
    do {                                                                                         \
        if (!(condition)) {                                                                      \
            std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort();                                                                        \
        }                                                                                        \
    } while (0)

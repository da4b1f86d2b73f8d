// The cost of sounding and ending one note with 0, 100 or 2047 notes already
// in play on 16 or 32 channels, and of installing a scale from text.
//
// The fake platform records every message; its log is cleared outside the
// timed region now and then so that it does not grow without bound.
#include "app/reset.h"
#include "midi/bridge.h"
#include "midi/channel.h"
#include "midi/device.h"
#include "platform/fake/fake_platform.h"
#include "retune/degrees.h"
#include "retune/notes.h"
#include "tuning/scale.h"
#include "tuning/scale_parser.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

namespace {

const char* const kDiatonic = "9/8 5/4 4/3 3/2 5/3 15/8 2/1";
constexpr size_t kLogLimit = 1 << 16;  // messages kept before the log is cleared

// A freshly started program with a device open: a port (16 channels) or the
// bridge (32 channels).
void open_program(int channels)
{
    program_reset();
    fake_reset();
    if (channels == 32) {
        fake_add_library(BRIDGE_RUNTIME_LIBRARY);
        fake_add_bridge(BRIDGE_LIBRARY);
        init_device_catalogue();
        open_device(0);
    } else {
        fake_add_port("Bench port");
        init_device_catalogue();
        open_device(0);
    }
}

// The diatonic scale with notes notes in play, all of degrees -7..7, which
// pre-tuning has given channels of their own.
void fill(int notes)
{
    set_scale(kDiatonic);
    for (int i = 0; i < notes; ++i)
        play_degree(i % 15 - 7, 100);
    fake_clear_messages();
}

void clear_log_when_long(benchmark::State& state)
{
    if (fake_messages().size() > kLogLimit) {
        state.PauseTiming();
        fake_clear_messages();
        state.ResumeTiming();
    }
}

// A note whose bend a channel already carries (the usual case): step 1 of
// the choice, then a release that scans past every note in play, since the
// degree (9, a major third an octave up) is not among them.
void BM_PlayRelease(benchmark::State& state)
{
    const int notes = static_cast<int>(state.range(0));
    open_program(static_cast<int>(state.range(1)));
    fill(notes);
    for (auto _ : state) {
        play_degree(9, 100);
        release_degree(9, 64);
        clear_log_when_long(state);
    }
    if (note_table().count != notes)
        state.SkipWithError("notes in play changed");
}

// The same note on a channel whose bend has just been marked unknown, as
// after a scale change: step 1 finds nothing, step 2 scans the notes in play
// for the MIDI note, and the bend goes out again.
void BM_PlayReleaseUnknownBend(benchmark::State& state)
{
    const int notes = static_cast<int>(state.range(0));
    open_program(static_cast<int>(state.range(1)));
    fill(notes);
    play_degree(9, 100);
    const int channel = note_table().entries[notes].channel;
    release_degree(9, 64);
    for (auto _ : state) {
        channel_state(channel).bend = UNKNOWN_BEND;
        play_degree(9, 100);
        release_degree(9, 64);
        clear_log_when_long(state);
    }
    if (note_table().count != notes)
        state.SkipWithError("notes in play changed");
}

// The worst note: every channel sounds notes of a bend of its own and 2047
// notes are in play, so the note takes the least recently used channel and
// ends its notes first (about 2047 / 15 or 2047 / 31 note-offs). Between
// notes, outside the timed region, the stolen channel is filled up again and
// the clock moves on, so that the steals go round the channels.
void BM_PlaySteal(benchmark::State& state)
{
    const int channels = static_cast<int>(state.range(0));
    open_program(channels);
    set_scale("");
    const int melodic = channels - 1;
    // A new reference pitch, and so a new bend, per group of notes: 300 steps
    // of 0.05 Hz stay within a semitone, so no two bends in use are equal.
    int k = 0;
    auto next_pitch = [&k]() {
        k = (k + 1) % 300;
        set_reference_pitch(300.0 + 0.05 * k);
    };
    for (int i = 0; i < NOTE_TABLE_CAPACITY - 1; ++i) {
        if (i % ((NOTE_TABLE_CAPACITY - 1) / melodic + 1) == 0)
            next_pitch();
        play_degree(0, 100);
    }
    fake_clear_messages();
    for (auto _ : state) {
        next_pitch();
        play_degree(1, 100);  // the same bend as degree 0 at this pitch
        release_degree(1, 64);
        state.PauseTiming();
        int note_offs = 0;
        for (const FakeMessage& m : fake_messages())
            note_offs += m.status == STATUS_NOTE_OFF;
        if (note_offs < (NOTE_TABLE_CAPACITY - 1) / melodic / 2) {
            state.SkipWithError("the note did not steal a full channel");
            break;
        }
        while (note_table().count < NOTE_TABLE_CAPACITY - 1)
            play_degree(0, 100);
        fake_clear_messages();
        fake_set_clock(fake_clock() + 1);  // each release stamps a newer time
        state.ResumeTiming();
    }
}

BENCHMARK(BM_PlaySteal)->Arg(16)->Arg(32)->ArgName("channels");

void note_arguments(benchmark::internal::Benchmark* b)
{
    for (int channels : {16, 32}) {
        for (int notes : {0, 100, 2047})
            b->Args({notes, channels});
    }
    b->ArgNames({"in_play", "channels"});
}

BENCHMARK(BM_PlayRelease)->Apply(note_arguments);
BENCHMARK(BM_PlayReleaseUnknownBend)->Apply(note_arguments);

void run_set_scale(benchmark::State& state, const std::string& text)
{
    open_program(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        set_scale(text.c_str());
        clear_log_when_long(state);
    }
}

void BM_SetScaleDiatonic(benchmark::State& state) { run_set_scale(state, kDiatonic); }

// 1022 entries in cents, the most a scale holds after the 1/1.
void BM_SetScale1022(benchmark::State& state)
{
    std::string text;
    char token[32];
    for (int i = 1; i <= 1022; ++i) {
        std::snprintf(token, sizeof token, "%.3f ", i * 1200.0 / 1022);
        text += token;
    }
    run_set_scale(state, text);
    if (scale_size() != 1023)
        state.SkipWithError("the scale did not fill");
}

BENCHMARK(BM_SetScaleDiatonic)->Arg(16)->Arg(32)->ArgName("channels")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SetScale1022)->Arg(16)->Arg(32)->ArgName("channels")->Unit(benchmark::kMicrosecond);

}  // namespace

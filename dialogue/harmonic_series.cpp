// The harmonic series test: a chord of consecutive harmonics over a low 1/1
// drifts up the series one harmonic per step and back down, the steps
// shortening and the notes softening by 0.95 each step. Steps are scheduled
// against the clock, so time spent sending does not accumulate.
#include "console/console.h"
#include "dialogue/commands.h"
#include "dialogue/listening_tests.h"
#include "dialogue/numbers.h"
#include "midi/channel.h"
#include "midi/device.h"
#include "platform/end_request.h"
#include "retune/degrees.h"
#include "retune/notes.h"
#include "tuning/scale.h"

#include <cmath>

namespace {

const char* const kPrompt =
    "\n\n****Harmonic Series test****\n\n"
    "Now, a drifting harmonic series chord, drifting up and then down\n"
    "the harmonic series.\n"
    "Enter the number of notes in the chord.\n"
    "To change the number of chords to play enter \"n 50\" to play 50 chords\n"
    "To change pitch of 1/1 enter frequency followed by \"hz\", or \"0 hz\" to reset to middle c\n"
    "Press return only for preset values of 10 notes and 100 chords\n"
    "\"next\" to move on to next option, \"start\" to start again or \"exit\" to exit.%s\n";

constexpr int kDefaultNotes = 10;
constexpr int kDefaultChords = 100;
constexpr int kNotesForZero = 20;  // what a typed 0 (or a line starting with n) gives
constexpr double kDecay = 0.95;    // per step, of both the step time and the velocity

struct HarmonicState {
    int notes;   // notes per chord, any int a user types (never 0)
    int chords;  // steps upwards, any int a user types (never 0)
} state;

// Degrees are computed in 64 bits from typed numbers and held to the int
// range when they reach the engine.
void play(long long degree, double velocity) { play_degree(saturate_int(degree), static_cast<int>(velocity)); }
void prepare(long long degree) { prepare_degree(saturate_int(degree)); }
void prepare_avoiding_newest(long long degree) { prepare_degree_avoid_newest(saturate_int(degree)); }
void release(long long degree) { release_degree(saturate_int(degree), 127); }

void read_settings(const char* line)
{
    if (line[0] == '\0')
        return;
    for (const char* c = line; *c != '\0'; ++c) {
        if (*c != 'n')
            continue;
        state.chords = typed_int(c + 1);
        if (state.chords == 0)
            state.chords = kDefaultChords;
        console_printf("\n****Play %d chords****\n", state.chords);
    }
    state.notes = typed_int(line);
    if (state.notes == 0)
        state.notes = kNotesForZero;
}

// One scheduled step: the velocity and step time shrink, and the pause runs
// to the step's end on the clock.
void end_step(long long step, double* velocity, double* step_time, double* target_time)
{
    double f = std::pow(kDecay, static_cast<double>(step));
    *velocity = 127.0 * f;
    *step_time = f;
    *target_time += f;
    pause_seconds(*target_time - seconds_since_open());
}

void drift()
{
    const long long notes = state.notes;
    const long long chords = state.chords;
    const long long total = chords + notes;
    set_scale("h 2");
    console_printf("\nDrifting harmonic series of %d chords, %d notes per chord\n", state.chords, state.notes);
    double velocity = 127.0;
    double step_time = 1.0;

    const int channels = channel_count();
    for (int s = 0; s < channels; ++s)
        prepare_avoiding_newest(s);
    pause_seconds(0.5);
    double target_time = seconds_since_open();

    // Typed counts have no upper bound, so a step may take no time at all:
    // every step looks for a request to end.
    for (long long i = 0; i < total; ++i) {
        stop_if_asked();
        if (i < chords) {
            play(i, velocity);
            end_step(i, &velocity, &step_time, &target_time);
        }
        if (i < total - 16)
            prepare(i + 20);
        if (i >= notes)
            release(i - notes);
    }

    for (int j = 0; j < channels; ++j)
        prepare_avoiding_newest(total - 1 - j);
    for (long long k = total - 1; k >= 0; --k) {
        stop_if_asked();
        if (k >= notes) {
            play(k - notes, velocity);
            end_step(k, &velocity, &step_time, &target_time);
        }
        if (k >= channels)
            prepare(k - channels);
        if (k < chords)
            release(k);
        pause_seconds(step_time);
    }
    // With the typed counts of a user's choosing (a negative number of notes)
    // the two ways release degrees they never played; whatever they left
    // sounding ends with the drift. Nothing is left after ordinary counts.
    release_all_notes(127);
}

}  // namespace

PromptAnswer harmonic_series_test()
{
    hz_command("55.0 hz");
    state.notes = kDefaultNotes;
    state.chords = kDefaultChords;
    for (;;) {
        console_printf(kPrompt, recommendation_tail());
        PromptAnswer answer = read_prompt_answer();
        if (answer == ANSWER_OWN) {
            read_settings(line_buffer());
            drift();
        } else if (answer != ANSWER_REPEAT) {
            return answer;
        }
    }
}

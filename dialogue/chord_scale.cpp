// The chord test and the scale test: a typed chord played as a broken chord,
// held, reported and released; a typed scale played note by note up or down
// from the 1/1.
#include "console/console.h"
#include "dialogue/listening_tests.h"
#include "dialogue/numbers.h"
#include "dialogue/scale_files.h"
#include "midi/device.h"
#include "retune/degrees.h"
#include "tuning/scale.h"

#include <cstdio>
#include <cstdlib>

namespace {

const char* const kChordPrompt =
    "\n\n****Things you can do at any time****\n\n"
    "To change pitch of 1/1 enter frequency followed by \"hz\"\n"
    "You can use \"0 hz\" to reset to middle c\n"
    "To change voice, enter \"voice\" then the instrument name\n"
    "e.g. \"voice harpsichord\" , to change voice to harpsichord,\n"
    "You can use just part of the instrument name, or it's number.\n"
    "For complete list of voices type \"voices\"\n\n"
    "****Chord test****\n\n"
    "Enter a chord to play in cents or ratios notation as intervals from 1/1\n"
    "Include decimal point for cents (SCALA convention).\n\n"
    "Just press return for the preset of a septimal minor chord 7/6 3/2 2/1\n\n"
    "Type \"next\" to move on to next option, \"start\" to start again or \"exit\" to exit.%s\n";

const char* const kScalePromptStart =
    "\n\n****Scale test****\n\n"
    "Enter a scale to play in cents or ratios notation as intervals from 1/1\n"
    "Include decimal point for cents (SCALA convention).\n\n"
    "You can use \"n(1/7)\" for 7 equal steps to an octave.\n\n"
    "Also use \"= 7\" for 7 equal steps to an octave.\n\n"
    "You can also use:\nh 2 for harmonic series.\n\n";

const char* const kScalePromptPreset =
    "Just press return for preset of the just intonation diatonic\n"
    "9/8 5/4 4/3 3/2 5/3 15/8 2/1\n"
    "\"next\" to move on to next option, \"start\" to start again or \"exit\" to exit.%s\n";

const char* const kScalePromptCurrent =
    "Just press return to keep the current scale:\n%s\n"
    "\"next\" to move on to next option, \"start\" to start again or \"exit\" to exit.%s\n";

const char* const kChordPreset = "7/6 3/2 2/1";

// The smallest number of equal steps "= N" takes; fewer would divide by zero.
constexpr double kFewestSteps = 1e-10;

void play_chord(const char* line)
{
    const char* chord = line[0] == '\0' ? kChordPreset : line;
    console_printf("You should now hear your chord as a broken chord\n\n");
    set_scale(chord);
    pause_seconds(0.5);
    int size = scale_size();
    for (int degree = 0; degree < size; ++degree) {
        play_degree(degree, 127);
        pause_seconds(1.0);
    }
    report_notes_in_play();
    pause_seconds(1.0);
    for (int degree = 0; degree < size; ++degree)
        release_degree(degree, 127);
}

// "= N" becomes the scale of N equal steps to the octave, written in the
// power form with a six-digit fraction, in the line buffer.
const char* rewrite_equal_steps(const char* line)
{
    double steps = std::strtod(line + 1, nullptr);
    if (steps < kFewestSteps)
        steps = kFewestSteps;
    std::snprintf(line_buffer(), LINE_BUFFER_SIZE, "n(%g/1)", 1.0 / steps);
    return line_buffer();
}

// scale: the line typed, or a file's pitches.
void play_scale(const char* scale)
{
    bool typed = scale[0] != '\0';
    if (typed) {
        if (scale[0] == '=')
            scale = rewrite_equal_steps(scale);
        set_scale(scale);
    }
    console_printf("Enter the number of notes of the scale to play (-ve number to descend from 1/1)\n"
                   "Or press return to play %d notes\n",
                   scale_size());
    int count = scale_size();
    if (typed) {
        char* answer = line_buffer();
        input_line(answer, LINE_BUFFER_SIZE);  // a plain number: not trimmed, not a command
        if (answer[0] != '\0')
            count = typed_int(answer);
    }
    console_printf("You should now hear your ascending scale of %d notes\n\n", count);
    pause_seconds(0.5);
    if (count == 0)
        return;
    int step = count > 0 ? 1 : -1;
    for (int degree = 0; degree != count; degree += step) {
        play_degree(degree, 127);
        pause_seconds(0.5);
        release_degree(degree, 127);
    }
}

}  // namespace

const char* const DIATONIC_PRESET = "9/8 5/4 4/3 3/2 5/3 15/8 2/1";

PromptAnswer chord_test()
{
    for (;;) {
        console_printf(kChordPrompt, recommendation_tail());
        recommendation_flag() = 0;
        PromptAnswer answer = read_prompt_answer();
        if (answer == ANSWER_OWN) {
            const char* chord = line_buffer();
            if (take_scale_file(&chord) != SCALE_LINE_REFUSED)
                play_chord(chord);
        } else if (answer != ANSWER_REPEAT) {
            return answer;
        }
    }
}

PromptAnswer scale_test()
{
    set_scale(DIATONIC_PRESET);
    bool preset_variant = true;
    for (;;) {
        console_printf("%s", kScalePromptStart);
        if (preset_variant)
            console_printf(kScalePromptPreset, recommendation_tail());
        else
            console_printf(kScalePromptCurrent, scale_text(), recommendation_tail());
        PromptAnswer answer = read_prompt_answer();
        if (answer == ANSWER_OWN) {
            // A refused file changes nothing, the prompt variant included.
            const char* scale = line_buffer();
            if (take_scale_file(&scale) != SCALE_LINE_REFUSED) {
                preset_variant = false;
                play_scale(scale);
            }
        } else if (answer != ANSWER_REPEAT) {
            return answer;
        }
    }
}

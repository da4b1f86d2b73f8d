// The play-from-keyboard test and the non-melodic percussion test: single
// keystrokes play scale degrees, or General MIDI percussion sounds on channel
// 9; the space bar switches sustain. While a key loop waits for a key, a MIDI
// keyboard plays too (live/live_play.h).
#include "console/console.h"
#include "dialogue/commands.h"
#include "dialogue/key_maps.h"
#include "dialogue/listening_tests.h"
#include "dialogue/scale_files.h"
#include "live/live_play.h"
#include "midi/device.h"
#include "retune/degrees.h"
#include "retune/notes.h"
#include "tuning/scale.h"

namespace {

const char* const kKeyboardPrompt =
    "\n\n****Play from p.c. keyboard test****\n\n"
    "Now, enter a scale to play in from p.c. keyboard\n"
    "Scale repeats at last interval - end with 2/1 for octave scales.\n\n"
    "Just press return for the preset of the just intonation diatonic\n"
    "9/8 5/4 4/3 3/2 5/3 15/8 2/1\n"
    "To change pitch of 1/1 enter frequency followed by \"hz\", or \"0 hz\" to reset to middle c\n"
    "\"next\" to move on to next option, \"start\" to start again or \"exit\" to exit.%s\n";

const char* const kPlayInstructions =
    "Now, play in the scale using numbers 0 to 9, or letters a to z for the\n"
    "scale degree. Press spaces to switch sustain on / off\n"
    "To change scale or pitch of 1/1 press return key.\n";

const char* const kPercussionIntro =
    "\n\n****Non Melodic Percussion test****\n\n"
    "Use numbers 0 to 9, letters a to z or punctuation\n"
    "to play various non melodic percussion instruments.\n\n"
    "Press spaces to switch sustain on / off, and press return key to exit program.\n";

const char* const kExitQuestion = "\nExit Program (press return again to exit, or N to continue)\n";

bool is_return(int key) { return key == 13 || key == 10; }

// The space bar: sustain on, or off and everything silenced. Returns the new state.
bool switch_sustain(bool sustain)
{
    if (sustain)
        release_all_notes(127);
    return !sustain;
}

// Plays degrees from keys until Return.
void play_from_keys()
{
    int last_degree = -1;
    uint32_t last_note = 0;  // the last key's note: a key ends this one, not a MIDI note of its degree
    bool sustain = false;
    live_loop_begin(LIVE_DEGREES);
    for (;;) {
        int key = live_input_key();
        if (is_return(key)) {
            live_loop_end();
            input_char();
            return;
        }
        if (key == ' ') {
            sustain = switch_sustain(sustain);
            continue;
        }
        if (last_degree >= 0 && !sustain)
            release_note(last_note, 127);
        int degree = keyboard_degree(key);
        if (degree < 0)
            degree = last_degree;  // an unmapped key plays the last degree again
        if (degree >= 0) {
            last_note = play_degree_note(degree, 127);
            last_degree = degree;
        }
    }
}

void install_typed_scale(const char* line)
{
    pause_seconds(0.5);
    const char* text = line[0] == '\0' ? DIATONIC_PRESET : (line[0] == '.' ? line + 1 : line);
    set_scale(text);
    pause_seconds(0.5);
    console_printf("%s", kPlayInstructions);
}

}  // namespace

PromptAnswer keyboard_test()
{
    hz_command("0.0 hz");
    for (;;) {
        // Every showing of the prompt starts from silence.
        release_all_notes(127);
        console_printf(kKeyboardPrompt, recommendation_tail());
        PromptAnswer answer = read_prompt_answer();
        if (answer == ANSWER_OWN) {
            const char* scale = line_buffer();
            if (take_scale_file(&scale) != SCALE_LINE_REFUSED) {
                install_typed_scale(scale);
                play_from_keys();
            }
        } else if (answer != ANSWER_REPEAT) {
            return answer;
        }
    }
}

PromptAnswer percussion_test()
{
    int last_index = -1;
    bool sustain = false;
    release_all_notes(127);
    console_printf("%s", kPercussionIntro);
    live_loop_begin(LIVE_PERCUSSION);
    for (;;) {
        int key = live_input_key();
        if (is_return(key)) {
            live_loop_end();
            input_char();
            release_all_notes(127);
            console_printf("%s", kExitQuestion);
            char* line = line_buffer();
            input_line(line, LINE_BUFFER_SIZE);
            trim_line(line);
            if (upper_ascii(static_cast<unsigned char>(line[0])) != 'N')
                return ANSWER_EXIT;
            key = static_cast<unsigned char>(line[0]);  // N goes on: it plays the sound of n
            live_loop_begin(LIVE_PERCUSSION);
        }
        if (key == ' ') {
            sustain = switch_sustain(sustain);
            continue;
        }
        if (last_index >= 0 && !sustain)
            release_percussion(last_index + PERCUSSION_NOTE_OFFSET);
        int index = percussion_index(key);
        if (index < 0)
            index = last_index;
        if (index >= 0) {
            play_percussion(index + PERCUSSION_NOTE_OFFSET, 127);
            last_index = index;
        }
    }
}

// The chord test and the scale test.
#include "app/console.h"
#include "app/listening_tests.h"

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

}  // namespace

PromptAnswer chord_test()
{
    for (;;) {
        console_printf(kChordPrompt, recommendation_tail());
        recommendation_flag() = 0;
        PromptAnswer answer = read_prompt_answer();
        if (answer != ANSWER_OWN && answer != ANSWER_REPEAT)
            return answer;
    }
}

PromptAnswer scale_test() { return chord_test(); }
PromptAnswer harmonic_series_test() { return chord_test(); }
PromptAnswer keyboard_test() { return chord_test(); }
PromptAnswer percussion_test() { return ANSWER_EXIT; }

// The prompt step and the recommendation; see prompt.h.
#include "dialogue/prompt.h"

#include "console/console.h"
#include "dialogue/bend_test.h"
#include "dialogue/commands.h"

namespace {

struct PromptState {
    int recommendation_flag;      // 1 = test prompts end with the recommendation tail
    char line[LINE_BUFFER_SIZE];  // the line typed at the last prompt
} state = {1, {}};

const char* const kRecommendationTail =
    "\n\nRecommended first time you try a device:\nType \"test\" to test the pitch bend range of your sound card / synth.";

}  // namespace

PromptAnswer read_prompt_answer()
{
    input_line(state.line, LINE_BUFFER_SIZE);
    if (handle_command(state.line))
        return ANSWER_REPEAT;
    if (equals_nocase(state.line, "test"))
        return pitch_bend_test(state.recommendation_flag) ? ANSWER_REPEAT : ANSWER_EXIT;
    if (equals_nocase(state.line, "start"))
        return ANSWER_START;
    if (equals_nocase(state.line, "exit"))
        return ANSWER_EXIT;
    if (equals_nocase(state.line, "next"))
        return ANSWER_NEXT;
    return ANSWER_OWN;
}

char* line_buffer() { return state.line; }

const char* recommendation_tail() { return state.recommendation_flag == 1 ? kRecommendationTail : ""; }

int& recommendation_flag() { return state.recommendation_flag; }

void prompt_reset()
{
    state.recommendation_flag = 1;
    state.line[0] = '\0';
}

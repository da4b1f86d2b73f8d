// The prompt step every listening test shares: a typed line is offered to
// the commands, then taken as "test", "start", "exit" or "next", and only
// otherwise left to the test; and the recommendation that ends the prompts
// until the pitch-bend range test has passed.
#pragma once

// What the prompt step made of a line.
enum PromptAnswer {
    ANSWER_OWN,     // the test's own input, now in the line buffer (trimmed)
    ANSWER_REPEAT,  // a command or the pitch-bend range test ran: show the prompt again
    ANSWER_NEXT,    // "next": on to the following test
    ANSWER_START,   // "start": back to the device menu
    ANSWER_EXIT,    // "exit", or the program is to end
};

// Steps 2 to 7 of the prompt step: reads a line into the line buffer, offers
// it to the commands, then to "test", "start", "exit" and "next".
PromptAnswer read_prompt_answer();

// The line buffer (LINE_BUFFER_SIZE bytes) holding the last typed line.
char* line_buffer();

// The tail that ends the test prompts while the recommendation flag is 1,
// else "".
const char* recommendation_tail();

// The recommendation flag: 1 while the test prompts end with the tail.
int& recommendation_flag();

// Back to the state at program start (tests).
void prompt_reset();

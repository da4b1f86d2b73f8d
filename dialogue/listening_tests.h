// The listening tests, in the order the driver runs them. Each shows its
// prompt, takes lines through the prompt step and returns how it was left:
// ANSWER_NEXT, ANSWER_START or ANSWER_EXIT.
#pragma once

#include "dialogue/prompt.h"

// The just diatonic scale the scale and keyboard tests offer as their preset.
extern const char* const DIATONIC_PRESET;

PromptAnswer chord_test();
PromptAnswer scale_test();
PromptAnswer harmonic_series_test();
PromptAnswer keyboard_test();
PromptAnswer percussion_test();

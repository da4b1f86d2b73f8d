// The pitch-bend range test: two notes four semitones apart, the lower bent
// fully up and the upper fully down, sound the same pitch on a synthesizer
// that obeys a bend range of +-2 semitones.
#pragma once

// Sends the two test notes on channels 0 and 1.
void play_bend_test_notes();

// Plays the notes and asks the user what they heard. Returns 1 to go on
// (the caller shows its prompt again), 0 when the program is to end. Sets
// recommendation_flag to 0 on a pass and to 1 when the user wants to try
// again.
int pitch_bend_test(int& recommendation_flag);

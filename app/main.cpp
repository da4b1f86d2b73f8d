// varenta-test: the console program that leads a musician through listening
// tests of microtonal playback on the MIDI port or synthesizer they choose.
#include "app/driver.h"

int main() { return run_program(); }

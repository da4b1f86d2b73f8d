// varenta-test: the console program that leads a musician through listening
// tests of microtonal playback on the MIDI port or synthesizer they choose,
// or measures a synthesizer's tuning. The one entry: the options are parsed
// before anything else runs, then one mode starts.
#include "app/options.h"

int main(int argc, char** argv) { return run_option_action(parse_options(argc, argv)); }

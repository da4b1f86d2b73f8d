// varenta-test: the console program that leads a musician through listening
// tests of microtonal playback on the MIDI port or synthesizer they choose.
#include "app/driver.h"
#include "app/options.h"

int main(int argc, char** argv)
{
    ProgramOptions options = parse_options(argc, argv);
    if (options.action != ACTION_RUN)
        return run_option_action(options);
    return run_program();
}

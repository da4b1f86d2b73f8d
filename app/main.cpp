// varenta-test: the console program that leads a musician through listening
// tests of microtonal playback on the MIDI port or synthesizer they choose.
#include "app/options.h"
#include "dialogue/driver.h"
#include "live/midi_source.h"

int main(int argc, char** argv)
{
    ProgramOptions options = parse_options(argc, argv);
    if (options.action != ACTION_RUN)
        return run_option_action(options);
    // Opened before anything is printed, so that a PORT that cannot be had
    // ends the program with one line on the error stream and nothing else.
    if (options.midi_in != nullptr) {
        int status = open_midi_input(options.midi_in);
        if (status != 0)
            return status;
    }
    return run_program();
}

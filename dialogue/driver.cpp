// Start-up, the device menu and the test sequence; see driver.h.
#include "dialogue/driver.h"

#include "console/console.h"
#include "dialogue/listening_tests.h"
#include "dialogue/prompt.h"
#include "live/midi_source.h"
#include "midi/bridge.h"
#include "midi/channel.h"
#include "midi/device.h"
#include "platform/end_request.h"
#include "retune/method.h"
#include "retune/notes.h"

namespace {

struct DriverState {
    int device_count;                   // catalogue entries, taken once at start
    OutputDevice chosen;                // the entry chosen at the device menu
} state = {0, {}};

const char* const kInstallMessage =
    "How to install Quicktime for Midi apps:\n\nVisit "
    "https://support.apple.com/downloads/quicktime"
    "\nChoose Custom Instll.\n\nThen choose to install Quicktime Music, and Quicktime for Java.\n\n"
    "If it doesn't let you install Quicktime for Java, then it probably\n\n"
    "means you don't yet have Java 2 runtime Environment installed\n\nYou can get it from\n\n"
    "https://www.java.com/download/"
    "\n";

const int kFirstProgram = 6;  // "Harpsichord"

// A failure exit: the message, then the wait for Return. No device is closed.
void failure_exit(const char* message)
{
    console_printf("%s", message);
    input_char();
}

// The device menu and the opening of the chosen device. Returns false when
// the program has ended through a failure exit.
bool choose_device()
{
    console_printf("Choose your Midi Out device to use - type its letter to select\n"
                   "Or just press return to select the first one.\n\n");
    for (int i = 0; i < state.device_count; ++i) {
        char name[sizeof state.chosen.name];
        console_printf("%c - %s\n", 65 + i, device_name(i, name, sizeof name));
    }
    bool bridge_available = load_bridge() != 0;
    if (!bridge_available)
        console_printf("%c - How to install QuickTime for Midi apps to use\n", 65 + state.device_count);

    char* line = line_buffer();
    input_line(line, LINE_BUFFER_SIZE);
    trim_line(line);
    // Only the first character counts; a byte above 127 is taken as a signed
    // value, so it names no entry.
    signed char letter = line[0] == '\0' ? 'A' : static_cast<signed char>(upper_ascii(
                                                     static_cast<unsigned char>(line[0])));
    OutputDevice& chosen = state.chosen;
    chosen.index = letter - 65;

    if (chosen.index == state.device_count && !bridge_available) {
        console_printf("%s", kInstallMessage);
        failure_exit("Press return to exit.");
        return false;
    }

    device_name(chosen.index, chosen.name, sizeof chosen.name);
    console_printf("Device selected:\n%c - %s\n", static_cast<char>(letter), chosen.name);
    bool quicktime = equals_nocase(chosen.name, QUICKTIME_NAME);
    if (quicktime)
        console_printf("\n\nInitialising QuickTime - may take a little while\n");

    if (open_device(chosen.index) == 0) {
        if (quicktime) {
            console_printf("\n\nCouldn't start up Quicktime\n\n%s", kInstallMessage);
            failure_exit("Press return to exit.");
        } else {
            failure_exit("Couldn't open Midi Out - perhaps it is already in use for another application."
                         "\n\nPress return to exit.");
        }
        return false;
    }
    if (quicktime)
        console_printf("QT initialised okay\n");
    tune_opened_device(chosen.name);
    set_program_all(kFirstProgram);
    return true;
}

// The five listening tests in order, until "start" or the end.
PromptAnswer run_tests()
{
    PromptAnswer answer = chord_test();
    if (answer == ANSWER_NEXT)
        answer = scale_test();
    if (answer == ANSWER_NEXT)
        answer = harmonic_series_test();
    if (answer == ANSWER_NEXT)
        answer = keyboard_test();
    if (answer == ANSWER_NEXT)
        answer = percussion_test();
    return answer;
}

// How the dialogue ended.
enum Ending {
    ENDING_EXIT,     // the exit path: "exit", an answer at the end of a test, end of input
    ENDING_FAILURE,  // a failure exit, after its wait for Return: no device is closed
    ENDING_REQUEST,  // a request to end (Ctrl-C, a hang-up, a termination signal)
};

// The dialogue from the banner to its end.
Ending run_dialogue()
{
    state.device_count = init_device_catalogue();
    recommendation_flag() = 1;
    console_printf("Test of the Varenta routines.\n\n");
    for (;;) {
        if (!choose_device())
            return ENDING_FAILURE;
        if (run_tests() == ANSWER_EXIT)
            return ENDING_EXIT;
    }
}

}  // namespace

int run_program()
{
    platform_watch_end_requests();
    Ending ending;
    int request = 0;
    try {
        ending = run_dialogue();
    } catch (const InputEnded&) {
        ending = ENDING_EXIT;
    } catch (const EndRequested& asked) {
        ending = ENDING_REQUEST;
        request = asked.request;
    }
    // Whatever ended the dialogue, no note is left sounding. On the ordinary
    // paths nothing is in play by now, so this sends nothing.
    end_every_note();
    if (ending != ENDING_FAILURE)
        close_device();
    close_midi_input();
    if (ending == ENDING_REQUEST)
        platform_end_by_request(request);
    return 0;
}

void driver_reset()
{
    state.device_count = 0;
    state.chosen.index = 0;
    state.chosen.name[0] = '\0';
}

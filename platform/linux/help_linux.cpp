// What --help tells about the Linux build: its device menu, and the manual
// page and README it installs. VARENTA_README_PATH comes from the build.
#include "platform/platform.h"

const char* const PLATFORM_DEVICE_HELP =
    "Choosing a device: the program lists by letter the synthesizers it can play\n"
    "on: the system's default synthesizer, ALSA sequencer ports, JACK MIDI ports\n"
    "(while a JACK server is running) and, last, \"QuickTime\", the built-in\n"
    "synthesizer (FluidSynth with a General MIDI SoundFont), which gives sound\n"
    "straight away. Type the letter, or press Return for the first entry.\n";

const char* const PLATFORM_DOCUMENTATION_HELP = "Manual: man varenta-test\nREADME: " VARENTA_README_PATH "\n";

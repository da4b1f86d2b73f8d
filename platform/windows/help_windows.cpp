// What --help tells about the Windows build: its device menu, and the README
// that comes with the program.
#include "platform/platform.h"

const char* const PLATFORM_DEVICE_HELP =
    "Choosing a device: the program lists by letter the synthesizers it can play\n"
    "on: \"Standard Device - Midi Mapper\", the system's own General MIDI\n"
    "synthesizer, which gives sound straight away, then every MIDI output port\n"
    "and, last, \"QuickTime\" when QTJavaNative.dll and SonvexLib.dll can be\n"
    "loaded. Type the letter, or press Return for the first entry.\n";

const char* const PLATFORM_DOCUMENTATION_HELP = "README: README.md, which comes with the program\n";

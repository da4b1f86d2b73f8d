// The software-synthesizer bridge as the Linux build names it: the project's
// libsonvex.so on FluidSynth's runtime, exporting plain C names.
#include "platform/platform.h"

const char* const PLATFORM_BRIDGE_RUNTIME_LIBRARY = "libfluidsynth.so.3";
const char* const PLATFORM_BRIDGE_LIBRARY = "libsonvex.so";
const char* const PLATFORM_BRIDGE_EXPORT_CLEANUP = "Sonvex_CleanUp_SME";
const char* const PLATFORM_BRIDGE_EXPORT_INITIALISE = "Sonvex_Initialise_SME";
const char* const PLATFORM_BRIDGE_EXPORT_DELAY = "Sonvex_Delay";
const char* const PLATFORM_BRIDGE_EXPORT_SEND = "Sonvex_SendMidiEvent";

// The software-synthesizer bridge as Windows names it: QuickTime for Java's
// native library, which the bridge needs, and SonvexLib.dll, whose exports
// carry the decorated names of 32-bit stdcall functions (a leading underscore,
// then @ and the bytes of arguments). A 64-bit bridge exports the same names
// through its .def file.
#include "platform/platform.h"

const char* const PLATFORM_BRIDGE_RUNTIME_LIBRARY = "QTJavaNative.dll";
const char* const PLATFORM_BRIDGE_LIBRARY = "SonvexLib.dll";
const char* const PLATFORM_BRIDGE_EXPORT_CLEANUP = "_Sonvex_CleanUp_SME@0";
const char* const PLATFORM_BRIDGE_EXPORT_INITIALISE = "_Sonvex_Initialise_SME@0";
const char* const PLATFORM_BRIDGE_EXPORT_DELAY = "_Sonvex_Delay@8";
const char* const PLATFORM_BRIDGE_EXPORT_SEND = "_Sonvex_SendMidiEvent@16";

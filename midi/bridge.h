// The software-synthesizer bridge.
//
// Besides the MIDI ports, the program can play on a General MIDI software
// synthesizer reached through a bridge library (on Linux libsonvex.so, built
// by the project on FluidSynth). The synthesizer runtime is loaded
// first, then the bridge; when both load, the device catalogue lists the
// "QuickTime" entry. Starting the bridge routes every channel message to its
// send function, and 32 channels are in use instead of 16.
#pragma once

#include "platform/platform.h"

// File names the two libraries are loaded by (the system's search rules
// apply), and the bridge's export names, looked up in the order below. Both
// differ between systems, so they are the platform's (platform.h).
inline const char* const& BRIDGE_RUNTIME_LIBRARY = PLATFORM_BRIDGE_RUNTIME_LIBRARY;  // only loaded
inline const char* const& BRIDGE_LIBRARY = PLATFORM_BRIDGE_LIBRARY;  // the bridge with its four exports
// The same bridge able to render offline too (loaded only to measure it).
inline const char* const& BRIDGE_OFFLINE_LIBRARY = PLATFORM_BRIDGE_OFFLINE_LIBRARY;
inline const char* const& BRIDGE_EXPORT_CLEANUP = PLATFORM_BRIDGE_EXPORT_CLEANUP;
inline const char* const& BRIDGE_EXPORT_INITIALISE = PLATFORM_BRIDGE_EXPORT_INITIALISE;
inline const char* const& BRIDGE_EXPORT_DELAY = PLATFORM_BRIDGE_EXPORT_DELAY;
inline const char* const& BRIDGE_EXPORT_SEND = PLATFORM_BRIDGE_EXPORT_SEND;

// Loads both libraries (those already loaded stay loaded) and looks up the
// four exports, each empty where missing. Returns 1 when both are loaded.
int load_bridge();

// Loads the bridge, makes it active and initialises the synthesizer.
// Returns the initialise function's result (non-zero = ready), 0 when the
// libraries cannot be loaded or the bridge has no initialise function.
int start_bridge();

// Shuts the synthesizer down and releases both libraries, when active.
void stop_bridge();

// Output goes to the bridge and 32 channels are in use.
bool bridge_active();

// While active and the bridge has a send function: plays the message on the
// bridge (status without channel, channel 0..31) and returns true.
bool bridge_send(int status, int channel, int data1, int data2);

// Puts the offline build of the bridge in the place of the bridge (releasing
// the bridge when it is loaded but not active) and starts its synthesizer,
// with the SoundFont the bridge plays, at sample_rate Hz and without audio
// output: its sound is rendered on demand by bridge_render instead. Opening
// the "QuickTime" entry afterwards plays on it. Returns 1 when it is ready,
// 0 when it cannot be loaded or started.
int start_offline_bridge(int sample_rate);

// Where the offline bridge's key corrections (its SoundFont's samples
// retuned key by key) come from; the values are the bridge's own.
enum BridgeCorrections {
    BRIDGE_CORRECTIONS_NONE = 0,     // none yet: played as the SoundFont states itself
    BRIDGE_CORRECTIONS_CACHED = 1,   // worked out by an earlier start, from the user's cache
    BRIDGE_CORRECTIONS_SHIPPED = 2,  // shipped with the program for this very SoundFont
    BRIDGE_CORRECTIONS_UNKNOWN = -1  // no offline bridge started, or one that cannot tell
};

// The offline bridge's key corrections, and how many keys of General MIDI
// program (0..127, bank 0) they correct in corrected_keys (0 unless
// CACHED or SHIPPED).
BridgeCorrections bridge_corrections(int program, int* corrected_keys);

// Renders the next frames of the offline bridge's sound into left and right
// (each holding frames floats). False when no offline bridge is started.
bool bridge_render(int frames, float* left, float* right);

// Back to the state at program start, releasing what is loaded (tests).
void bridge_reset();

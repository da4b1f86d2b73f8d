// libsonvex: the bridge between the program and a General MIDI software
// synthesizer (FluidSynth with a GM SoundFont). The program loads it by file
// name and calls the four functions below, all with C linkage.
#pragma once

#if defined(SONVEX_BUILDING_LIBRARY)
#define SONVEX_EXPORT __attribute__((visibility("default")))
#else
#define SONVEX_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Starts the synthesizer: 32 MIDI channels (9 the only drum channel), the GM
// SoundFont with its melodic presets tuned (from the user's cache or the
// tunings shipped for the SoundFont; otherwise measured in the background,
// at low priority, each preset taking effect as soon as it is ready, the
// programs the channels play first), chorus
// off, a bend of 0 or 16383 sounding two semitones down or up, real-time
// audio through the first output that opens. Returns non-zero
// when it is ready to sound, 0 (quietly) when no SoundFont or no audio output
// can be opened. Calling it again while started returns non-zero at once.
SONVEX_EXPORT int Sonvex_Initialise_SME(void);

// Plays one channel message at once. status: 0x80 note off, 0x90 note on,
// 0xB0 control change, 0xC0 program change (data2 unused), 0xE0 pitch bend
// (data1 low 7 bits, data2 high 7 bits); the channel is not part of status.
// channel: 0..31. Returns 1 when the synthesizer took it, 0 otherwise.
SONVEX_EXPORT int Sonvex_SendMidiEvent(int status, int channel, int data1, int data2);

// Stops audio and frees the synthesizer. Safe to call at any time, and twice.
SONVEX_EXPORT void Sonvex_CleanUp_SME(void);

// Kept for callers that look it up; does nothing and returns 0.
SONVEX_EXPORT int Sonvex_Delay(int unused1, int unused2);

// Where the key tunings in place come from (Sonvex_TestOnly_Corrections).
#define SONVEX_CORRECTIONS_NONE 0       // none yet: the SoundFont plays as it states itself
#define SONVEX_CORRECTIONS_CACHED 1     // from the user's cache, worked out by an earlier start
#define SONVEX_CORRECTIONS_SHIPPED 2    // shipped with the program for this very SoundFont
#define SONVEX_CORRECTIONS_MEASURING 3  // the first measuring is under way: the presets done so far

#ifdef SONVEX_OFFLINE_RENDER
// ---- Offline rendering, in the offline build of the bridge only ----
// (the tests' build, and the second library the program loads to measure the
// built-in synthesizer from its own render)
// Starts the synthesizer as Sonvex_Initialise_SME does, but with the given
// SoundFont file (nullptr: the one Sonvex_Initialise_SME would load) and
// sample rate (Hz), no audio output and no reverberation, so that the caller
// can render the notes' own sound itself; in_tune 0 leaves the presets as the
// SoundFont states them (to measure what the tuning corrects), 1 tunes them
// before it returns, 2 as the real start does (from the cache at once, else
// in the background), 3 from the cache alone (else as stated). Anything
// started before is cleaned up first. Returns non-zero when ready.
SONVEX_EXPORT int Sonvex_TestOnly_InitialiseOffline(const char* soundfont_path, int sample_rate, int in_tune);

// Where the offline starts after this keep the tunings they work out
// (directory created when missing), as the real start keeps them in the
// user's cache; nullptr or "" (the default): worked out afresh each time,
// but for the default SoundFont, which uses the real start's cache.
SONVEX_EXPORT void Sonvex_TestOnly_SetTuningCache(const char* directory);

// How many presets have a key tuning installed so far.
SONVEX_EXPORT int Sonvex_TestOnly_TunedPresets(void);

// Where the key tunings in place come from (SONVEX_CORRECTIONS_*), and, when
// corrected_keys is given, how many keys of the preset of bank and program
// (0..127 each) they correct (0 for none or out of range).
SONVEX_EXPORT int Sonvex_TestOnly_Corrections(int bank, int program, int* corrected_keys);

// Renders the next frames (> 0) of stereo audio into left and right, each
// holding at least frames floats. Returns 1, or 0 when nothing is started.
SONVEX_EXPORT int Sonvex_TestOnly_Render(int frames, float* left, float* right);
#endif

#ifdef __cplusplus
}
#endif

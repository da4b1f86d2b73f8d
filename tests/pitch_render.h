// Offline pitch measurement through the real bridge library.
//
// Timed bridge messages (as the program hands them to the bridge's send
// function) are played into libsonvex.so started in its offline mode, the
// audio is rendered in step with the messages' times, and the pitch of
// every note is measured from the audio. With the sine SoundFont of
// sine_soundfont.h every note is a pure tone, so the measured frequency is
// the synthesizer's own pitch arithmetic, to a small fraction of a cent.
#pragma once

#include "platform/fake/fake_platform.h"

#include <cstddef>
#include <string>
#include <vector>

// One message to the bridge: status without channel (0x80, 0x90, 0xB0, 0xC0,
// 0xE0), channel 0..31, the two data bytes, and when it is sent.
struct BridgeEvent {
    double time_ms;
    int status;
    int channel;
    int data1;
    int data2;
};

// Appends a pitch bend (14-bit) on channel at time_ms.
void add_bend(std::vector<BridgeEvent>& events, double time_ms, int channel, int bend);
// Appends a note as the program plays one: its channel's bend, the note-on
// at velocity 127, and the note-off.
void add_note(std::vector<BridgeEvent>& events, double on_ms, double off_ms, int channel, int key, int bend);

// The bridge messages of a fake-platform log (port messages are left out),
// each at the virtual time it was sent.
std::vector<BridgeEvent> bridge_events(const std::vector<FakeMessage>& log);

// The bridge library loaded directly (not through the program), to drive it
// from a test: started offline, fed messages, rendered.
class OfflineBridge {
public:
    // Loads the library; throws std::runtime_error when it cannot be loaded
    // or lacks one of the exports used here. The library stays in memory
    // until the process ends: FluidSynth registers GLib types when it first
    // starts a synthesizer, and after an unload and reload it waits forever
    // to register them again.
    explicit OfflineBridge(const std::string& library_path);
    // Cleans the synthesizer up and drops this handle on the library.
    ~OfflineBridge();
    OfflineBridge(const OfflineBridge&) = delete;
    OfflineBridge& operator=(const OfflineBridge&) = delete;

    // The offline start: the given SoundFont, no audio output; in_tune false
    // leaves the presets as the SoundFont states them.
    bool start(const std::string& soundfont_path, int sample_rate, bool in_tune = true);
    // The offline start as the real one tunes: from the cache at once, else
    // measured in the background while the synthesizer already plays.
    bool start_tuning_in_background(const std::string& soundfont_path, int sample_rate);
    // The offline start the measuring uses: the cache's tunings, else none.
    bool start_from_cache(const std::string& soundfont_path, int sample_rate);
    // Where the starts after this keep their tunings; "" (the default):
    // worked out afresh each time.
    void set_tuning_cache(const std::string& directory);
    // How many presets have a key tuning installed so far.
    int tuned_presets();
    // The bridge's own initialise, as the program calls it.
    int initialise();
    bool send(int status, int channel, int data1, int data2);
    // Renders frames more and appends them to mix as (left + right) / 2.
    // False when the bridge does not render (not started).
    bool render(size_t frames, std::vector<float>& mix);
    void cleanup();

private:
    typedef int (*InitialiseFunction)();
    typedef int (*InitialiseOfflineFunction)(const char* soundfont_path, int sample_rate, int in_tune);
    typedef int (*RenderFunction)(int frames, float* left, float* right);
    typedef int (*SendFunction)(int status, int channel, int data1, int data2);
    typedef void (*CleanUpFunction)();
    typedef void (*SetTuningCacheFunction)(const char* directory);
    typedef int (*TunedPresetsFunction)();

    template <class Function>
    Function find(const char* name);

    void* handle_;
    InitialiseFunction initialise_;
    InitialiseOfflineFunction initialise_offline_;
    RenderFunction render_;
    SendFunction send_;
    CleanUpFunction cleanup_;
    SetTuningCacheFunction set_tuning_cache_;
    TunedPresetsFunction tuned_presets_;
};

// One note found in the messages, and its measured pitch.
struct MeasuredNote {
    int channel;
    int key;
    int velocity;
    int bend;             // the channel's 14-bit bend while the note sounded (8192 until one is sent)
    double on_ms;         // note-on time
    double off_ms;        // note-off time, or the end of the render
    double window_ms;     // length of the steady stretch that was measured; 0 = none
    double frequency_hz;  // measured frequency; NaN when the note could not be measured
    double amplitude;     // amplitude of the measured tone, 1 = full scale; 0 when not measured
    // The frequency measured again over the same stretch less its first
    // RenderSettings::remeasure_after_ms; NaN when not asked for or not measured.
    double remeasured_hz;
};

struct RenderSettings {
    std::string library_path;    // the bridge library to load (libsonvex.so)
    std::string soundfont_path;  // the SoundFont the synthesizer plays
    int sample_rate = 44100;     // Hz
    double tail_ms = 300.0;      // rendered after the last message
    double settle_ms = 40.0;     // left out after a note starts (or its bend changes)
    // The same per note, in the order the notes start; notes beyond its end
    // take settle_ms. For sampled instruments: the time to reach the loop.
    std::vector<double> note_settle_ms;
    double margin_ms = 5.0;      // left out before a note ends (or its bend changes)
    double max_window_ms = 1000.0;  // longest stretch measured per note
    double search_cents = 60.0;  // the pitch is looked for this far around the note's nominal pitch
    int harmonics = 1;           // 1: a pure tone; more: the fundamental from that many harmonics
    double clear_ratio = 0.05;   // with harmonics > 1: how clear the loudest one stands (measure_fundamental)
    bool in_tune = true;         // the bridge's key tunings installed (false: as the SoundFont states)
    std::string tuning_cache;    // where the bridge keeps its tunings; "": worked out for each render
    double remeasure_after_ms = 0.0;  // > 0: each note measured a second time (MeasuredNote::remeasured_hz)
};

// Starts the bridge library offline with the SoundFont, sends the events in
// time order while rendering audio up to each one's time, and measures every
// note (every note-on with velocity > 0, in the order sent). The nominal
// pitch a note is looked for at is its key moved by its bend at 4096 units a
// semitone. Throws std::runtime_error when the library cannot be loaded or
// started. The library is cleaned up and released again before returning.
std::vector<MeasuredNote> render_and_measure(const std::vector<BridgeEvent>& events,
                                             const RenderSettings& settings);

// The frequency of the strongest tone within search_cents of guess_hz in
// samples[0 .. count) (sample_rate Hz): the estimator (pitch/harmonic_pitch.h)
// on its first harmonic alone, which for a lone line is the line's
// frequency. NaN when no tone stands out there: the strongest point lies at
// the edge of the range, or the spectrum five resolutions either side of it
// is not below a twentieth of it (leakage of a tone outside the range, or
// silence). amplitude, when given, receives the tone's amplitude (0 with
// NaN).
double measure_frequency(const float* samples, size_t count, double sample_rate, double guess_hz,
                         double search_cents, double* amplitude = nullptr);

// The fundamental of a harmonic tone near guess_hz in samples[0 .. count)
// (sample_rate Hz), as the bridge measures it (pitch/harmonic_pitch.h): the
// strongest of its first harmonics (up to harmonics, 1..16) within
// search_cents of a multiple of guess_hz, clear by clear_ratio, sets the
// pitch; each harmonic's band gives its power-weighted mean frequency, and
// the fundamental is their frequencies over their numbers, averaged with
// their energies as weights. NaN when no harmonic stands out clear.
// amplitude, when given, receives the amplitude of the harmonics together
// (0 with NaN).
double measure_fundamental(const float* samples, size_t count, double sample_rate, double guess_hz,
                           double search_cents, int harmonics, double* amplitude = nullptr,
                           double clear_ratio = 0.05);

// The frequency FluidSynth 2.3 gives a note of the sine SoundFont for a key
// and a 14-bit bend, with the bend range range_cents for a full swing and the
// key tuned raise_cents above equal temperament: the pitch in cents above
// MIDI note 0, 100 * key + raise_cents + range_cents * (bend - 8192) / 8192,
// cut down to a whole cent, as a frequency relative to the sine's root.
double fluidsynth_pitch_hz(int key, int bend, double range_cents = 200.0, double raise_cents = 0.0);

// The bridge raises every key by half a cent, which turns FluidSynth's cut
// into a rounding to the nearest cent.
constexpr double BRIDGE_RAISE_CENTS = 0.5;
double bridge_pitch_hz(int key, int bend);

// The interval from reference_hz up to hz, in cents.
double cents_above(double hz, double reference_hz);

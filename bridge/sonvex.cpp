// libsonvex: the software-synthesizer bridge; see sonvex.h.
//
// One FluidSynth synthesizer with 32 MIDI channels, the General MIDI
// SoundFont and a real-time audio output. Nothing here talks to the console:
// FluidSynth's log is switched off before anything else happens.
//
// The synthesizer is kept in tune: every melodic preset gets a key tuning
// that makes up for its samples' own mistuning (soundfont_pitch.h), and a
// channel switches to its preset's tuning with every program change. For
// the SoundFont Debian installs by default the tunings ship with the program
// (shipped_tunings.h) and are in place before the first note. Any other
// SoundFont is measured once, on low-priority threads while the synthesizer
// already plays, the programs the channels play first (first_measuring.h):
// each preset's tuning is installed as soon as it is ready (FluidSynth's API
// is safe to call from any thread), and the whole is kept in the user's
// cache and read from there on later starts.
#include "bridge/first_measuring.h"
#include "bridge/shipped_tunings.h"
#include "bridge/sonvex.h"
#include "bridge/soundfont_pitch.h"
#include "platform/posix/quiet_stderr.h"

#include <fluidsynth.h>

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

struct SonvexState {
    fluid_settings_t* settings;    // the synthesizer's settings; nullptr while stopped
    fluid_synth_t* synth;          // the synthesizer; nullptr while stopped
    fluid_audio_driver_t* driver;  // real-time output; nullptr offline and while stopped
    // [bank][program], banks and programs 0..127: how many keys of the
    // preset the key tuning installed in the synthesizer corrects, 1..128; 0
    // where none is installed. Guarded by tuner.lock.
    int corrected_keys[128][128];
    // Where the installed tunings come from (SONVEX_CORRECTIONS_*). Guarded by tuner.lock.
    int corrections;
} state;

// The thread that works the tunings out when the cache has none.
struct TunerState {
    std::thread thread;              // joinable while it runs or until joined
    std::atomic<bool> stop{false};   // true: give up as soon as possible
    std::mutex lock;                 // held while corrected_keys or a channel's tuning changes
    MeasuringOrder order;            // the programs the channels have played, for the first measuring

    // The program ends without cleaning the bridge up (it keeps the library
    // loaded to the end): a thread still joinable here would abort the
    // process as it exits, so it is told to stop and waited for (within one
    // window's measurement).
    ~TunerState()
    {
        if (thread.joinable()) {
            stop = true;
            thread.join();
        }
    }
} tuner;

// Where the offline start keeps its tunings; empty: worked out afresh each
// time. Set by the test build only.
std::string offline_cache_directory;

// Niceness of the tuning thread: the audio and the program come first.
constexpr int kTunerNiceness = 15;

constexpr int kChannels = 32;         // MIDI channels 0..31
constexpr int kDrumChannel = 9;       // the only percussion channel
constexpr int kSampleRate = 44100;    // Hz, real-time output
constexpr int kBendSemitones = 2;     // pitch-wheel sensitivity of every channel

// FluidSynth's standard pitch-wheel modulator multiplies the wheel position
// (-1..+1) by the sensitivity divided by 128 (it scales 7-bit sources over
// 128 steps) and by its amount, 12700: a range of N semitones sounds as
// 12700 * N / 128 cents, 0.8 % short. FluidSynth 2.3 keeps that modulator
// apart from the default modulators fluid_synth_add_default_mod() edits: one
// with the same sources and destination goes in beside it, and both act
// (measured: amounts of 0 leave the range as it was, -12700 silences the
// wheel). So the bridge adds the missing 100, for 12800 in all, which makes
// the range exactly 100 * N cents.
constexpr double kStandardPitchWheelAmount = 12700.0;
constexpr double kPitchWheelAmount = 12800.0;

// Where Debian's SoundFont packages put General MIDI SoundFonts, and the
// names to prefer there (fluid-soundfont-gm, then the system default).
const char* const kSoundFontDirectory = "/usr/share/sounds/sf2";
const char* const kPreferredSoundFonts[] = {"FluidR3_GM.sf2", "default-GM.sf2"};

// Real-time outputs in the order they are tried; any other driver this
// FluidSynth offers comes after them, except "file", which is no output.
const char* const kPreferredDrivers[] = {"pulseaudio", "alsa", "jack", "sdl2", "oss"};
const char* const kNotAnOutput = "file";

void silence_fluidsynth()
{
    // No handler at all (rather than one of ours) so that FluidSynth never
    // calls into this library after it has been unloaded.
    for (int level = FLUID_PANIC; level <= FLUID_DBG; ++level)
        fluid_set_log_function(level, nullptr, nullptr);
}

bool is_regular_file(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool has_sf2_suffix(const std::string& name)
{
    if (name.size() < 5)
        return false;
    std::string suffix = name.substr(name.size() - 4);
    std::transform(suffix.begin(), suffix.end(), suffix.begin(), [](unsigned char c) {
        return static_cast<char>(std::tolower(c));
    });
    return suffix == ".sf2";
}

// The SoundFonts to try, best first: the preferred names, then every other
// .sf2 file in the directory in name order. Empty when there is none.
std::vector<std::string> soundfont_candidates()
{
    std::vector<std::string> candidates;
    const std::string directory = kSoundFontDirectory;
    for (const char* name : kPreferredSoundFonts) {
        std::string path = directory + "/" + name;
        if (is_regular_file(path))
            candidates.push_back(path);
    }
    std::vector<std::string> others;
    if (DIR* dir = opendir(kSoundFontDirectory)) {
        while (const dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            std::string path = directory + "/" + name;
            bool preferred = std::find(std::begin(kPreferredSoundFonts), std::end(kPreferredSoundFonts), name) !=
                             std::end(kPreferredSoundFonts);
            if (!preferred && has_sf2_suffix(name) && is_regular_file(path))
                others.push_back(path);
        }
        closedir(dir);
    }
    std::sort(others.begin(), others.end());
    candidates.insert(candidates.end(), others.begin(), others.end());
    return candidates;
}

// Completes FluidSynth's pitch-wheel modulator so that a full swing is
// exactly the channel's sensitivity, and gives every channel +-2 semitones.
bool set_exact_pitch_wheel(fluid_synth_t* synth)
{
    fluid_mod_t* mod = new_fluid_mod();
    if (mod == nullptr)
        return false;
    // The same sources, flags and destination as the standard modulator;
    // overwriting (rather than adding) keeps a second call from counting twice.
    fluid_mod_set_source1(mod, FLUID_MOD_PITCHWHEEL,
                          FLUID_MOD_GC | FLUID_MOD_LINEAR | FLUID_MOD_BIPOLAR | FLUID_MOD_POSITIVE);
    fluid_mod_set_source2(mod, FLUID_MOD_PITCHWHEELSENS,
                          FLUID_MOD_GC | FLUID_MOD_LINEAR | FLUID_MOD_UNIPOLAR | FLUID_MOD_POSITIVE);
    fluid_mod_set_dest(mod, GEN_PITCH);
    fluid_mod_set_amount(mod, kPitchWheelAmount - kStandardPitchWheelAmount);
    bool ok = fluid_synth_add_default_mod(synth, mod, FLUID_SYNTH_OVERWRITE) == FLUID_OK;
    delete_fluid_mod(mod);
    for (int channel = 0; channel < kChannels && ok; ++channel)
        ok = fluid_synth_pitch_wheel_sens(synth, channel, kBendSemitones) == FLUID_OK;
    return ok;
}

// Channel 9 plays percussion; every other channel, 25 included, is melodic
// and selects from bank 0.
bool set_channel_types(fluid_synth_t* synth)
{
    for (int channel = 0; channel < kChannels; ++channel) {
        bool drum = channel == kDrumChannel;
        if (fluid_synth_set_channel_type(synth, channel, drum ? CHANNEL_TYPE_DRUM : CHANNEL_TYPE_MELODIC) != FLUID_OK)
            return false;
        if (!drum && fluid_synth_bank_select(synth, channel, 0) != FLUID_OK)
            return false;
    }
    return true;
}

// Where the tunings worked out for a SoundFont are kept: the user's cache
// folder (XDG_CACHE_HOME, else ~/.cache), "varenta" in it; empty without
// either.
std::string tuning_cache_directory()
{
    const char* cache = getenv("XDG_CACHE_HOME");
    if (cache != nullptr && cache[0] == '/')
        return std::string(cache) + "/varenta";
    const char* home = getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return std::string(home) + "/.cache/varenta";
    return "";
}

// Gives a melodic channel the key tuning of the preset it now plays (none
// when the preset has none); notes already sounding keep theirs. The
// percussion channel is never tuned. Called with tuner.lock held.
void switch_channel_tuning_locked(int channel)
{
    if (channel == kDrumChannel)
        return;
    int soundfont = 0, bank = -1, program = -1;
    fluid_synth_get_program(state.synth, channel, &soundfont, &bank, &program);
    if (bank >= 0 && bank < 128 && program >= 0 && program < 128 && state.corrected_keys[bank][program] > 0)
        fluid_synth_activate_tuning(state.synth, channel, bank, program, 0);
    else
        fluid_synth_deactivate_tuning(state.synth, channel, 0);
}

void switch_channel_tuning(int channel)
{
    std::lock_guard<std::mutex> hold(tuner.lock);
    switch_channel_tuning_locked(channel);
}

// The preset channel now plays is measured next, where the first measuring
// has not come to it yet.
void want_measured_first(int channel)
{
    int soundfont = 0, bank = -1, program = -1;
    if (channel != kDrumChannel && tuner.thread.joinable() &&
        fluid_synth_get_program(state.synth, channel, &soundfont, &bank, &program) == FLUID_OK)
        tuner.order.ask(bank, program);
}

// Installs a key tuning for every preset of tunings with a corrected key
// (tuning bank and program = the preset's bank and program), gives every
// channel its preset's, and notes where they come from.
void install_key_tunings(const std::vector<PresetTuning>& tunings, int corrections)
{
    std::lock_guard<std::mutex> hold(tuner.lock);
    for (const PresetTuning& t : tunings) {
        const int corrected = static_cast<int>(std::count(std::begin(t.corrected), std::end(t.corrected), true));
        // A preset none of whose keys is corrected plays untuned, exactly as before.
        if (corrected > 0 &&
            fluid_synth_activate_key_tuning(state.synth, t.bank, t.program, "Varenta", t.key_cents, 0) == FLUID_OK) {
            state.corrected_keys[t.bank][t.program] = corrected;
        }
    }
    state.corrections = corrections;
    for (int channel = 0; channel < kChannels; ++channel)
        switch_channel_tuning_locked(channel);
}

// The first measuring hands each preset over as soon as it is done.
void install_measured_preset(const PresetTuning& measured, void*)
{
    std::vector<PresetTuning> one{measured};
    set_tuning_raise(TRUNCATION_RAISE_CENTS, &one);
    install_key_tunings(one, SONVEX_CORRECTIONS_MEASURING);
}

// The tuning thread: measures the SoundFont at path, the programs the
// channels play first, installs each preset's tuning as it comes, and keeps
// the whole in cache_directory, unless told to stop first.
void tune_in_background(std::string path, std::string cache_directory)
{
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), kTunerNiceness);
    std::vector<PresetTuning> tunings;
    if (measure_soundfont_in_order(path.c_str(), &tunings, &tuner.stop, &tuner.order, install_measured_preset,
                                   nullptr)) {
        soundfont_tunings_keep(path.c_str(), cache_directory, tunings);
        std::lock_guard<std::mutex> hold(tuner.lock);
        state.corrections = SONVEX_CORRECTIONS_CACHED;
    }
}

// Where the tunings that ship with the program lie: share/varenta/tunings
// under the install prefix, found from the bridge's own folder
// (VARENTA_BRIDGE_TO_DATADIR, the way from the one to the other when
// installed), or, in the build tree, beside it; empty when the bridge
// cannot tell where it is.
std::vector<std::string> shipped_tuning_directories()
{
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&Sonvex_Initialise_SME), &info) == 0 || info.dli_fname == nullptr)
        return {};
    std::string folder = info.dli_fname;
    const size_t slash = folder.find_last_of('/');
    folder = slash == std::string::npos ? "." : folder.substr(0, slash);
    return {folder + "/" VARENTA_BRIDGE_TO_DATADIR "/tunings", folder + "/../share/varenta/tunings"};
}

// The tunings that ship with the program for the SoundFont at path; false
// when none are its.
bool shipped_tunings(const std::string& path, std::vector<PresetTuning>* tunings)
{
    for (const std::string& directory : shipped_tuning_directories()) {
        if (soundfont_tunings_shipped(path.c_str(), TRUNCATION_RAISE_CENTS, directory, tunings))
            return true;
    }
    return false;
}

// How a start tunes the presets (the offline start's in_tune).
enum TuneMode {
    TUNE_NONE = 0,           // as the SoundFont states them
    TUNE_NOW = 1,            // from the cache, else measured before the start returns
    TUNE_IN_BACKGROUND = 2,  // from the cache, else measured on the tuning thread (the real start)
    TUNE_FROM_CACHE = 3      // from the cache, else as the SoundFont states them
};

// Tunes the presets of the SoundFont at path: from cache_directory or the
// tunings shipped with the program at once when either holds them, else as
// mode says. Measuring at once suits an offline start whose renders must be
// in tune from the first note; the cache alone, one that must render what
// the real start plays without the minutes of measuring. A SoundFont whose
// presets cannot be read is played as it states itself.
void tune_presets(const std::string& path, const std::string& cache_directory, TuneMode mode)
{
    std::vector<PresetTuning> tunings;
    if (soundfont_tunings_from_cache(path.c_str(), TRUNCATION_RAISE_CENTS, cache_directory, &tunings)) {
        install_key_tunings(tunings, SONVEX_CORRECTIONS_CACHED);
    } else if (shipped_tunings(path, &tunings)) {
        install_key_tunings(tunings, SONVEX_CORRECTIONS_SHIPPED);
    } else if (mode == TUNE_FROM_CACHE) {
        // played as stated until a real start has worked the tunings out
    } else if (mode == TUNE_NOW) {
        soundfont_tunings_cached(path.c_str(), TRUNCATION_RAISE_CENTS, cache_directory, &tunings, nullptr,
                                 measure_soundfont);
        install_key_tunings(tunings, SONVEX_CORRECTIONS_CACHED);
    } else {
        // The channels play program 0 until told otherwise.
        tuner.order.forget();
        tuner.order.ask(0, 0);
        tuner.stop = false;
        try {
            tuner.thread = std::thread(tune_in_background, path, cache_directory);
        } catch (const std::system_error&) {
            // No thread to be had: the synthesizer plays as the SoundFont states.
        }
    }
}

void stop_everything()
{
    if (tuner.thread.joinable()) {
        tuner.stop = true;
        tuner.thread.join();
    }
    if (state.driver != nullptr)
        delete_fluid_audio_driver(state.driver);
    if (state.synth != nullptr)
        delete_fluid_synth(state.synth);
    if (state.settings != nullptr)
        delete_fluid_settings(state.settings);
    state = SonvexState();
}

// Creates the synthesizer with the first SoundFont of the list that loads,
// its presets tuned as mode says, the tunings kept in cache_directory.
bool start_synth(const std::vector<std::string>& soundfonts, int sample_rate, TuneMode mode,
                 const std::string& cache_directory)
{
    state.settings = new_fluid_settings();
    if (state.settings == nullptr)
        return false;
    fluid_settings_setint(state.settings, "synth.midi-channels", kChannels);
    fluid_settings_setint(state.settings, "synth.chorus.active", 0);  // chorus detunes
    fluid_settings_setnum(state.settings, "synth.sample-rate", sample_rate);
    state.synth = new_fluid_synth(state.settings);
    if (state.synth == nullptr)
        return false;
    if (!set_channel_types(state.synth) || !set_exact_pitch_wheel(state.synth))
        return false;
    for (const std::string& path : soundfonts) {
        // Loading resets every channel's program, now with the types above.
        if (fluid_synth_sfload(state.synth, path.c_str(), 1) != FLUID_FAILED) {
            for (int channel = 0; channel < kChannels; ++channel)
                switch_channel_tuning(channel);
            if (mode != TUNE_NONE)
                tune_presets(path, cache_directory, mode);
            return true;
        }
    }
    return false;
}

void collect_option(void* data, const char* /*name*/, const char* option)
{
    static_cast<std::vector<std::string>*>(data)->push_back(option);
}

// The audio drivers to try, in order.
std::vector<std::string> driver_candidates(fluid_settings_t* settings)
{
    std::vector<std::string> offered;
    fluid_settings_foreach_option(settings, "audio.driver", &offered, collect_option);
    std::vector<std::string> order;
    for (const char* name : kPreferredDrivers) {
        if (std::find(offered.begin(), offered.end(), name) != offered.end())
            order.push_back(name);
    }
    for (const std::string& name : offered) {
        if (name != kNotAnOutput && std::find(order.begin(), order.end(), name) == order.end())
            order.push_back(name);
    }
    return order;
}

bool open_audio_output()
{
    // JACK is used only when a server is already running.
    setenv("JACK_NO_START_SERVER", "1", 0);
    fluid_settings_setint(state.settings, "audio.jack.autoconnect", 1);
    fluid_settings_setstr(state.settings, "audio.jack.id", "varenta");
    for (const std::string& name : driver_candidates(state.settings)) {
        fluid_settings_setstr(state.settings, "audio.driver", name.c_str());
        state.driver = new_fluid_audio_driver(state.settings, state.synth);
        if (state.driver != nullptr)
            return true;
    }
    return false;
}

// Unloading the library, or the end of the process, stops the audio thread
// before the code it runs goes away.
__attribute__((destructor)) void stop_on_unload() { stop_everything(); }

}  // namespace

extern "C" {

int Sonvex_Initialise_SME(void)
{
    if (state.synth != nullptr)
        return 1;
    silence_fluidsynth();
    QuietStderr quiet;  // the audio libraries complain on stderr when a device is missing
    if (!start_synth(soundfont_candidates(), kSampleRate, TUNE_IN_BACKGROUND, tuning_cache_directory()) ||
        !open_audio_output()) {
        stop_everything();
        return 0;
    }
    return 1;
}

int Sonvex_SendMidiEvent(int status, int channel, int data1, int data2)
{
    if (state.synth == nullptr || channel < 0 || channel >= kChannels)
        return 0;
    int result = FLUID_FAILED;
    switch (status) {
    case 0x80:
        result = fluid_synth_noteoff(state.synth, channel, data1);
        break;
    case 0x90:
        result = fluid_synth_noteon(state.synth, channel, data1, data2);
        break;
    case 0xB0:
        result = fluid_synth_cc(state.synth, channel, data1, data2);
        break;
    case 0xC0:
        result = fluid_synth_program_change(state.synth, channel, data1);
        if (result == FLUID_OK) {
            switch_channel_tuning(channel);
            want_measured_first(channel);
        }
        break;
    case 0xE0:
        result = fluid_synth_pitch_bend(state.synth, channel, (data1 & 0x7F) | ((data2 & 0x7F) << 7));
        break;
    default:
        break;
    }
    return result == FLUID_OK ? 1 : 0;
}

void Sonvex_CleanUp_SME(void) { stop_everything(); }

int Sonvex_Delay(int, int) { return 0; }

#ifdef SONVEX_OFFLINE_RENDER
int Sonvex_TestOnly_InitialiseOffline(const char* soundfont_path, int sample_rate, int in_tune)
{
    stop_everything();
    silence_fluidsynth();
    QuietStderr quiet;  // the audio libraries complain on stderr when a device is missing
    std::vector<std::string> soundfonts =
        soundfont_path == nullptr ? soundfont_candidates() : std::vector<std::string>{soundfont_path};
    // The default SoundFont keeps its tunings where the real start does,
    // unless a cache of the caller's own is set.
    const std::string cache = soundfont_path == nullptr && offline_cache_directory.empty() ? tuning_cache_directory()
                                                                                           : offline_cache_directory;
    if (sample_rate <= 0 || in_tune < TUNE_NONE || in_tune > TUNE_FROM_CACHE ||
        !start_synth(soundfonts, sample_rate, static_cast<TuneMode>(in_tune), cache)) {
        stop_everything();
        return 0;
    }
    // Rendered to be measured: dry. The reverberation's slowly modulated
    // delays, which a SoundFont's zones send to whatever the channel's
    // controller says, smear a held note's pitch by up to a cent over a
    // window of seconds.
    fluid_synth_reverb_on(state.synth, -1, 0);
    return 1;
}

void Sonvex_TestOnly_SetTuningCache(const char* directory)
{
    offline_cache_directory = directory == nullptr ? "" : directory;
}

int Sonvex_TestOnly_Corrections(int bank, int program, int* corrected_keys)
{
    std::lock_guard<std::mutex> hold(tuner.lock);
    if (corrected_keys != nullptr)
        *corrected_keys = bank >= 0 && bank < 128 && program >= 0 && program < 128 && state.synth != nullptr
                              ? state.corrected_keys[bank][program]
                              : 0;
    return state.synth == nullptr ? SONVEX_CORRECTIONS_NONE : state.corrections;
}

int Sonvex_TestOnly_TunedPresets(void)
{
    std::lock_guard<std::mutex> hold(tuner.lock);
    int count = 0;
    for (const auto& bank : state.corrected_keys)
        count += static_cast<int>(std::count_if(std::begin(bank), std::end(bank), [](int keys) { return keys > 0; }));
    return count;
}

int Sonvex_TestOnly_Render(int frames, float* left, float* right)
{
    if (state.synth == nullptr || frames <= 0 || left == nullptr || right == nullptr)
        return 0;
    return fluid_synth_write_float(state.synth, frames, left, 0, 1, right, 0, 1) == FLUID_OK ? 1 : 0;
}
#endif

}  // extern "C"

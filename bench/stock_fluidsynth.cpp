// Unmodified FluidSynth behind the offline bridge's exports, for the
// benchmark that compares a measurement through JACK of the fluidsynth
// program with one of an offline render of the same notes: FluidSynth's own
// defaults (its pitch wheel, a +-2 semitone range until told otherwise),
// reverb and chorus off as the fluidsynth program runs with -R 0 -C 0, the
// FluidR3 General MIDI SoundFont. Loaded by the program in the place of the
// offline bridge (its file name is mapped onto this one).
#include <fluidsynth.h>

namespace {

const char* const kSoundFont = "/usr/share/sounds/sf2/FluidR3_GM.sf2";

struct Stock {
    fluid_settings_t* settings;
    fluid_synth_t* synth;
} stock;

void stop()
{
    if (stock.synth != nullptr)
        delete_fluid_synth(stock.synth);
    if (stock.settings != nullptr)
        delete_fluid_settings(stock.settings);
    stock = Stock();
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int Sonvex_TestOnly_InitialiseOffline(const char* soundfont_path,
                                                                              int sample_rate, int)
{
    stop();
    for (int level = FLUID_PANIC; level <= FLUID_DBG; ++level)
        fluid_set_log_function(level, nullptr, nullptr);
    stock.settings = new_fluid_settings();
    fluid_settings_setint(stock.settings, "synth.midi-channels", 32);
    fluid_settings_setint(stock.settings, "synth.reverb.active", 0);
    fluid_settings_setint(stock.settings, "synth.chorus.active", 0);
    fluid_settings_setnum(stock.settings, "synth.sample-rate", sample_rate);
    stock.synth = new_fluid_synth(stock.settings);
    if (stock.synth == nullptr || fluid_synth_sfload(stock.synth, soundfont_path ? soundfont_path : kSoundFont, 1) ==
                                      FLUID_FAILED) {
        stop();
        return 0;
    }
    return 1;
}

__attribute__((visibility("default"))) int Sonvex_Initialise_SME(void) { return stock.synth != nullptr; }

__attribute__((visibility("default"))) void Sonvex_CleanUp_SME(void) { stop(); }

__attribute__((visibility("default"))) int Sonvex_SendMidiEvent(int status, int channel, int data1, int data2)
{
    if (stock.synth == nullptr)
        return 0;
    // The bytes as a MIDI port would carry them.
    fluid_midi_event_t* event = new_fluid_midi_event();
    fluid_midi_event_set_type(event, status);
    fluid_midi_event_set_channel(event, channel);
    if (status == 0xE0) {
        fluid_midi_event_set_pitch(event, (data1 & 0x7F) | ((data2 & 0x7F) << 7));
    } else {
        fluid_midi_event_set_key(event, data1);  // key, controller or program
        fluid_midi_event_set_velocity(event, data2);  // velocity or value
    }
    int result = fluid_synth_handle_midi_event(stock.synth, event);
    delete_fluid_midi_event(event);
    return result == FLUID_OK;
}

__attribute__((visibility("default"))) int Sonvex_TestOnly_Render(int frames, float* left, float* right)
{
    return stock.synth != nullptr && fluid_synth_write_float(stock.synth, frames, left, 0, 1, right, 0, 1) == FLUID_OK;
}

}  // extern "C"

// How a chosen pitch reaches the synthesizer: by pitch bend on a channel of
// its own (every General MIDI synthesizer), by retuning the key itself with
// the MIDI Tuning Standard (any number of notes of any tuning on one
// channel), or on the member channels of an MPE zone, each note bent over
// the 48 semitones MPE synthesizers expect. The channel and key choice and
// the notes in play stay the engine's; this is the seam below them.
#pragma once

#include <cstddef>
#include <cstdint>

enum TuningMethod {
    METHOD_BEND,  // a bend per channel, +-2 semitones: the default, as always
    METHOD_MTS,   // a Single Note Tuning Change per key, every note on channel 0
    METHOD_MPE,   // a lower zone: manager channel 0, members 1-15, +-48 semitones
    METHOD_AUTO,  // MTS where the device's calibration found it obeyed, else bend
};

constexpr int MTS_CHANNEL = 0;           // where every note sounds under MTS
constexpr int MPE_MANAGER_CHANNEL = 0;   // the lower zone's manager: no note sounds there
constexpr int MPE_MEMBER_CHANNELS = 15;  // channels 1-15 (9 stays the percussion channel)
constexpr int MPE_BEND_RANGE = 48;       // semitones a member's full swing bends

// "bend", "mts", "mpe" or "auto" as typed (any case); false for anything
// else.
bool tuning_method_from_text(const char* text, TuningMethod* method);

// The method asked for every device opened from now on; the device's
// opening and closing then include what it needs.
void set_tuning_method(TuningMethod method);

// What a device needs right after it has opened (device: its name in the
// menu) before any note: its calibration, if it has one (see
// calibration/store.h), and the method's own opening. Every mode that
// plays calls it after open_device.
void tune_opened_device(const char* device);

// The method in effect: the one asked (auto as the device opened decided
// it), but pitch bend on the built-in synthesizer, which takes short
// messages only.
TuningMethod tuning_method();

// How many cents a channel's bend of (bend - 8192) units moves its notes
// with the method in effect: over an MPE member's 48 semitones, else as
// the calibration in use measured the channel (see calibration/correction.h).
double bend_cents_in_effect(int channel, double bend);

// ---- MTS --------------------------------------------------------------------

// Length of a Single Note Tuning Change of one key.
constexpr size_t MTS_CHANGE_LENGTH = 12;

// The real-time Single Note Tuning Change that tunes key to the pitch
// cents above MIDI key 0 (equal temperament at A = 440 Hz), into bytes:
// F0 7F 7F 08 02 00 01 kk xx yy zz F7, xx the semitone and yy zz the
// fraction in 16384ths of it. Pitches are held to the range the message
// can say. Returns MTS_CHANGE_LENGTH.
size_t mts_tuning_change(int key, double cents, uint8_t* bytes);

// The key that sounds the pitch n (a fractional MIDI note, 69.0 = 440 Hz)
// under MTS: the nearest key that no sounding note of another pitch uses,
// shared with notes of the same pitch; when every key sounds another pitch,
// the nearest, its notes ended first. Sends its tuning change first when
// the key does not carry the pitch yet.
int mts_key_for(double n);

// Selects tuning program 0 of tuning bank 0 on channel (registered
// parameters 4, then 3), which FluidSynth needs before it applies a key's
// tuning.
void select_tuning_program(int channel);

// The MPE Configuration Message on the manager channel: a lower zone of
// members member channels (0: no zone).
void send_mpe_configuration(int members);

// What a key is tuned to now, in cents against its equal-tempered pitch.
double mts_key_cents(int key);

// Back to the state at program start (tests).
void tuning_method_reset();

// The ways a chosen pitch reaches the synthesizer; see method.h.
#include "retune/method.h"

#include "calibration/correction.h"
#include "calibration/store.h"
#include "console/console.h"
#include "midi/bridge.h"
#include "midi/channel.h"
#include "midi/device.h"
#include "retune/notes.h"

#include <cmath>

namespace {

constexpr int kKeys = 128;
constexpr int kFractionBits = 14;                     // a semitone in 16384ths
constexpr uint32_t kFractions = 1u << kFractionBits;
constexpr uint32_t kHighest = (127u << kFractionBits) | (kFractions - 2);  // 7F 7F 7F means "no change"
constexpr int kStealVelocity = 127;
constexpr size_t kKeysPerMessage = (PLATFORM_SYSEX_MAX - 8) / 4;  // a change message's header and end, 4 bytes a key

// Registered parameters of the openings.
constexpr int kRpnTuningProgram = 3, kRpnTuningBank = 4, kRpnMpeConfiguration = 6;

struct MethodState {
    TuningMethod asked;
    TuningMethod resolved;      // what auto became for the device opened; else the one asked
    uint32_t key_value[kKeys];  // each key's tuning: semitone << 14 | fraction
} state;

uint32_t equal_value(int key) { return static_cast<uint32_t>(key) << kFractionBits; }

// A pitch in cents above key 0 as the message says it, held to its range.
uint32_t value_of(double cents)
{
    const double fractions = std::round(cents / 100.0 * kFractions);
    if (!(fractions > 0.0))
        return 0;
    return fractions >= kHighest ? kHighest : static_cast<uint32_t>(fractions);
}

// A Single Note Tuning Change of count keys from keys[], to values[].
size_t tuning_change(const int* keys, const uint32_t* values, size_t count, uint8_t* bytes)
{
    size_t n = 0;
    for (uint8_t b : {0xF0, 0x7F, 0x7F, 0x08, 0x02, 0x00})  // real time, all devices, tuning program 0
        bytes[n++] = b;
    bytes[n++] = static_cast<uint8_t>(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[n++] = static_cast<uint8_t>(keys[i]);
        bytes[n++] = static_cast<uint8_t>(values[i] >> kFractionBits);
        bytes[n++] = static_cast<uint8_t>((values[i] >> 7) & 0x7F);
        bytes[n++] = static_cast<uint8_t>(values[i] & 0x7F);
    }
    bytes[n++] = 0xF7;
    return n;
}

void method_opening()
{
    for (int key = 0; key < kKeys; ++key)
        state.key_value[key] = equal_value(key);
    if (bridge_active()) {
        if (state.resolved != METHOD_BEND)
            console_printf("The built-in synthesizer takes short messages only: it plays by pitch bend.\n");
        return;
    }
    if (state.resolved == METHOD_MTS) {
        // FluidSynth applies a key's tuning only on a channel that selected
        // a tuning program: program 0 of bank 0, the one the changes retune.
        for (int channel = 0; channel < channel_count(); ++channel) {
            if (channel != PERCUSSION_CHANNEL)
                select_tuning_program(channel);
        }
    } else if (state.resolved == METHOD_MPE) {
        send_mpe_configuration(MPE_MEMBER_CHANNELS);
        for (int channel = 1; channel <= MPE_MEMBER_CHANNELS; ++channel) {
            if (channel != PERCUSSION_CHANNEL)
                set_bend_range(port_handle(), channel, MPE_BEND_RANGE, 0);
        }
    }
}

// Keys retuned go back to equal temperament, in as few messages as fit.
void device_closing()
{
    if (bridge_active() || state.resolved != METHOD_MTS)
        return;
    int keys[kKeysPerMessage];
    uint32_t values[kKeysPerMessage];
    size_t count = 0;
    uint8_t bytes[PLATFORM_SYSEX_MAX];
    for (int key = 0; key < kKeys; ++key) {
        if (state.key_value[key] != equal_value(key)) {
            keys[count] = key;
            values[count++] = state.key_value[key] = equal_value(key);
        }
        if (count == kKeysPerMessage || (key == kKeys - 1 && count > 0)) {
            send_system_exclusive(port_handle(), bytes, tuning_change(keys, values, count, bytes));
            count = 0;
        }
    }
}

// Ends the notes sounding on key under MTS.
void end_key(int key)
{
    const NoteTable& table = note_table();
    for (int i = 0; i < table.count;) {
        const NoteEntry& e = table.entries[i];
        if (e.channel == MTS_CHANNEL && e.midi_note == key) {
            note_off(port_handle(), e.channel, key, kStealVelocity);
            remove_note(i);
        } else {
            ++i;
        }
    }
}

bool key_sounds(int key) { return (channels_sounding_note(key) & (1u << MTS_CHANNEL)) != 0; }

}  // namespace

bool tuning_method_from_text(const char* text, TuningMethod* method)
{
    const struct {
        const char* name;
        TuningMethod method;
    } names[] = {{"bend", METHOD_BEND}, {"mts", METHOD_MTS}, {"mpe", METHOD_MPE}, {"auto", METHOD_AUTO}};
    for (const auto& n : names) {
        if (equals_nocase(text, n.name)) {
            *method = n.method;
            return true;
        }
    }
    return false;
}

void set_tuning_method(TuningMethod method)
{
    state.asked = method;
    state.resolved = method == METHOD_AUTO ? METHOD_BEND : method;
}

void tune_opened_device(const char* device)
{
    use_device_calibration(device);
    if (state.asked == METHOD_AUTO)
        state.resolved = calibration_obeys_mts() ? METHOD_MTS : METHOD_BEND;
    set_device_closing(device_closing);
    method_opening();
}

TuningMethod tuning_method() { return bridge_active() ? METHOD_BEND : state.resolved; }

double bend_cents_in_effect(int channel, double bend)
{
    if (tuning_method() == METHOD_MPE)
        return (bend - BEND_CENTRE) / BEND_CENTRE * 100.0 * MPE_BEND_RANGE;
    return bend_cents(channel, bend);
}

size_t mts_tuning_change(int key, double cents, uint8_t* bytes)
{
    const uint32_t value = value_of(cents);
    return tuning_change(&key, &value, 1, bytes);
}

int mts_key_for(double n)
{
    const double pitch = 100.0 * n;
    const int nearest = static_cast<int>(std::fmin(std::fmax(std::floor(n + 0.5), 0.0), kKeys - 1.0));
    // Keys by their distance from the pitch, the nearest first: the first
    // that sounds nothing, or sounds this very pitch.
    int key = -1;
    for (int tried = 0, below = nearest - 1, above = nearest + 1, candidate = nearest; tried < kKeys; ++tried) {
        if (!key_sounds(candidate) || state.key_value[candidate] == value_of(pitch - calibrated_key_offset(MTS_CHANNEL, candidate))) {
            key = candidate;
            break;
        }
        const bool up = below < 0 || (above < kKeys && above - n <= n - below);
        candidate = up ? above++ : below--;
    }
    if (key < 0) {  // every key sounds another pitch: the nearest is taken over
        key = nearest;
        end_key(key);
    }
    const uint32_t wanted = value_of(pitch - calibrated_key_offset(MTS_CHANNEL, key));
    if (state.key_value[key] != wanted) {
        uint8_t bytes[MTS_CHANGE_LENGTH];
        const uint32_t values[] = {wanted};
        send_system_exclusive(port_handle(), bytes, tuning_change(&key, values, 1, bytes));
        state.key_value[key] = wanted;
    }
    return key;
}

void select_tuning_program(int channel)
{
    set_registered_parameter(port_handle(), channel, kRpnTuningBank, 0);
    set_registered_parameter(port_handle(), channel, kRpnTuningProgram, 0);
}

void send_mpe_configuration(int members)
{
    set_registered_parameter(port_handle(), MPE_MANAGER_CHANNEL, kRpnMpeConfiguration, members);
}

double mts_key_cents(int key)
{
    if (key < 0 || key >= kKeys)
        return 0.0;
    return 100.0 * state.key_value[key] / kFractions - 100.0 * key;
}

void tuning_method_reset()
{
    state.asked = METHOD_BEND;
    state.resolved = METHOD_BEND;
    for (int key = 0; key < kKeys; ++key)
        state.key_value[key] = equal_value(key);
}

// The player's gestures through the engine; see gestures.h.
//
// Nothing here allocates: the state is fixed tables indexed by input channel
// and key, and every note goes through the engine's fixed note table.
#include "retuner/gestures.h"

#include "calibration/correction.h"
#include "midi/channel.h"
#include "retune/degrees.h"
#include "retune/notes.h"
#include "tuning/scale.h"

#include <cmath>

namespace {

constexpr int kInputChannels = 16;
constexpr int kKeys = 128;
constexpr int kMiddleKey = 60;                   // the 1/1 without a keyboard mapping
constexpr int kDefaultOffVelocity = 64;          // a note-on of velocity 0, or a note ended by the input
constexpr double kUnitsPerSemitone = 4096.0;     // bend units, at the +-2 semitones every channel is set to
constexpr double kWheelCentre = 8192.0;

struct RetunerState {
    bool mapped;                                  // map holds the keyboard mapping; else linear around 60
    KeyboardMap map;                              // the mapping, when mapped
    double wheel_range_semitones;                 // the wheel's full deflection, 0..
    double wheel_semitones[kInputChannels];       // each input channel's wheel now
    bool pedal_down[kInputChannels];              // controller 64 at 64 or more
    uint32_t note_of_key[kInputChannels][kKeys];  // serial of the note the key started; 0 = none
    bool held_back[kInputChannels][kKeys];        // its note-off came while the pedal was down
    uint8_t off_velocity[kInputChannels][kKeys];  // that note-off's velocity
    int8_t owner[MAX_CHANNELS];                   // input channel of the notes on an output channel; -1 none
    RetunerCounts counts;
} state;

// A channel message to every melodic output channel, or to channel 10 for
// input channel 10.
void to_every_channel(int input_channel, int status, int data1, int data2, int data_bytes)
{
    if (input_channel == PERCUSSION_CHANNEL) {
        send_channel_message(port_handle(), status, PERCUSSION_CHANNEL, data1, data2, data_bytes);
        return;
    }
    for (int channel = 0; channel < channel_count(); ++channel) {
        if (channel != PERCUSSION_CHANNEL)
            send_channel_message(port_handle(), status, channel, data1, data2, data_bytes);
    }
}

// Output channels another input channel's notes sound on now.
uint32_t others_channels(int input_channel)
{
    uint32_t excluded = 0;
    for (int c = 0; c < channel_count(); ++c) {
        if (state.owner[c] >= 0 && state.owner[c] != input_channel && channel_state(c).sounding_notes > 0)
            excluded |= 1u << c;
    }
    return excluded;
}

void end_key(int input_channel, int key, int velocity)
{
    const uint32_t serial = state.note_of_key[input_channel][key];
    state.note_of_key[input_channel][key] = 0;
    state.held_back[input_channel][key] = false;
    if (serial == 0)
        return;
    if (input_channel != PERCUSSION_CHANNEL)
        release_note(serial, velocity);
    else if (find_note_serial(serial) >= 0)  // not already ended by a steal
        release_percussion(key);
}

// The ratio to the 1/1 a key plays; 0 for a key that plays nothing.
double key_ratio(int key)
{
    if (!state.mapped)
        return current_degree_ratio(key - kMiddleKey);
    const ScaleTable& table = scale_table();
    return keyboard_map_ratio(state.map, key, table.entries, table.count);
}

void key_down(int input_channel, int key, int velocity)
{
    end_key(input_channel, key,
            state.held_back[input_channel][key] ? state.off_velocity[input_channel][key] : kDefaultOffVelocity);
    uint32_t serial = 0;
    if (input_channel == PERCUSSION_CHANNEL) {
        serial = play_percussion_note(key, velocity);
    } else {
        if (!scale_is_set())
            set_scale("");
        const double ratio = key_ratio(key);
        if (!(ratio > 0.0))
            return;
        const double hz = reference_pitch() * ratio * std::pow(2.0, state.wheel_semitones[input_channel] / 12.0);
        const int before = note_table().count;
        int channel = -1;
        serial = play_frequency_note(key, ratio, hz, others_channels(input_channel), velocity, &channel);
        if (serial != 0 && note_table().count <= before)
            ++state.counts.steals;  // the choice ended a channel's notes to make room
        if (channel >= 0)
            state.owner[channel] = static_cast<int8_t>(input_channel);
    }
    state.note_of_key[input_channel][key] = serial;
    if (serial != 0)
        ++state.counts.notes_started;
    const uint32_t sounding = static_cast<uint32_t>(note_table().count);
    if (sounding > state.counts.most_sounding)
        state.counts.most_sounding = sounding;
}

void key_up(int input_channel, int key, int velocity)
{
    if (state.note_of_key[input_channel][key] == 0)
        return;
    if (state.pedal_down[input_channel]) {
        state.held_back[input_channel][key] = true;
        state.off_velocity[input_channel][key] = static_cast<uint8_t>(velocity);
        return;
    }
    end_key(input_channel, key, velocity);
}

// Moves the wheel of an input channel: every output channel sounding its
// notes is re-bent by the change, from the bend it asked for last (kept
// unclamped by the channel state, so a bend back from the edge is exact).
void wheel(int input_channel, int value14)
{
    const double semitones = (value14 - kWheelCentre) / kWheelCentre * state.wheel_range_semitones;
    const double change = semitones - state.wheel_semitones[input_channel];
    state.wheel_semitones[input_channel] = semitones;
    if (input_channel == PERCUSSION_CHANNEL || change == 0.0)
        return;
    for (int c = 0; c < channel_count(); ++c) {
        if (c == PERCUSSION_CHANNEL || state.owner[c] != input_channel || channel_state(c).sounding_notes <= 0)
            continue;
        // A calibrated channel moves by its own measured range.
        const double bend = channel_state(c).bend;
        set_pitch_bend(port_handle(), c,
                       calibration_in_use() ? bend_from_cents(c, bend_cents(c, bend) + 100.0 * change)
                                            : bend + change * kUnitsPerSemitone);
    }
}

void pedal(int input_channel, bool down)
{
    const bool was_down = state.pedal_down[input_channel];
    state.pedal_down[input_channel] = down;
    for (int key = 0; was_down && !down && key < kKeys; ++key) {
        if (state.held_back[input_channel][key])
            end_key(input_channel, key, state.off_velocity[input_channel][key]);
    }
}

void control(int input_channel, int number, int value)
{
    switch (number) {
    case 64:
        pedal(input_channel, value >= 64);
        break;
    case 6:    // data entry
    case 38:
    case 96:   // data increment, decrement
    case 97:
    case 98:   // parameter numbers (NRPN, RPN)
    case 99:
    case 100:
    case 101:
    case 122:  // local control and the mode messages
    case 124:
    case 125:
    case 126:
    case 127:
        break;
    case 120:  // all sound off
    case 123:  // all notes off
        retuner_end_notes();
        break;
    case 121:  // reset all controllers: the wheel and the pedal too
        wheel(input_channel, static_cast<int>(kWheelCentre));
        pedal(input_channel, false);
        to_every_channel(input_channel, STATUS_CONTROL_CHANGE, number, value, 2);
        break;
    default:
        to_every_channel(input_channel, STATUS_CONTROL_CHANGE, number, value, 2);
        break;
    }
}

void poly_pressure(int input_channel, int key, int value)
{
    const int index = find_note_serial(state.note_of_key[input_channel][key]);
    if (index < 0)
        return;
    const NoteEntry& e = note_table().entries[index];
    send_channel_message(port_handle(), 0xA0, e.channel, e.midi_note, value, 2);
}

}  // namespace

void retuner_begin(const KeyboardMap* map, double wheel_range_semitones)
{
    retuner_reset();
    state.mapped = map != nullptr && map->status == KBM_OK;
    if (state.mapped)
        state.map = *map;
    state.wheel_range_semitones = wheel_range_semitones;
}

void retuner_play_message(uint32_t message)
{
    ++state.counts.messages_in;
    const int status = static_cast<int>(message & 0xF0);
    const int input_channel = static_cast<int>(message & 0x0F);
    const int data1 = static_cast<int>((message >> 8) & 0x7F);
    const int data2 = static_cast<int>((message >> 16) & 0x7F);
    switch (status) {
    case STATUS_NOTE_ON:
        if (data2 > 0)
            key_down(input_channel, data1, data2);
        else
            key_up(input_channel, data1, kDefaultOffVelocity);
        break;
    case STATUS_NOTE_OFF:
        key_up(input_channel, data1, data2);
        break;
    case 0xA0:
        poly_pressure(input_channel, data1, data2);
        break;
    case STATUS_CONTROL_CHANGE:
        control(input_channel, data1, data2);
        break;
    case STATUS_PROGRAM_CHANGE:
        if (input_channel == PERCUSSION_CHANNEL)
            send_channel_message(port_handle(), STATUS_PROGRAM_CHANGE, PERCUSSION_CHANNEL, data1, 0, 1);
        else
            set_program_all(data1);
        break;
    case 0xD0:
        to_every_channel(input_channel, 0xD0, data1, 0, 1);
        break;
    case STATUS_PITCH_BEND:
        wheel(input_channel, data1 | (data2 << 7));
        break;
    default:
        break;
    }
}

void retuner_end_notes()
{
    for (int input_channel = 0; input_channel < kInputChannels; ++input_channel) {
        for (int key = 0; key < kKeys; ++key)
            end_key(input_channel, key, kDefaultOffVelocity);
    }
}

const RetunerCounts& retuner_counts() { return state.counts; }

int retuner_channels_in_use()
{
    int used = 0;
    for (int c = 0; c < channel_count(); ++c) {
        if (channel_state(c).sounding_notes > 0)
            ++used;
    }
    return used;
}

void retuner_reset()
{
    state = RetunerState();
    for (int8_t& owner : state.owner)
        owner = -1;
}

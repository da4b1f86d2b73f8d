// Channel messages and channel state; see channel.h.
#include "midi/channel.h"

#include "midi/bridge.h"

#include <cmath>

namespace {

struct ChannelsState {
    PortHandle port;                      // the open port; nullptr while closed or on the bridge
    ChannelState channels[MAX_CHANNELS];  // one per channel slot, used or not
    int current_program;                  // last program sent to all channels, 0..127 from callers
    uint16_t held[MAX_CHANNELS][128];     // note-ons minus note-offs sent, per channel and note;
                                          // held within 0..65535 (extra note-offs are not counted)
    uint32_t messages_sent;               // messages handed to the port or bridge; wraps
} state;

int clamp_int(int value, int low, int high) { return value < low ? low : (value > high ? high : value); }

}  // namespace

int channel_count() { return bridge_active() ? 32 : 16; }

PortHandle port_handle() { return state.port; }

void set_port_handle(PortHandle handle) { state.port = handle; }

ChannelState& channel_state(int channel) { return state.channels[channel]; }

int current_program() { return state.current_program; }

void channel_reset() { state = ChannelsState(); }

uint32_t pack_short_message(int status, int channel, int data1, int data2)
{
    return (static_cast<uint32_t>(channel) & 0x0Fu) | (static_cast<uint32_t>(status) & 0xF0u) |
           ((static_cast<uint32_t>(data1) & 0xFFu) << 8) | ((static_cast<uint32_t>(data2) & 0xFFu) << 16);
}

int bend_for_sending(double bend)
{
    // Clamp in floating point first: the value may be anything a user typed.
    if (!(bend >= 0.0))  // negative or NaN
        return 0;
    if (bend >= BEND_MAX)
        return BEND_MAX;
    return clamp_int(static_cast<int>(std::floor(bend + 0.5)), 0, BEND_MAX);
}

int send_channel_message(PortHandle handle, int status, int channel, int data1, int data2, int data_bytes)
{
    ++state.messages_sent;
    if (bridge_send(status, channel, data1, data2))
        return 0;
    if (handle == nullptr)
        return 0;
    return platform_midi_send(handle, pack_short_message(status, channel, data1, data2), data_bytes);
}

int send_system_exclusive(PortHandle handle, const uint8_t* bytes, size_t length)
{
    if (bridge_active() || handle == nullptr)
        return 0;
    if (platform_midi_send_sysex(handle, bytes, length) != PLATFORM_OK)
        return 0;
    ++state.messages_sent;
    return 1;
}

// The clamps shared by note on and note off; returns the clamped channel.
static int clamp_note_message(int* channel, int* note, int* velocity)
{
    *velocity = clamp_int(*velocity, 0, 127);
    *channel = clamp_int(*channel, 0, channel_count() - 1);
    *note = clamp_int(*note, 0, 127);
    return *channel;
}

int note_on(PortHandle handle, int channel, int note, int velocity)
{
    clamp_note_message(&channel, &note, &velocity);
    ++state.channels[channel].sounding_notes;
    if (state.held[channel][note] < UINT16_MAX)
        ++state.held[channel][note];
    return send_channel_message(handle, STATUS_NOTE_ON, channel, note, velocity, 2);
}

int note_off(PortHandle handle, int channel, int note, int velocity)
{
    clamp_note_message(&channel, &note, &velocity);
    --state.channels[channel].sounding_notes;
    if (state.held[channel][note] > 0)
        --state.held[channel][note];
    return send_channel_message(handle, STATUS_NOTE_OFF, channel, note, velocity, 2);
}

int held_notes(int channel, int note)
{
    if (channel < 0 || channel >= MAX_CHANNELS || note < 0 || note > 127)
        return 0;
    return state.held[channel][note];
}

void release_held_notes(int velocity)
{
    for (int channel = 0; channel < channel_count(); ++channel) {
        for (int note = 0; note < 128; ++note) {
            for (int n = state.held[channel][note]; n > 0; --n)
                note_off(port_handle(), channel, note, velocity);
        }
    }
}

int set_pitch_bend(PortHandle handle, int channel, double bend)
{
    if (channel < 0 || channel >= channel_count())
        return 0;
    ChannelState& ch = state.channels[channel];
    int old_value = bend_for_sending(ch.bend);
    int new_value = bend_for_sending(bend);
    int result = 0;
    if (old_value != new_value)
        result = send_channel_message(handle, STATUS_PITCH_BEND, channel, new_value & 0x7F, new_value >> 7, 2);
    ch.bend = bend;
    return result;
}

int set_registered_parameter(PortHandle handle, int channel, int parameter, int value)
{
    send_channel_message(handle, STATUS_CONTROL_CHANGE, channel, 101, 0, 2);  // RPN high
    send_channel_message(handle, STATUS_CONTROL_CHANGE, channel, 100, parameter, 2);  // RPN low
    return send_channel_message(handle, STATUS_CONTROL_CHANGE, channel, 6, value, 2);  // data entry high
}

int set_bend_range(PortHandle handle, int channel, int semitones, int cents)
{
    set_registered_parameter(handle, channel, 0, semitones);  // parameter 0: pitch-bend sensitivity
    return send_channel_message(handle, STATUS_CONTROL_CHANGE, channel, 38, cents, 2);  // data entry low
}

void set_bend_range_all()
{
    for (int channel = 0; channel < channel_count(); ++channel) {
        if (channel != PERCUSSION_CHANNEL)
            set_bend_range(port_handle(), channel, 2, 0);
    }
}

void set_program_all(int program)
{
    for (int channel = 0; channel < channel_count(); ++channel) {
        if (channel != PERCUSSION_CHANNEL)
            send_channel_message(port_handle(), STATUS_PROGRAM_CHANGE, channel, program, 0, 1);
    }
    state.current_program = program;
}

void reset_bends()
{
    for (int channel = 0; channel < channel_count(); ++channel) {
        ChannelState& ch = state.channels[channel];
        ch.bend = UNKNOWN_BEND;
        ch.sounding_notes = 0;
        if (channel != PERCUSSION_CHANNEL)
            set_pitch_bend(port_handle(), channel, BEND_CENTRE);
    }
}

uint32_t messages_sent() { return state.messages_sent; }

// Channel messages and the per-channel state.
//
// Every MIDI message the system sends passes through here: note on, note
// off, pitch bend, the pitch-bend sensitivity controllers and program change.
// Each goes to the open port packed as a short message, or to the software
// synthesizer bridge while that is active. System exclusive messages (tuning
// messages) go to the port alone, in order with the channel messages. The
// per-channel state tells the retuning engine which bend each channel
// carries, how many notes sound on it and when it was last released; pitch
// bends are sent only when a channel's rounded bend actually changes.
#pragma once

#include "platform/platform.h"

#include <cstddef>
#include <cstdint>

constexpr int MAX_CHANNELS = 32;        // state is kept for this many channels
constexpr int PERCUSSION_CHANNEL = 9;   // General MIDI drums: never retuned
constexpr double UNKNOWN_BEND = -10.0;  // the bend of a channel whose bend is not known
constexpr double BEND_CENTRE = 8192.0;  // no bend
constexpr int BEND_MAX = 16383;         // the top 14-bit bend value

constexpr int STATUS_NOTE_OFF = 0x80;
constexpr int STATUS_NOTE_ON = 0x90;
constexpr int STATUS_CONTROL_CHANGE = 0xB0;
constexpr int STATUS_PROGRAM_CHANGE = 0xC0;
constexpr int STATUS_PITCH_BEND = 0xE0;

struct ChannelState {
    int sounding_notes;    // note-ons minus note-offs sent on the channel; may go negative; 0 = free
    uint32_t last_use_ms;  // clock stamp of the channel's last release (or of the open)
    double bend;           // last bend requested, unrounded and unclamped, 0..16383 in use;
                           // UNKNOWN_BEND when not known; 0.0 before the first open
};

// Channels in use: 32 while the bridge is active, else 16.
int channel_count();

// The port the messages go to: the open port; nullptr when none is open or
// on the bridge. The device sets it as it opens and closes a port.
PortHandle port_handle();
void set_port_handle(PortHandle handle);

// The state of channel 0..MAX_CHANNELS - 1.
ChannelState& channel_state(int channel);

// The program last sent by set_program_all (0 at start).
int current_program();

// The short-message word: channel in bits 0-3, status in 4-7, data 1 in 8-15,
// data 2 in 16-23 (each value's low bits only).
uint32_t pack_short_message(int status, int channel, int data1, int data2);

// The 14-bit value a bend is sent as: rounded half up, clamped to 0..16383.
// A NaN bend is sent as 0, as the unknown-bend marker is.
int bend_for_sending(double bend);

// Hands one message to the bridge while it is active (whole channel 0..31,
// status without the channel), else to the port. Returns the port's result
// code (0 = sent); 0 on the bridge route and when there is no port.
int send_channel_message(PortHandle handle, int status, int channel, int data1, int data2, int data_bytes);

// Sends one whole system exclusive message (0xF0 first, 0xF7 last, every
// byte between below 0x80, at most PLATFORM_SYSEX_MAX bytes) to the port, in
// order with the channel messages sent before and after it. Returns 1 when
// the port took it, 0 otherwise: a malformed message, a port that cannot
// take one, no port open. The bridge takes short messages only: while it is
// active nothing is sent and the result is 0.
int send_system_exclusive(PortHandle handle, const uint8_t* bytes, size_t length);

// Messages handed on since the program started (or the last reset), whatever
// sent them: every channel message send_channel_message was given, and every
// system exclusive message a port took; wraps after 2^32.
uint32_t messages_sent();

// Note messages. Velocity, channel (0..channel_count() - 1) and note are
// clamped into range; the clamped channel's sounding count goes up or down
// whether or not the message could be sent.
int note_on(PortHandle handle, int channel, int note, int velocity);
int note_off(PortHandle handle, int channel, int note, int velocity);

// Note-ons minus note-offs sent on a channel for a note, whatever sent them
// (the retuning engine, percussion, the pitch-bend range test); never below 0.
int held_notes(int channel, int note);

// A note-off for every note-on that has had none yet, channel by channel and
// note by note: the last word on every note when the program ends.
void release_held_notes(int velocity);

// Requests a bend for a channel. A channel out of range is ignored (returns
// 0). The bend is sent only when its rounded, clamped value differs from that
// of the last request; the request is stored as given either way.
int set_pitch_bend(PortHandle handle, int channel, double bend);

// The three controller messages that set registered parameter `parameter`
// of a channel to `value` (its data entry's high byte).
int set_registered_parameter(PortHandle handle, int channel, int parameter, int value);

// The four controller messages that set a channel's pitch-bend range.
int set_bend_range(PortHandle handle, int channel, int semitones, int cents);

// A range of +-2 semitones on every channel in use but 9.
void set_bend_range_all();

// A program change on every channel in use but 9; remembers the program.
void set_program_all(int program);

// Every channel in use: sounding count 0, bend unknown, then every channel
// but 9 re-centred (so a centring bend is always sent).
void reset_bends();

// Back to the state at program start (tests).
void channel_reset();

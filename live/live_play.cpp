// Playing from a MIDI keyboard in the key loops; see live_play.h.
#include "live/live_play.h"

#include "console/console.h"
#include "live/midi_source.h"
#include "midi/channel.h"
#include "platform/platform.h"
#include "retune/degrees.h"
#include "retune/notes.h"
#include "tuning/keyboard_map.h"
#include "tuning/scale.h"

#include <cstdio>

namespace {

constexpr int kKeys = 128;
constexpr int kDefaultOffVelocity = 64;  // a note-on of velocity 0, or a note ended by the input itself
constexpr int kPedalControl = 64;
constexpr int kPedalDownFrom = 64;
constexpr int kAllSoundOff = 120;
constexpr int kAllNotesOff = 123;

// What a key loop knows; each loop begins with it cleared.
struct LoopState {
    LiveLoop loop;                // the key loop listening now; LIVE_NONE outside them
    bool pedal_down;              // control 64 at 64 or more since the loop began
    uint32_t note_of_key[kKeys];  // serial of the note the key's last note-on started; 0 = none
    bool held_back[kKeys];        // the key's note-off came while the pedal was down
    int off_velocity[kKeys];      // that note-off's velocity, 0..127
};

struct LiveState {
    LoopState loop_state;  // the loop listening now
    bool mapped;           // --kbm was given: map says what each key plays in the keyboard test
    KeyboardMap map;       // the mapping, kept for the whole run
} live;

LoopState& state = live.loop_state;

// The keyboard test's note for a key: its degree (key 60 the 1/1), or the
// ratio the keyboard mapping gives it; 0 when the mapping leaves it silent.
uint32_t play_key_in_tuning(int key, int velocity)
{
    if (!live.mapped)
        return play_degree_note(key - LIVE_MIDDLE_KEY, velocity);
    if (!scale_is_set())
        set_scale("");
    const ScaleTable& table = scale_table();
    const double ratio = keyboard_map_ratio(live.map, key, table.entries, table.count);
    if (!(ratio > 0.0))
        return 0;
    return play_frequency_note(key - LIVE_MIDDLE_KEY, ratio, reference_pitch() * ratio, 0, velocity);
}

// Ends the note a key started, if it still sounds: exactly that note in the
// keyboard test, the key's sound in the percussion test.
void end_key(int key, int velocity)
{
    const uint32_t serial = state.note_of_key[key];
    state.note_of_key[key] = 0;
    state.held_back[key] = false;
    if (serial == 0)
        return;
    if (state.loop == LIVE_DEGREES)
        release_note(serial, velocity);
    else if (find_note_serial(serial) >= 0)  // not already ended by Return, space, a steal
        release_percussion(key);
}

void key_down(int key, int velocity)
{
    // The key's note, still sounding, or held by the pedal after its note-off.
    end_key(key, state.held_back[key] ? state.off_velocity[key] : kDefaultOffVelocity);
    state.note_of_key[key] = state.loop == LIVE_DEGREES ? play_key_in_tuning(key, velocity)
                                                        : play_percussion_note(key, velocity);
}

void key_up(int key, int velocity)
{
    if (state.note_of_key[key] == 0)
        return;
    if (state.pedal_down) {
        state.held_back[key] = true;
        state.off_velocity[key] = velocity;
        return;
    }
    end_key(key, velocity);
}

void control(int number, int value)
{
    switch (number) {
    case kPedalControl: {
        const bool was_down = state.pedal_down;
        state.pedal_down = value >= kPedalDownFrom;
        for (int key = 0; was_down && !state.pedal_down && key < kKeys; ++key) {
            if (state.held_back[key])
                end_key(key, state.off_velocity[key]);
        }
        break;
    }
    case 1:   // modulation
    case 7:   // volume
    case 11:  // expression
        for (int channel = 0; channel < channel_count(); ++channel) {
            if (channel != PERCUSSION_CHANNEL)
                send_channel_message(port_handle(), STATUS_CONTROL_CHANGE, channel, number, value, 2);
        }
        break;
    case kAllSoundOff:
    case kAllNotesOff:
        for (int key = 0; key < kKeys; ++key)
            end_key(key, kDefaultOffVelocity);
        break;
    default:
        break;
    }
}

}  // namespace

void live_loop_begin(LiveLoop loop)
{
    state = LoopState();
    if (!midi_input_open())
        return;
    state.loop = loop;
    platform_midi_in_listen(true);
}

void live_loop_end()
{
    if (state.loop != LIVE_NONE)
        platform_midi_in_listen(false);
    state.loop = LIVE_NONE;
}

int live_input_key()
{
    if (state.loop == LIVE_NONE)
        return input_key();
    for (;;) {
        int key = input_key_or_midi();
        if (key != KEY_MIDI_PENDING)
            return key;
        uint32_t message;
        while (platform_midi_in_take(&message))
            live_play_message(message);
    }
}

void live_play_message(uint32_t message)
{
    if (state.loop == LIVE_NONE)
        return;
    const int status = static_cast<int>(message & 0xF0);
    const int data1 = static_cast<int>((message >> 8) & 0x7F);
    const int data2 = static_cast<int>((message >> 16) & 0x7F);
    if (status == STATUS_NOTE_ON && data2 > 0)
        key_down(data1, data2);
    else if (status == STATUS_NOTE_ON)
        key_up(data1, kDefaultOffVelocity);
    else if (status == STATUS_NOTE_OFF)
        key_up(data1, data2);
    else if (status == STATUS_CONTROL_CHANGE)
        control(data1, data2);
}

int live_use_keyboard_map(const char* path)
{
    if (read_keyboard_map(path, &live.map) == KBM_OK) {
        live.mapped = true;
        return 0;
    }
    live.mapped = false;
    char line[1400];
    keyboard_map_refusal(live.map, path, line, sizeof line);
    char text[1500];
    const int n = std::snprintf(text, sizeof text, "%s: %s\n", PROGRAM_NAME, line);
    if (n > 0)
        platform_console_write_error(text, static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n)
                                                                                 : sizeof text - 1);
    return 2;
}

void live_play_reset() { live = LiveState(); }

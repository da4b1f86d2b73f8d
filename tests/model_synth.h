// A model of the synthesizer at the other end: it applies the recorded
// messages as a General MIDI synth would and tells which frequency each note
// sounded at, so tests check what a listener hears rather than the program's
// own bookkeeping.
#pragma once

#include "platform/fake/fake_platform.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct HeardNote {
    uint32_t on_ms;     // virtual time of the note-on
    uint32_t off_ms;    // virtual time of the matching note-off; UINT32_MAX while it sounds
    size_t on_index;    // position of the note-on in the log
    size_t off_index;   // position of the note-off in the log; SIZE_MAX while it sounds
    int channel;
    int note;
    int velocity;
    double bend;        // 14-bit bend the channel carried at the note-on
    double frequency;   // Hz, from the note, the bend and the channel's bend range
};

// What keeps a synthesizer from playing as it is told: a bend range of its
// own whatever the range message asks (up and down apart), keys and
// channels detuned.
struct SynthFaults {
    double range_up = 0.0;    // semitones for 8192 units up; 0: the range message's
    double range_down = 0.0;  // semitones for 8192 units down; 0: the range message's
    double key_cents[128] = {};
    double channel_cents[32] = {};
    bool whole_cents = false;  // every pitch cut to the whole cent below, as FluidSynth does
};

class ModelSynth {
public:
    SynthFaults faults;  // none unless a test sets them

    // Applies every message of the log from index first on.
    void apply(const std::vector<FakeMessage>& log, size_t first = 0);

    const std::vector<HeardNote>& notes() const { return notes_; }
    // Notes still sounding (note-ons without their note-off).
    std::vector<HeardNote> sounding() const;
    // Note-offs that matched no sounding note.
    int unmatched_note_offs() const { return unmatched_offs_; }
    double bend(int channel) const { return channels_[channel].bend; }
    // Bend messages received on a channel.
    int bend_messages(int channel) const { return channels_[channel].bend_messages; }

private:
    struct Channel {
        double bend = 8192;
        int range_semitones = 2;  // +-, as General MIDI synths default to
        int rpn_high = 127, rpn_low = 127;
        int bend_messages = 0;
    };
    Channel channels_[32];
    std::vector<HeardNote> notes_;
    int unmatched_offs_ = 0;
};

// Cents from a to b.
double cents_between(double a_hz, double b_hz);

// One bend unit (of 8192 per two semitones) in cents.
constexpr double BEND_UNIT_CENTS = 200.0 / 8192.0;

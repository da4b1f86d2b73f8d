// What a measurement of a synthesizer found, stage by stage: the data the
// report, the JSON file and the chart are made from. Pitches are in cents
// against equal temperament at A = 440 Hz unless said otherwise; a value not
// measured is NaN. Channels are numbered from 0, as the dialogue numbers them.
#pragma once

#include "calibration/calibration.h"

#include <string>
#include <vector>

// The bend values of the bend-range stage, as offsets from the centre 8192:
// the extremes 0 and 16383, a quarter swing either way, and no bend.
constexpr int BEND_POINTS = 5;
constexpr int BEND_OFFSETS[BEND_POINTS] = {-8192, -4096, 0, 4096, 8191};
constexpr double ASKED_BEND_RANGE = 2.0;  // semitones, the range the opening asks every channel for

// The keys of one more voice measured (for a calibration of several).
struct VoiceKeys {
    int program;
    std::string voice;
    std::vector<KeyOffset> keys;
};

struct ChannelBend {
    int channel;                        // 0..31, never 9
    double cents_at_zero_bend;          // its unbent note against equal temperament at A = 440 Hz
    double shift_semitones[BEND_POINTS];// pitch at each of BEND_OFFSETS above its unbent pitch
    double bend_up_semitones;           // what a full swing up (8192 units) moves, semitones
    double bend_down_semitones;         // what a full swing down moves, semitones (positive)
    double linearity_cents;             // largest distance of a point from the straight line through the extremes
    bool obeys_range_message;           // both ranges within BEND_RANGE_TOLERANCE of the 2 asked
};

// A range within this many semitones of the one asked counts as obeyed: at
// most 0.75 cent off for the bends of up to half a semitone the program
// sends to retune a key. FluidSynth, which makes a range of 2 semitones
// 127/128 of that and cuts pitches to whole cents, bends 1.980 up and 1.990
// down: obeyed, and not at the edge.
constexpr double BEND_RANGE_TOLERANCE = 0.03;

struct TuningNote {
    std::string test;      // "chord" or "harmonics"
    double asked_hz;       // the frequency the retuning engine was asked for
    double measured_hz;    // what sounded
    double cents;          // measured against asked
    int channel;           // where the engine put it
    int midi_note;         // the key it sent
    int bend;              // the 14-bit bend the channel carried
};

struct MeasureResults {
    std::string device;        // the device's name in the menu
    std::string source;        // the audio source, or "offline render"
    std::string voice;         // the General MIDI voice played
    int program;               // its program number 0..127
    double sample_rate;        // Hz
    double latency_ms;         // note-on to sound
    double level_db;           // RMS of a steady note, dB re full scale
    int reference_key;         // the key of the route and bend-range stages
    std::vector<KeyOffset> keys;
    std::vector<VoiceKeys> other_voices;  // the keys of the other voices asked, in the order asked
    std::vector<ChannelBend> channels;
    // When calibrating: the steps pitches go in (1.0 for a synthesizer that
    // cuts them to whole cents; 0 when they follow the bend smoothly) and
    // the bend, in cents above the unbent key, where the first step up
    // comes (0..1). NaN when not measured.
    double pitch_step_cents;
    double step_at_cents;
    std::vector<TuningNote> tunings;
    // The tuning messages stage: 1 yes, 0 no, -1 not found out. Whether a
    // Single Note Tuning Change retuned a key; whether only once a tuning
    // program was selected; whether the MPE Configuration Message set a
    // member's bend range to 48 semitones by itself.
    int obeys_mts;
    int mts_needs_program;
    int obeys_mpe;
    double seconds;            // how long the measurement took
    // The built-in synthesizer's key corrections in use: "shipped",
    // "cached" or "none"; empty for any other synthesizer.
    std::string corrections;
    int corrected_keys;        // keys of the program played that they correct, 0..128
};



// The bend range figures of a channel from its five shifts (fills
// bend_up_semitones, bend_down_semitones, linearity_cents and
// obeys_range_message).
void complete_channel(ChannelBend* channel);

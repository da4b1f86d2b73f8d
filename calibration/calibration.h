// A device's calibration: what measuring it found that keeps it from
// sounding the pitches the retuning engine asks for (its keys' offsets for
// each voice measured, each channel's real bend range and its own offset),
// as the program keeps it in a JSON file of the device's own.
#pragma once

#include <string>
#include <vector>

// The layout of the file; a file of another layout is refused whole.
constexpr int CALIBRATION_VERSION = 1;

// Offsets beyond this many cents are no tuning fault but a wrong key, a
// wrong voice or a broken measurement: a file holding one is refused.
constexpr double CALIBRATION_MAX_OFFSET_CENTS = 100.0;

// A run holds keys whose offsets stay within this many cents of its first
// key's; its offset is their mean.
constexpr double KEY_RUN_TOLERANCE = 0.3;

// Keys first_key..last_key of a voice, which sound cents off equal
// temperament at A = 440 Hz (one sample's key range, as far as measured).
struct KeyRun {
    int first_key;
    int last_key;
    double cents;
};

struct KeyOffset {
    int key;           // MIDI note 0..127
    double cents;      // the unbent key against equal temperament at A = 440 Hz
};

// Runs of consecutive measured keys whose offsets stay within
// KEY_RUN_TOLERANCE cents of the run's first key; keys not measured (NaN)
// end a run.
std::vector<KeyRun> key_runs(const std::vector<KeyOffset>& keys);

struct CalibrationVoice {
    int program;     // 0..127
    std::string name;  // its General MIDI name, for people
    std::vector<KeyRun> runs;  // ascending, not overlapping
};

struct CalibrationChannel {
    int channel;                // 0..31, never 9
    double bend_up_semitones;   // what a swing of 8192 units up moves (to the top, 8191, in proportion)
    double bend_down_semitones; // what the full swing down (8192 units) moves, positive
    double offset_cents;        // its unbent notes against the keys' own offsets
};

// A centring beyond this is no centring of a step of a cent.
constexpr double CALIBRATION_MAX_CENTRE_CENTS = 1.0;

struct Calibration {
    std::string device;  // the device's name in the menu
    std::string date;    // YYYY-MM-DD, when it was measured
    // The steps its pitches go in (1.0: it cuts them to whole cents; 0:
    // none), and what every pitch asked is raised by so that the cut lands
    // it nearest, not always below.
    double pitch_step_cents;
    double centre_cents;
    // Which tuning messages it obeys: a Single Note Tuning Change of the
    // MIDI Tuning Standard (and whether only once a tuning program is
    // selected), and the MPE Configuration Message.
    bool obeys_mts;
    bool mts_needs_program;
    bool obeys_mpe;
    std::vector<CalibrationVoice> voices;
    std::vector<CalibrationChannel> channels;
};

// The calibration as the file holds it.
std::string calibration_json(const Calibration& calibration);

// Reads a file's text into *calibration. On any fault returns false, leaves
// *calibration alone and says why in *reason, one phrase without its end
// ("not readable JSON", "version 2, not 1", ...). A calibration made for
// another device than device (when not nullptr) is refused too.
bool calibration_from_json(const std::string& text, const char* device, Calibration* calibration,
                           std::string* reason);

// What a calibration corrects, as the line after a device's open says it:
// "bend range +1.98/-1.98, keys of Reed Organ within 0.3 c of their measure".
std::string calibration_summary(const Calibration& calibration);

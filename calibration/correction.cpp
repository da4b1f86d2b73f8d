// The calibration in use; see correction.h.
#include "calibration/correction.h"

#include "midi/channel.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr int kPrograms = 128;
constexpr int kKeys = 128;
constexpr double kSwingUnits = 8192.0;       // a bend's half swing, as the ranges count it
constexpr double kAskedCents = 200.0;        // the range every channel is asked for, +-2 semitones
constexpr int kKeySearch = 2;                // offsets within +-100 c put the nearest key this near

struct Correction {
    bool active;
    bool obeys_mts;
    double centre_cents;                // added to every pitch asked
    bool measured[kPrograms];           // programs whose keys were measured
    double key_cents[kPrograms][kKeys]; // each key's offset, by program
    double offset_cents[MAX_CHANNELS];  // each channel's own offset
    double up_cents[MAX_CHANNELS];      // what 8192 units up move, cents
    double down_cents[MAX_CHANNELS];    // what 8192 units down move, cents
};

Correction correction;

// A program's offsets for every key from its runs: a run's own for its
// keys, straight between the ends of two runs for keys no run holds (the
// boundary of two samples lies somewhere there), the nearest run's beyond.
void fill_keys(const CalibrationVoice& voice, double* cents)
{
    const std::vector<KeyRun>& runs = voice.runs;
    for (int key = 0; key < kKeys; ++key) {
        const KeyRun* below = nullptr;
        const KeyRun* above = nullptr;
        for (const KeyRun& run : runs) {
            if (run.first_key <= key)
                below = &run;
            if (run.last_key >= key && above == nullptr)
                above = &run;
        }
        if (below != nullptr && key <= below->last_key)
            cents[key] = below->cents;
        else if (below == nullptr)
            cents[key] = above->cents;
        else if (above == nullptr)
            cents[key] = below->cents;
        else
            cents[key] = below->cents + (above->cents - below->cents) * (key - below->last_key) /
                                            static_cast<double>(above->first_key - below->last_key);
    }
}

// The key offsets of the program last chosen for every channel; nullptr
// when the calibration did not measure it.
const double* program_keys()
{
    const int program = current_program();
    return program >= 0 && program < kPrograms && correction.measured[program] ? correction.key_cents[program] : nullptr;
}

}  // namespace

void use_calibration(const Calibration& calibration)
{
    drop_calibration();
    for (const CalibrationVoice& voice : calibration.voices) {
        if (voice.runs.empty())
            continue;
        correction.measured[voice.program] = true;
        fill_keys(voice, correction.key_cents[voice.program]);
    }
    for (const CalibrationChannel& c : calibration.channels) {
        correction.offset_cents[c.channel] = c.offset_cents;
        correction.up_cents[c.channel] = 100.0 * c.bend_up_semitones;
        correction.down_cents[c.channel] = 100.0 * c.bend_down_semitones;
    }
    correction.centre_cents = calibration.centre_cents;
    correction.obeys_mts = calibration.obeys_mts;
    correction.active = true;
}

void drop_calibration()
{
    correction.active = false;
    correction.obeys_mts = false;
    correction.centre_cents = 0.0;
    for (int p = 0; p < kPrograms; ++p)
        correction.measured[p] = false;
    for (int c = 0; c < MAX_CHANNELS; ++c) {
        correction.offset_cents[c] = 0.0;
        correction.up_cents[c] = kAskedCents;
        correction.down_cents[c] = kAskedCents;
    }
}

bool calibration_in_use() { return correction.active; }

bool calibration_obeys_mts() { return correction.active && correction.obeys_mts; }

void calibrated_note(double n, int channel, int* midi_note, double* bend)
{
    const double* keys = program_keys();
    const int c = channel >= 0 && channel < MAX_CHANNELS ? channel : 0;
    const double pitch = 100.0 * n + correction.centre_cents;  // cents above key 0
    auto sound = [keys](int key) { return 100.0 * key + (keys != nullptr ? keys[key] : 0.0); };

    // The key whose own sound lies nearest; of two as near, the higher.
    const int nearest = static_cast<int>(std::clamp(std::floor(n + 0.5), 0.0, kKeys - 1.0));
    int key = nearest;
    for (int k = nearest - kKeySearch; k <= nearest + kKeySearch; ++k) {
        if (k >= 0 && k < kKeys && std::fabs(pitch - sound(k)) <= std::fabs(pitch - sound(key)))
            key = k;
    }
    auto units_from = [&](int k) {
        const double cents = pitch - sound(k) - correction.offset_cents[c];
        return cents * kSwingUnits / (cents >= 0.0 ? correction.up_cents[c] : correction.down_cents[c]);
    };
    double units = units_from(key);
    // A range too narrow for the correction: the next key toward the pitch.
    if (units > BEND_MAX - BEND_CENTRE && key + 1 < kKeys)
        units = units_from(++key);
    else if (units < -BEND_CENTRE && key > 0)
        units = units_from(--key);
    *midi_note = key;
    *bend = std::clamp(BEND_CENTRE + std::floor(units + 0.5), 0.0, static_cast<double>(BEND_MAX));
}

double bend_cents(int channel, double bend)
{
    const double units = bend - BEND_CENTRE;
    if (!correction.active || channel < 0 || channel >= MAX_CHANNELS)
        return units / kSwingUnits * kAskedCents;
    return units / kSwingUnits * (units >= 0.0 ? correction.up_cents[channel] : correction.down_cents[channel]);
}

double bend_from_cents(int channel, double cents)
{
    if (!correction.active || channel < 0 || channel >= MAX_CHANNELS)
        return BEND_CENTRE + cents / kAskedCents * kSwingUnits;
    return BEND_CENTRE + cents / (cents >= 0.0 ? correction.up_cents[channel] : correction.down_cents[channel]) *
                             kSwingUnits;
}

double calibrated_key_offset(int channel, int key)
{
    if (!correction.active || channel < 0 || channel >= MAX_CHANNELS || key < 0 || key >= kKeys)
        return 0.0;
    const double* keys = program_keys();
    return (keys != nullptr ? keys[key] : 0.0) + correction.offset_cents[channel] - correction.centre_cents;
}

// Frequency to MIDI note, bend and channel; see channel_choice.h.
//
// The bend stays a double holding a whole number throughout: it is compared
// with stored bends as a double and only set_pitch_bend turns it into the 14
// bits that are sent, so no out-of-range value ever meets an int conversion.
#include "retune/channel_choice.h"

#include "calibration/correction.h"
#include "midi/channel.h"
#include "retune/method.h"
#include "retune/notes.h"

#include <cmath>
#include <cstdint>

namespace {

constexpr double A4_HZ = 440.0;             // MIDI note 69
constexpr double A4_NOTE = 69.0;
constexpr double SMALLEST_RATIO = 1e-50;    // to 440 Hz; keeps the logarithm finite
constexpr double UNITS_PER_SEMITONE = 4096.0;  // with the +-2 semitone bend range
constexpr int STEAL_VELOCITY = 127;         // note-off velocity for a stolen channel's notes

double clamp_double(double value, double low, double high)
{
    return value < low ? low : (value > high ? high : value);
}

// The nearest key and the bend toward n for a synthesizer that plays as
// it is told.
void nearest_note(double n, int* midi_note, double* bend)
{
    // Clamped while still a double: floor(n + 0.5) may lie far outside int.
    const double note = clamp_double(std::floor(n + 0.5), 0.0, 127.0);
    // Truncation rounds toward the centre, so the bend never overshoots;
    // over an MPE member's 48 semitones a step is 0.59 c, so there it
    // rounds to the nearest.
    const double b = tuning_method() == METHOD_MPE
                         ? BEND_CENTRE + std::floor(BEND_CENTRE / MPE_BEND_RANGE * (n - note) + 0.5)
                         : BEND_CENTRE + std::trunc(UNITS_PER_SEMITONE * (n - note));
    if (midi_note != nullptr)
        *midi_note = static_cast<int>(note);
    if (bend != nullptr)
        *bend = clamp_double(b, 0.0, BEND_MAX);
}

bool carries(int channel, double bend) { return std::floor(channel_state(channel).bend + 0.5) == bend; }

// Whether a note may take channel c: never 9; under MPE a member of the
// zone, never its manager.
bool playable(int c, bool mpe)
{
    return c != PERCUSSION_CHANNEL && !(mpe && (c == MPE_MANAGER_CHANNEL || c > MPE_MEMBER_CHANNELS));
}

// The least recently used free channel (among equal stamps the lowest);
// with CHOOSE_AVOID_NEWEST, only one freed strictly before the most recent
// release: that note's release tail may still ring there, and pre-tuning
// would bend it. -1 when none qualifies.
int least_recent_free(int flags, bool mpe, uint32_t excluded)
{
    const int channels = channel_count();
    uint32_t newest = 0;
    if (flags & CHOOSE_AVOID_NEWEST) {
        for (int c = 0; c < channels; ++c) {
            if (channel_state(c).last_use_ms > newest)
                newest = channel_state(c).last_use_ms;
        }
    }
    int chosen = -1;
    for (int c = 0; c < channels; ++c) {
        const ChannelState& s = channel_state(c);
        if (!playable(c, mpe) || (excluded & (1u << c)) != 0 || s.sounding_notes != 0)
            continue;
        if ((flags & CHOOSE_AVOID_NEWEST) && !(s.last_use_ms < newest))
            continue;
        if (chosen < 0 || s.last_use_ms < channel_state(chosen).last_use_ms)
            chosen = c;
    }
    return chosen;
}

// The least recently used channel of all, its notes ended; an excluded one
// only when every other is excluded.
int steal_least_recent(bool mpe, uint32_t excluded)
{
    const int channels = channel_count();
    int chosen = -1;
    for (int pass = 0; pass < 2 && chosen < 0; ++pass) {
        for (int c = 0; c < channels; ++c) {
            if (playable(c, mpe) && (pass == 1 || (excluded & (1u << c)) == 0) &&
                (chosen < 0 || channel_state(c).last_use_ms < channel_state(chosen).last_use_ms))
                chosen = c;
        }
    }
    if (chosen >= 0)
        release_channel_notes(STEAL_VELOCITY, chosen);
    return chosen;
}

// An MPE zone's member channel for a note of that bend: one of its own while
// any is free (one already pre-tuned to the bend, else the longest free),
// else one sharing the bend, else, on request, the least recently used,
// its notes ended.
int choose_member(int flags, double bend, uint32_t excluded)
{
    const int channels = channel_count();
    auto member = [excluded](int c) { return playable(c, true) && (excluded & (1u << c)) == 0; };
    int chosen = -1;
    for (int c = 0; c < channels && chosen < 0; ++c) {
        if (member(c) && channel_state(c).sounding_notes == 0 && carries(c, bend))
            chosen = c;
    }
    if (chosen < 0)
        chosen = least_recent_free(flags, true, excluded);
    for (int c = 0; c < channels && chosen < 0; ++c) {
        if (member(c) && carries(c, bend))
            chosen = c;
    }
    if (chosen < 0 && (flags & CHOOSE_STEAL))
        chosen = steal_least_recent(true, excluded);
    return chosen;
}

}  // namespace

double note_of_frequency(double frequency_hz)
{
    double r = frequency_hz / A4_HZ;
    if (!(r >= SMALLEST_RATIO))  // zero, negative and NaN alike
        r = SMALLEST_RATIO;
    return A4_NOTE + 12.0 * std::log(r) / std::log(2.0);  // +inf for an infinite frequency
}

void frequency_to_note(double frequency_hz, int* midi_note, double* bend)
{
    nearest_note(note_of_frequency(frequency_hz), midi_note, bend);
}

void choose_channel(int flags, double frequency_hz, int* channel, int* midi_note, double* bend)
{
    choose_channel_excluding(flags, frequency_hz, 0, channel, midi_note, bend);
}

void choose_channel_excluding(int flags, double frequency_hz, uint32_t excluded, int* channel, int* midi_note,
                              double* bend)
{
    // The key and bend that sound the frequency on a channel: the same on
    // every channel, unless a calibration measured them apart.
    const double n = note_of_frequency(frequency_hz);
    const bool mpe = tuning_method() == METHOD_MPE;
    const bool calibrated = calibration_in_use() && !mpe;  // a calibration measured the range bends ask for
    int note;
    double wanted;
    nearest_note(n, &note, &wanted);
    if (mpe) {
        const int member = choose_member(flags, wanted, excluded);
        if (midi_note != nullptr)
            *midi_note = note;
        if (bend != nullptr)
            *bend = wanted;
        if (channel != nullptr)
            *channel = member;
        return;
    }
    auto place = [&](int c, int* key, double* b) {
        if (calibrated) {
            calibrated_note(n, c, key, b);
        } else {
            *key = note;
            *b = wanted;
        }
    };

    const int channels = channel_count();
    int chosen = -1;

    // 1. A channel that already carries the bend, whatever it sounds.
    for (int c = 0; c < channels && chosen < 0; ++c) {
        if (c == PERCUSSION_CHANNEL || (excluded & (1u << c)) != 0)
            continue;
        int key;
        double b;
        place(c, &key, &b);
        if (carries(c, b))
            chosen = c;
    }

    // 2. A channel whose bend is not yet spoken for, unless a note left on it
    //    from before has the same MIDI note (the two would be indistinguishable
    //    to the synthesizer, and the old one would be re-bent).
    if (chosen < 0) {
        bool scanned = false;
        uint32_t busy = 0;  // channels with an entry of this MIDI note
        for (int c = 0; c < channels && chosen < 0; ++c) {
            if (c == PERCUSSION_CHANNEL || (excluded & (1u << c)) != 0 || channel_state(c).bend != UNKNOWN_BEND)
                continue;
            int key = note;
            if (calibrated) {
                double b;
                place(c, &key, &b);
                scanned = false;  // each channel's own key
            }
            if (!scanned) {
                busy = channels_sounding_note(key);
                scanned = true;
            }
            if ((busy & (1u << c)) == 0)
                chosen = c;
        }
    }

    // 3. The least recently used free channel.
    if (chosen < 0)
        chosen = least_recent_free(flags, false, excluded);

    // 4. The least recently used channel of all, emptied first.
    if (chosen < 0 && (flags & CHOOSE_STEAL))
        chosen = steal_least_recent(false, excluded);

    // What the chosen channel sounds; with none chosen, the first one's.
    place(chosen >= 0 ? chosen : 0, &note, &wanted);
    if (midi_note != nullptr)
        *midi_note = note;
    if (bend != nullptr)
        *bend = wanted;
    if (channel != nullptr)
        *channel = chosen;
}

// The hearing: the device opened as the dialogue opens it, a steady voice,
// then four stages (the route, the unbent tuning, the pitch-bend range of
// every melodic channel, the program's own tunings), each note played
// through the program's MIDI layer or retuning engine and measured from the
// sound; then the report. See hearing.h.
#include "hearing/hearing.h"

#include "console/console.h"
#include "hearing/capture.h"
#include "hearing/pitch.h"
#include "hearing/plot.h"
#include "hearing/report.h"
#include "hearing/results.h"
#include "midi/bridge.h"
#include "midi/channel.h"
#include "midi/device.h"
#include "platform/end_request.h"
#include "platform/platform.h"
#include "retune/degrees.h"
#include "retune/method.h"
#include "retune/notes.h"
#include "tuning/scale.h"
#include "voices/voices.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

constexpr int kVelocity = 127;          // as the dialogues play
constexpr int kRouteKey = 69;           // A, 440 Hz in tune
constexpr int kBendKey = 60;            // bent two octaves either way, it stays in the audible range
constexpr int kFirstKey = 36;           // the unbent tuning: every third key from here ...
constexpr int kLastKey = 96;            // ... to here
constexpr int kKeyStep = 3;
constexpr int kTuningChannel = 0;       // the channel of the unbent tuning
constexpr double kFloorMs = 200.0;      // silence listened to before the first note
constexpr double kHearWithinMs = 3000.0;// the first note must be heard within this
constexpr double kBlockMs = 2.0;        // envelope resolution of the route stage
constexpr double kOnsetBelowSteady = 0.01;  // sound "arrives" at -40 dB of its steady level
constexpr double kOnsetAboveFloor = 4.0;    // ... and above four times the noise before it
constexpr double kQuietest = 1e-4;          // -80 dB re full scale: nothing below counts as heard
constexpr double kSettleMs = 250.0;     // a note's attack, left out
constexpr double kWindowMs = 250.0;     // the stretch of a note measured
constexpr double kBendSettleMs = 50.0;  // after a bend, left out
constexpr double kBendWindowMs = 160.0; // the stretch measured per bend
constexpr double kGapMs = 100.0;        // between notes, for the release
constexpr double kSteadyCents = 1.0;    // the two halves of a steady window agree this well
constexpr int kSteadyTries = 4;         // windows tried per note, each half a window later
constexpr double kKeySearchCents = 90.0;    // an unbent key is looked for this far around equal temperament
constexpr double kShiftSearchCents = 3000.0;// a bend is looked for this far (past a 24-semitone range)
constexpr double kRefineCents = 25.0;       // a bend's coarse shift is refined this far around
constexpr double kTuningSearchCents = 60.0; // a tuning is looked for this far around its prediction
constexpr int kHarmonicNotes = 12;          // harmonics of 55 Hz played, from the first above 100 Hz
constexpr double kHarmonicBaseHz = 55.0;    // the harmonic series test's 1/1
constexpr double kHarmonicLowestHz = 100.0;
constexpr uint32_t kSourceWaitMs = 2000;    // a source may appear this long after the device opened
constexpr uint32_t kPollMs = 100;           // ... looked for this often
const char* const kChord = "7/6 3/2 2/1";   // the chord test's preset chord
const char* const kHarmonicScale = "h 2";   // the harmonic series test's scale
constexpr int kStages = 5;
constexpr double kRetuneCents = 30.0;       // the tuning change's test: key kRouteKey this much sharp
constexpr double kObeyedWithinCents = 5.0;  // ... heard within this of it
constexpr int kMemberChannel = 1;           // the MPE test's member channel
constexpr int kMemberBend = 4096;           // bent a quarter swing up: 24 semitones over 48, 1 over 2
constexpr int kStepProbes = 4;              // fine bends that place a whole-cent step to a sixteenth
constexpr double kStepSeenCents = 0.5;      // a pitch this far from the bend asked stayed behind it

struct MeasureState {
    HearingRequest request;  // what is heard
    MeasureResults results;  // what has been found so far
    double rate;             // Hz of the sound
    uint64_t latency;        // frames from a note-on to its sound; 0 until the route stage
    bool terminal;           // progress as a redrawn bar, else as plain lines
    int stage;               // 1..kStages while running
    std::string source;      // the source's name as typed, for messages
} state;

// ---- Output ------------------------------------------------------------------

const char* const kStageNames[kStages] = {"the route", "the unbent tuning", "the pitch-bend range",
                                          "Varenta's tunings", "the tuning messages"};

// One progress line per stage: redrawn as a bar on a terminal, written
// once, when the stage begins, into a pipe.
void progress(int done, int total, const char* what)
{
    if (!state.terminal) {
        if (done == 0)
            console_printf("Measuring %d/%d: %s (%d note%s)\n", state.stage, kStages, kStageNames[state.stage - 1],
                           total, total == 1 ? "" : "s");
        return;
    }
    constexpr int kWidth = 24;
    char bar[kWidth + 1];
    int filled = total > 0 ? done * kWidth / total : kWidth;
    for (int i = 0; i < kWidth; ++i)
        bar[i] = i < filled ? '#' : '.';
    bar[kWidth] = '\0';
    console_printf("\r%d/%d %-22s [%s] %3d/%-3d %-16s", state.stage, kStages, kStageNames[state.stage - 1], bar, done,
                   total, what);
    if (done == total)
        console_printf("\n");
}

// ---- Frames and notes -----------------------------------------------------------

uint64_t frames_of(double ms) { return static_cast<uint64_t>(std::llround(ms * 0.001 * state.rate)); }

double nominal_hz(double key) { return 440.0 * std::pow(2.0, (key - 69.0) / 12.0); }

double cents_from_equal(double hz, double key) { return cents_between_hz(nominal_hz(key), hz); }

// The attack left out of a note of a key: a sample played below its root
// plays its attack slower, an octave down twice as long.
double settle_ms(int key) { return kSettleMs * std::max(1.0, std::pow(2.0, (kBendKey - key) / 12.0)); }

// Waits out the release of the last note.
void gap() { capture_wait_until(capture_position() + frames_of(kGapMs)); }

// The stretch measured of a sound that changed at frame `changed`, after
// settle_ms of it; waits until it is there.
const float* steady_window(uint64_t changed, double settle_ms, double window_ms, size_t* count)
{
    uint64_t from = changed + state.latency + frames_of(settle_ms);
    *count = static_cast<size_t>(frames_of(window_ms));
    capture_wait_until(from + *count);
    return capture_samples(from);
}

// A steady stretch of a sound and its pitch.
struct Steady {
    double frequency_hz;  // NaN when no stretch tried was steady
    const float* window;  // the stretch (valid until the next wait); nullptr with NaN
    size_t count;
};

// The pitch of the sound that changed at frame `changed`, from a window after
// settle_ms whose two halves agree within kSteadyCents: one that does not (an
// attack still going on, a glitch in the sound) is given up for a window half
// its length later. The pitch is looked for within search_cents of guess_hz;
// given a reference stretch of the same note, the guess is first moved by the
// shift between their spectra, so that a bend however far is found.
Steady steady_pitch(uint64_t changed, double settle_ms, double window_ms, double guess_hz, double search_cents,
                    const std::vector<float>* reference = nullptr)
{
    for (int attempt = 0; attempt < kSteadyTries; ++attempt) {
        size_t count = 0;
        const float* window = steady_window(changed, settle_ms + 0.5 * window_ms * attempt, window_ms, &count);
        double guess = guess_hz, search = search_cents;
        if (reference != nullptr) {
            double shift = estimate_shift_cents(reference->data(), reference->size(), window, count, state.rate,
                                                kShiftSearchCents);
            guess *= std::pow(2.0, shift / 1200.0);
            search = kRefineCents;
        }
        if (std::isnan(guess))
            continue;
        double whole = measured_pitch_hz(window, count, state.rate, guess, search);
        if (std::isnan(whole))
            continue;
        const size_t half = count / 2;
        double first = measured_pitch_hz(window, half, state.rate, whole, kRefineCents);
        double second = measured_pitch_hz(window + half, count - half, state.rate, whole, kRefineCents);
        if (std::fabs(cents_between_hz(first, second)) <= kSteadyCents)
            return Steady{whole, window, count};
    }
    return Steady{kNaN, nullptr, 0};
}

// ---- Stage 1: the route ----------------------------------------------------------

double rms(const float* samples, size_t count)
{
    double sum = 0.0;
    for (size_t i = 0; i < count; ++i)
        sum += static_cast<double>(samples[i]) * samples[i];
    return count == 0 ? 0.0 : std::sqrt(sum / static_cast<double>(count));
}

// The first block from frame `from` on whose level passes threshold, up to
// frame `until`; -1 when none does.
long long first_block_above(uint64_t from, uint64_t until, double threshold)
{
    const uint64_t block = std::max<uint64_t>(1, frames_of(kBlockMs));
    for (uint64_t f = from; f + block <= until; f += block) {
        if (rms(capture_samples(f), block) > threshold)
            return static_cast<long long>(f);
    }
    return -1;
}

// Plays the route's note; false when nothing was heard in time.
bool measure_route()
{
    progress(0, 1, "listening");
    uint64_t quiet_from = capture_position();
    capture_wait_until(quiet_from + frames_of(kFloorMs));
    const double floor = rms(capture_samples(quiet_from), frames_of(kFloorMs));
    const double heard_above = std::max(kQuietest, kOnsetAboveFloor * floor);

    uint64_t on = capture_position();
    note_on(port_handle(), kTuningChannel, kRouteKey, kVelocity);
    long long heard = -1;
    const uint64_t give_up = on + frames_of(kHearWithinMs);
    for (uint64_t until = on + frames_of(50.0); heard < 0 && until <= give_up; until += frames_of(50.0)) {
        capture_wait_until(until);
        heard = first_block_above(on, until, heard_above);
    }
    if (heard < 0) {
        note_off(port_handle(), kTuningChannel, kRouteKey, kVelocity);
        return false;
    }
    // The steady level, then where the sound first reached 1% of it.
    size_t count = 0;
    const float* steady = steady_window(static_cast<uint64_t>(heard), kSettleMs, kWindowMs, &count);
    const double level = rms(steady, count);
    long long onset = first_block_above(on, static_cast<uint64_t>(heard) + frames_of(kBlockMs),
                                        std::max(heard_above, kOnsetBelowSteady * level));
    if (onset < 0)
        onset = heard;
    state.latency = static_cast<uint64_t>(onset) - on;
    state.results.latency_ms = 1000.0 * static_cast<double>(state.latency) / state.rate;
    state.results.level_db = level_db(steady, count);
    note_off(port_handle(), kTuningChannel, kRouteKey, kVelocity);
    gap();
    progress(1, 1, "heard");
    return true;
}

// ---- Stage 2: the unbent tuning ---------------------------------------------------

// The pitch of key on channel, in cents against equal temperament, looked
// for within search_cents of guess_cents.
double heard_cents(int channel, int key, double guess_cents, double search_cents)
{
    uint64_t on = capture_position();
    note_on(port_handle(), channel, key, kVelocity);
    const double hz = steady_pitch(on, settle_ms(key), kWindowMs, nominal_hz(key + guess_cents / 100.0), search_cents)
                          .frequency_hz;
    note_off(port_handle(), channel, key, kVelocity);
    gap();
    return cents_from_equal(hz, key);
}

// Measures one key, unbent, on the tuning channel.
KeyOffset measure_key(int key) { return KeyOffset{key, heard_cents(kTuningChannel, key, 0.0, kKeySearchCents)}; }

bool sound_alike(const KeyOffset& a, const KeyOffset& b) { return std::fabs(a.cents - b.cents) <= KEY_RUN_TOLERANCE; }

// The keys between two measured keys that sound apart (a sample's key range
// ends somewhere between them), so that the key runs end where the samples
// do: the first key after the lower one, and the next only when the first
// does not already sound like the upper one.
std::vector<int> boundary_keys(const std::vector<KeyOffset>& keys)
{
    std::vector<int> between;
    for (size_t i = 0; i + 1 < keys.size(); ++i) {
        const KeyOffset &a = keys[i], &b = keys[i + 1];
        if (b.key - a.key > 1 && !std::isnan(a.cents) && !std::isnan(b.cents) && !sound_alike(a, b))
            between.push_back(a.key);  // the lower end; the keys above it are found as they are measured
    }
    return between;
}

// The unbent tuning of every third key of one program, and with
// calibrating the keys where its offsets change.
std::vector<KeyOffset> measure_program_keys(int* done, int* total, const char* voice_label)
{
    std::vector<KeyOffset> keys;
    char what[32];
    for (int key = kFirstKey; key <= kLastKey; key += kKeyStep) {
        keys.push_back(measure_key(key));
        std::vector<int> lower_ends;
        if (key + kKeyStep > kLastKey && state.request.calibrating) {
            lower_ends = boundary_keys(keys);
            *total += 2 * static_cast<int>(lower_ends.size());  // at most two keys each
        }
        std::snprintf(what, sizeof what, "%skey %d", voice_label, key);
        progress(++*done, *total, what);
        for (int lower : lower_ends) {
            auto above = std::find_if(keys.begin(), keys.end(), [lower](const KeyOffset& k) { return k.key > lower; });
            const KeyOffset upper = *above;
            const KeyOffset first = measure_key(lower + 1);
            const bool second = !sound_alike(first, upper) && lower + 2 < upper.key;
            if (!second)
                --*total;
            auto placed = keys.insert(above, first);
            std::snprintf(what, sizeof what, "%skey %d", voice_label, lower + 1);
            progress(++*done, *total, what);
            if (second) {
                keys.insert(placed + 1, measure_key(lower + 2));
                std::snprintf(what, sizeof what, "%skey %d", voice_label, lower + 2);
                progress(++*done, *total, what);
            }
        }
    }
    return keys;
}

// Stage 2: every program asked, the first last, so that it is the one
// sounding for the stages after.
void measure_keys()
{
    const int programs = state.request.program_count;
    int total = programs * ((kLastKey - kFirstKey) / kKeyStep + 1);
    int done = 0;
    progress(0, total, "");
    for (int i = programs - 1; i >= 0; --i) {
        const int program = state.request.programs[i];
        char label[16] = "";
        if (programs > 1) {
            set_program_all(program);
            std::snprintf(label, sizeof label, "p%d ", program);
        }
        std::vector<KeyOffset> keys = measure_program_keys(&done, &total, label);
        if (i == 0)
            state.results.keys = keys;
        else
            state.results.other_voices.insert(state.results.other_voices.begin(),
                                              VoiceKeys{program, voice_names[program], keys});
    }
}

// The measured offset of a key: linear between the measured keys, the
// nearest one's beyond them; 0 when none was measured.
double key_offset(int key)
{
    const std::vector<KeyOffset>& keys = state.results.keys;
    const KeyOffset* below = nullptr;
    const KeyOffset* above = nullptr;
    for (const KeyOffset& k : keys) {
        if (std::isnan(k.cents))
            continue;
        if (k.key <= key && (below == nullptr || k.key > below->key))
            below = &k;
        if (k.key >= key && (above == nullptr || k.key < above->key))
            above = &k;
    }
    if (below == nullptr && above == nullptr)
        return 0.0;
    if (below == nullptr || above == nullptr || below->key == above->key)
        return (below != nullptr ? below : above)->cents;
    double t = static_cast<double>(key - below->key) / (above->key - below->key);
    return below->cents + t * (above->cents - below->cents);
}

// ---- Stage 3: the pitch-bend range ------------------------------------------------

// Starts key kBendKey on channel and hears it unbent: the note that the
// bends of stage 3 move.
Steady start_bend_note(int channel)
{
    uint64_t on = capture_position();
    note_on(port_handle(), channel, kBendKey, kVelocity);
    const double guess = nominal_hz(kBendKey + key_offset(kBendKey) / 100.0);
    return steady_pitch(on, kSettleMs, kWindowMs, guess, kKeySearchCents);
}

// Ends that note: its channel back at the centre, its release waited out.
void end_bend_note(int channel)
{
    set_pitch_bend(port_handle(), channel, BEND_CENTRE);
    note_off(port_handle(), channel, kBendKey, kVelocity);
    gap();
}

// One channel's bend range. quarters: also the quarter swings, which show
// how straight the bend is (a calibration measures them on the first
// channel only, to take no longer than a measurement).
void measure_channel(int channel, bool quarters, ChannelBend* result)
{
    result->channel = channel;
    for (double& s : result->shift_semitones)
        s = kNaN;
    const Steady centre = start_bend_note(channel);
    std::vector<float> reference(centre.window, centre.window + centre.count);
    const double unbent = centre.frequency_hz;
    result->cents_at_zero_bend = cents_from_equal(unbent, kBendKey);
    for (int i = 0; i < BEND_POINTS; ++i) {
        if (BEND_OFFSETS[i] == 0) {
            result->shift_semitones[i] = std::isnan(unbent) ? kNaN : 0.0;
            continue;
        }
        if (!quarters && i != 0 && i != BEND_POINTS - 1)
            continue;
        uint64_t bent_at = capture_position();
        set_pitch_bend(port_handle(), channel, BEND_CENTRE + BEND_OFFSETS[i]);
        if (std::isnan(unbent))
            continue;
        double bent = steady_pitch(bent_at, kBendSettleMs, kBendWindowMs, unbent, kRefineCents, &reference).frequency_hz;
        result->shift_semitones[i] = cents_between_hz(unbent, bent) / 100.0;
    }
    end_bend_note(channel);
    complete_channel(result);
}

// Whether pitches go in steps: key kBendKey on channel 0 bent up by
// fractions of a cent. A synthesizer that cuts pitches to whole cents
// (FluidSynth) holds each pitch, then jumps a cent; one that follows the
// bend moves with every probe.
void measure_steps(const ChannelBend& channel)
{
    const double up_cents = 100.0 * channel.bend_up_semitones;
    if (!(up_cents > 0.0))
        return;
    const double unbent = start_bend_note(kTuningChannel).frequency_hz;
    // Half a cent up first: a pitch that follows the bend has no steps.
    // Otherwise the first step up lies above the unbent pitch and at a whole
    // cent at most (the unbent pitch is one the synthesizer sounds, so a cent
    // above it is one too): halving the bends between one that stayed and
    // one that jumped finds it.
    double stayed = 0.0, jumped = 1.0;
    bool stepped = false, followed = false;
    for (int probe = 0; probe < kStepProbes && !std::isnan(unbent); ++probe) {
        const double wanted = 0.5 * (stayed + jumped);
        const double units = std::round(wanted / up_cents * BEND_CENTRE);
        const double asked = units * up_cents / BEND_CENTRE;
        uint64_t bent_at = capture_position();
        set_pitch_bend(port_handle(), kTuningChannel, BEND_CENTRE + units);
        const double bent = steady_pitch(bent_at, kBendSettleMs, kBendWindowMs, unbent, kRefineCents).frequency_hz;
        const double heard = cents_between_hz(unbent, bent);
        if (std::isnan(heard))
            break;
        if (probe == 0 && std::fabs(heard - asked) < kStepSeenCents / 2.0) {
            followed = true;
            break;
        }
        if (std::fabs(heard) < kStepSeenCents / 2.0)
            stayed = asked;
        else if (std::fabs(heard - 1.0) < kStepSeenCents / 2.0)
            jumped = asked;
        else
            break;  // neither: no whole-cent steps that this can place
        stepped = probe == kStepProbes - 1;
    }
    end_bend_note(kTuningChannel);
    if (std::isnan(unbent))
        return;
    if (stepped || followed) {
        state.results.pitch_step_cents = stepped ? 1.0 : 0.0;
        state.results.step_at_cents = stepped ? 0.5 * (stayed + jumped) : kNaN;
    }
}

void measure_bends()
{
    const int channels = channel_count();
    int total = channels - 1 + (state.request.calibrating ? 1 : 0);
    int done = 0;
    progress(0, total, "");
    for (int channel = 0; channel < channels; ++channel) {
        if (channel == PERCUSSION_CHANNEL)
            continue;
        ChannelBend result;
        measure_channel(channel, !state.request.calibrating || state.results.channels.empty(), &result);
        state.results.channels.push_back(result);
        char what[32];
        std::snprintf(what, sizeof what, "channel %d", channel);
        progress(++done, total, what);
    }
    if (state.request.calibrating && !state.results.channels.empty()) {
        measure_steps(state.results.channels.front());
        progress(++done, total, "whole cents");
    }
}

// ---- Stage 4: the program's own tunings -------------------------------------------

// Where a note (key, channel, bend) should sound, in cents from equal
// temperament at its key, from what the earlier stages measured: the key's
// offset, the channel's own detuning and its bend curve.
double predicted_cents(int key, int channel, double bend)
{
    double cents = key_offset(key);
    for (const ChannelBend& c : state.results.channels) {
        if (c.channel != channel)
            continue;
        if (!std::isnan(c.cents_at_zero_bend))
            cents += c.cents_at_zero_bend - key_offset(kBendKey);
        // Linear between the measured bends, the outer segments extended.
        int points[BEND_POINTS];
        int measured = 0;
        for (int i = 0; i < BEND_POINTS; ++i) {
            if (!std::isnan(c.shift_semitones[i]))
                points[measured++] = i;
        }
        if (measured < 2)
            break;
        const double offset = bend - BEND_CENTRE;
        int j = 0;
        while (j + 2 < measured && offset > BEND_OFFSETS[points[j + 1]])
            ++j;
        const int lo = points[j], hi = points[j + 1];
        const double a = c.shift_semitones[lo], b = c.shift_semitones[hi];
        const double t = (offset - BEND_OFFSETS[lo]) / (BEND_OFFSETS[hi] - BEND_OFFSETS[lo]);
        return cents + 100.0 * (a + t * (b - a));
    }
    return cents + (bend - BEND_CENTRE) * ASKED_BEND_RANGE * 100.0 / 8192.0;
}

// Plays a degree of the current scale as the dialogues do and measures it
// against the frequency the engine was asked for.
void measure_degree(const char* test, int degree)
{
    const double asked = reference_pitch() * current_degree_ratio(degree);
    uint64_t on = capture_position();
    play_degree(degree, kVelocity);
    const NoteTable& table = note_table();
    const NoteEntry& entry = table.entries[table.count - 1];
    const double bend = channel_state(entry.channel).bend;
    // A key the MIDI Tuning Standard retuned sounds its tuning; an MPE
    // member bends over 48 semitones.
    double predicted = predicted_cents(entry.midi_note, entry.channel, bend);
    if (tuning_method() == METHOD_MTS)
        predicted = key_offset(entry.midi_note) + mts_key_cents(entry.midi_note);
    else if (tuning_method() == METHOD_MPE)
        predicted = key_offset(entry.midi_note) + bend_cents_in_effect(entry.channel, bend);
    const double guess = nominal_hz(entry.midi_note + predicted / 100.0);
    double measured = steady_pitch(on, settle_ms(entry.midi_note), kWindowMs, guess, kTuningSearchCents).frequency_hz;
    state.results.tunings.push_back(TuningNote{test, asked, measured, cents_between_hz(asked, measured), entry.channel,
                                               entry.midi_note, bend_for_sending(bend)});
    release_degree(degree, kVelocity);
    gap();
}

void measure_tunings()
{
    // The chord test's preset, then harmonics of the harmonic series test.
    set_reference_pitch(0.0);
    set_scale(kChord);
    const int chord_notes = scale_size();
    int first_harmonic = 0;
    set_reference_pitch(kHarmonicBaseHz);
    set_scale(kHarmonicScale);
    while (reference_pitch() * current_degree_ratio(first_harmonic) < kHarmonicLowestHz)
        ++first_harmonic;
    const int total = chord_notes + kHarmonicNotes;
    int done = 0;
    progress(0, total, "");

    set_reference_pitch(0.0);
    set_scale(kChord);
    for (int degree = 0; degree < chord_notes; ++degree) {
        measure_degree("chord", degree);
        progress(++done, total, "chord");
    }
    set_reference_pitch(kHarmonicBaseHz);
    set_scale(kHarmonicScale);
    for (int degree = first_harmonic; degree < first_harmonic + kHarmonicNotes; ++degree) {
        measure_degree("harmonics", degree);
        progress(++done, total, "harmonics");
    }
}

// ---- Stage 5: the tuning messages ---------------------------------------------------

bool retuned(double heard, double unbent) { return std::fabs(heard - unbent - kRetuneCents) <= kObeyedWithinCents; }

// Whether the synthesizer obeys a Single Note Tuning Change (key kRouteKey
// retuned +30 c, heard first without, then with a tuning program selected)
// and the MPE Configuration Message (a member bent a quarter swing with no
// range asked of it: 24 semitones over MPE's 48).
void measure_tuning_messages()
{
    int done = 0;
    progress(0, 3, "");
    const double unbent = key_offset(kRouteKey);
    const double search = kRetuneCents + kKeySearchCents;
    uint8_t change[MTS_CHANGE_LENGTH];
    const bool selected = tuning_method() == METHOD_MTS;  // the opening selected the program already
    if (send_system_exclusive(port_handle(), change,
                              mts_tuning_change(kRouteKey, 100.0 * kRouteKey + unbent + kRetuneCents, change)) == 0) {
        state.results.obeys_mts = 0;  // it takes no system exclusive
        state.results.mts_needs_program = 0;
        done += 2;
    } else {
        const bool at_once = retuned(heard_cents(kTuningChannel, kRouteKey, unbent + kRetuneCents / 2.0, search), unbent);
        progress(++done, 3, "tuning change");
        bool after_selecting = at_once;
        if (!at_once && !selected) {
            select_tuning_program(kTuningChannel);
            after_selecting =
                retuned(heard_cents(kTuningChannel, kRouteKey, unbent + kRetuneCents / 2.0, search), unbent);
        }
        progress(++done, 3, "tuning program");
        state.results.obeys_mts = after_selecting ? 1 : 0;
        state.results.mts_needs_program = selected ? -1 : (after_selecting && !at_once ? 1 : 0);
        send_system_exclusive(port_handle(), change, mts_tuning_change(kRouteKey, 100.0 * kRouteKey, change));
    }
    if (tuning_method() == METHOD_MPE) {
        state.results.obeys_mpe = -1;  // the opening set the members' range already
    } else {
        send_mpe_configuration(MPE_MEMBER_CHANNELS);
        set_pitch_bend(port_handle(), kMemberChannel, BEND_CENTRE + kMemberBend);
        const double wide = 100.0 * MPE_BEND_RANGE * kMemberBend / 8192.0;
        const double heard = heard_cents(kMemberChannel, kBendKey, key_offset(kBendKey) + wide, kKeySearchCents);
        state.results.obeys_mpe = std::fabs(heard - key_offset(kBendKey) - wide) <= kObeyedWithinCents ? 1 : 0;
        send_mpe_configuration(0);
        set_bend_range(port_handle(), kMemberChannel, 2, 0);
        set_pitch_bend(port_handle(), kMemberChannel, BEND_CENTRE);
    }
    progress(++done, 3, "MPE");
}

// ---- Choosing the device and the source ----------------------------------------------

void print_devices()
{
    char name[1024];
    error_printf("The devices are:\n");
    for (int i = 0; i < device_count(); ++i)
        error_printf("  %d  %s\n", i + 1, device_name(i, name, sizeof name));
}

// Makes sure a results file can be written before a minute is spent measuring.
bool writable(const char* option, const char* path)
{
    if (path == nullptr)
        return true;
    if (platform_file_write(path, "", 0) == PLATFORM_FILE_OK)
        return true;
    error_printf("varenta-test: %s: cannot write '%s'\n", option, path);
    return false;
}

bool write_text(const char* path, const std::string& text)
{
    if (path == nullptr)
        return true;
    if (platform_file_write(path, text.data(), text.size()) == PLATFORM_FILE_OK)
        return true;
    error_printf("varenta-test: cannot write '%s'\n", path);
    return false;
}

// ---- The run ---------------------------------------------------------------------

// Opens the device, then the sound: a synthesizer may bring its audio
// outputs along only once it is opened (the built-in one playing into JACK),
// so a source not there yet is waited for a little. Returns an exit status
// when that failed, else -1.
int open_everything(const HearingRequest& request, const HearingSteps& steps, int device)
{
    if (request.audio_in == nullptr && start_offline_bridge(CAPTURE_OFFLINE_RATE) == 0) {
        error_printf("varenta-test: the built-in synthesizer cannot render offline (%s did not start)\n",
                     BRIDGE_OFFLINE_LIBRARY);
        return 1;
    }
    if (open_device(device) == 0) {
        error_printf("varenta-test: cannot open '%s'\n", state.results.device.c_str());
        return 1;
    }
    if (steps.opened != nullptr)
        steps.opened(state.results.device.c_str());
    set_program_all(state.results.program);
    if (request.audio_in == nullptr) {
        capture_open_offline();
        state.source = "its own offline render";
        const BridgeCorrections corrections = bridge_corrections(state.results.program, &state.results.corrected_keys);
        state.results.corrections = corrections == BRIDGE_CORRECTIONS_SHIPPED  ? "shipped"
                                    : corrections == BRIDGE_CORRECTIONS_CACHED ? "cached"
                                                                               : "none";
    } else {
        int result = capture_open_live(request.audio_in);
        for (uint32_t waited = 0; result == PLATFORM_AUDIO_NO_SOURCE && waited < kSourceWaitMs; waited += kPollMs) {
            pause_seconds(0.001 * kPollMs);
            result = capture_open_live(request.audio_in);
        }
        if (result == PLATFORM_AUDIO_NO_SOURCE) {
            error_printf("varenta-test: no audio source '%s'; see varenta-test --list-audio-in\n", request.audio_in);
            return 2;
        }
        if (result != PLATFORM_OK) {
            error_printf("varenta-test: cannot capture '%s'\n", request.audio_in);
            return 1;
        }
        state.source = request.audio_in;
    }
    state.rate = capture_rate();
    return -1;
}

// The four stages and the report. Returns the exit status.
int measure_and_report(const HearingRequest& request, const HearingSteps& steps)
{
    const uint32_t started = platform_clock_ms();
    console_printf("Measuring %s from %s, voice %d %s\n", state.results.device.c_str(), state.source.c_str(),
                   state.results.program, state.results.voice.c_str());
    state.stage = 1;
    if (!measure_route()) {
        console_printf("\n");
        error_printf("varenta-test: nothing heard from %s within 3 s: is the synthesizer's output connected to it?\n",
                     state.source.c_str());
        return 1;
    }
    state.stage = 2;
    measure_keys();
    state.stage = 3;
    measure_bends();
    if (steps.measured != nullptr)
        steps.measured(state.results);
    state.stage = 4;
    measure_tunings();
    state.stage = 5;
    measure_tuning_messages();
    state.results.seconds = 0.001 * (platform_clock_ms() - started);

    std::string report = report_text(state.results);
    platform_console_write(report.data(), report.size());
    bool written = write_text(request.json_path, report_json(state.results));
    written = write_text(request.plot_path, plot_svg(state.results)) && written;
    const int status = written ? 0 : 1;
    return steps.reported != nullptr ? steps.reported(state.results, status) : status;
}

}  // namespace

int hear_synthesizer(const HearingRequest& request, const HearingSteps& steps)
{
    hearing_reset();
    state.request = request;
    state.terminal = platform_console_is_terminal();
    init_device_catalogue();
    const int device = find_device(request.device);
    if (device < 0) {
        error_printf("varenta-test: no device '%s' (or more than one)\n", request.device);
        print_devices();
        return 2;
    }
    char name[1024];
    state.results.device = device_name(device, name, sizeof name);
    if (request.audio_in == nullptr && device != quicktime_index()) {
        error_printf("varenta-test: %s '%s' needs --audio-in SOURCE, the synthesizer's sound "
                     "(see --list-audio-in)\n",
                     request.option, state.results.device.c_str());
        return 2;
    }
    state.results.program = request.programs[0];
    state.results.voice = voice_names[request.programs[0]];
    if (!writable("--json", request.json_path) || !writable("--plot", request.plot_path))
        return 2;

    platform_watch_end_requests();
    int status = 0;
    int request_to_end = 0;
    try {
        status = open_everything(request, steps, device);
        if (status < 0) {
            state.results.source = state.source;
            state.results.sample_rate = state.rate;
            state.results.reference_key = kBendKey;
            status = measure_and_report(request, steps);
        }
    } catch (const EndRequested& asked) {
        request_to_end = asked.request;
    } catch (const CaptureStopped&) {
        console_printf("\n");
        error_printf("varenta-test: the sound from %s stopped\n", state.source.c_str());
        status = 1;
    }
    // Whatever ended the measurement, no note is left sounding.
    end_every_note();
    close_device();
    capture_close();
    if (request_to_end != 0)
        platform_end_by_request(request_to_end);
    return status;
}

int list_audio_sources()
{
    const int count = platform_audio_source_count();
    console_printf("Audio sources for --audio-in (%d):\n", count);
    const char* const kinds[] = {"JACK client, its outputs mixed", "JACK port", "ALSA or PulseAudio device"};
    for (int i = 0; i < count; ++i) {
        char name[1024];
        PlatformAudioKind kind;
        if (platform_audio_source_name(i, name, sizeof name, &kind))
            console_printf("  %-40s %s\n", name, kinds[kind]);
    }
    if (count == 0)
        console_printf("  none: start the JACK server, or connect a loopback or monitor device\n");
    console_printf("The built-in synthesizer (QuickTime) is measured from its own render without one.\n");
    return 0;
}

const MeasureResults& hearing_results() { return state.results; }

void hearing_reset()
{
    capture_reset();
    state.request = HearingRequest();
    state.results = MeasureResults();
    state.results.pitch_step_cents = kNaN;
    state.results.step_at_cents = kNaN;
    state.results.obeys_mts = -1;
    state.results.mts_needs_program = -1;
    state.results.obeys_mpe = -1;
    state.rate = 0.0;
    state.latency = 0;
    state.terminal = false;
    state.stage = 0;
    state.source.clear();
}

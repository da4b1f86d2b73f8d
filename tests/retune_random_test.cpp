// Long random sequences of plays, releases, pre-tunings, percussion, scale
// and reference-pitch changes, checked after every step against what a
// synthesizer receiving the MIDI log would sound.
//
// A model synthesizer applies the logged messages (bends per channel, voices
// per channel and note) and the test keeps its own model of every scale it
// types, so the pitch each voice should have is computed here, independently
// of the engine. After every step:
//   - every note-off ends a voice an earlier note-on started;
//   - channel 9 never receives a bend;
//   - the voices the synthesizer holds are exactly the notes-in-play table, in
//     order, and each channel's sounding_notes counts them;
//   - no bend reaches a channel while a note started since the latest typed
//     scale sounds on it (see below);
//   - every melodic voice whose channel has received no bend since its
//     note-on sounds its degree's frequency to within one bend unit
//     (1/4096 semitone, 0.0245 cents), for targets the bend range can reach.
// Together the last two mean that every note started since the latest typed
// scale sounds in tune until it ends.
//
// The one exception is a typed scale: it marks every channel's bend unknown
// and pre-tunes channels for the new scale without ending the notes still
// sounding, and later notes may also take such a marked channel. A note that
// was already sounding when the scale was typed may therefore be re-bent (its
// channel handed to a degree of the new scale, as long as the new degree's
// MIDI note is not one that sounds there), and this happens to a channel at
// most once per typed scale: once re-bent it is neither marked nor free.
// Installing the default scale (empty text) marks nothing and is no exception.
#include "test_support.h"

#include "midi/channel.h"
#include "midi/device.h"
#include "retune/degrees.h"
#include "retune/notes.h"
#include "tuning/scale.h"

#include <cmath>
#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr double kUnit = 1.0 / 4096.0;  // one bend unit in semitones

// The test's own reading of a scale it typed.
struct ScaleModel {
    bool harmonic = false;
    double step = 0.0;           // harmonic: entry 0 - 1
    std::vector<double> ratios;  // periodic: ratios[0] = 1, the last one is the period

    double degree_ratio(int degree) const
    {
        if (harmonic) {
            if (degree == 0)
                return 1.0;
            double r = 1.0 + std::fabs(static_cast<double>(degree)) * step;
            return degree > 0 ? r : 1.0 / r;
        }
        if (ratios.size() < 2)
            return 1.0;
        const long long n = static_cast<long long>(ratios.size()) - 1;
        long long k = degree / n;
        if (degree % n != 0 && degree < 0)
            --k;  // floor division
        long long i = degree - k * n;
        const double period = ratios.back();
        if (k == 0)
            return ratios[i];
        if (!(period > 0.0) || std::isinf(period))
            return std::nan("");  // not a pitch this test checks
        return ratios[i] * std::pow(period, static_cast<double>(k));
    }
};

struct Voice {
    int channel;
    int note;
    int key;
    bool percussion;
    double target;         // fractional MIDI note it should sound; NaN: not checked
    unsigned bend_count;   // bends its channel had received at its note-on
    unsigned scale_epoch;  // typed scales installed before its note-on
};

// What the step being applied is expected to send.
struct Expected {
    const Voice* pending = nullptr;  // play_degree: the voice its note-on starts
    bool releasing = false;          // release_degree of released_key
    int released_key = 0;
    int prepared_note = -1;          // a prepare: the MIDI note of the degree, when known
};

class RandomWalk {
public:
    RandomWalk(unsigned seed, bool bridge) : random_(seed), bridge_(bridge) {}

    // Opens the device and walks steps random steps; stops at the first
    // broken invariant.
    void walk(int steps);

private:
    std::mt19937 random_;
    bool bridge_;
    int channels_ = 16;
    size_t seen_ = 0;          // log messages applied to the model so far
    int synth_bend_[32];       // 14-bit bend each channel carries
    unsigned bend_count_[32];  // bends each channel has received
    unsigned rebent_in_[32];   // 1 + the scale epoch in which a channel was last re-bent under notes; 0 never
    std::vector<Voice> voices_;  // sounding, oldest first
    unsigned scale_epoch_ = 0;   // typed scales installed so far
    ScaleModel scale_;
    double reference_ = 0.0;
    int step_ = 0;
    std::string action_;

    int uniform(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
    bool chance(double p) { return std::uniform_real_distribution<double>(0.0, 1.0)(random_) < p; }

    std::string random_scale(ScaleModel* model);
    void apply_log(Expected expected = Expected());
    void check_state();
    void fail(const std::string& what) { FAIL() << "step " << step_ << " (" << action_ << "): " << what; }

    void play(int degree);
    void release(int degree);
};

std::string format(const char* f, double a, double b = 0)
{
    char text[64];
    std::snprintf(text, sizeof text, f, a, b);
    return text;
}

std::string RandomWalk::random_scale(ScaleModel* model)
{
    *model = ScaleModel();
    const char* separators[] = {" ", "  ", "\t", " \r\n "};
    std::string text;
    auto add = [&](const std::string& token) {
        text += token;
        text += separators[uniform(0, 3)];
    };
    if (chance(0.15)) {
        const int steps[][2] = {{2, 1}, {3, 2}, {5, 4}, {3, 1}, {9, 8}};
        const int* s = steps[uniform(0, 4)];
        add("h");
        add(std::to_string(s[0]) + "/" + std::to_string(s[1]));
        model->harmonic = true;
        model->step = static_cast<double>(s[0]) / s[1] - 1.0;
        return text;
    }
    model->ratios.push_back(1.0);
    if (chance(0.25)) {
        // Equal steps that divide the octave need few bends, so pre-tuning
        // leaves marked channels for later notes at other reference pitches.
        const char* texts[] = {"2/1", "1200.0", "n(1/12)", "100.0", "n(1/6)", "200.0 n(1)"};
        const double steps[] = {12, 12, 1, 1, 2, 2};
        int pick = uniform(0, 5);
        add(texts[pick]);
        const double step = std::pow(2.0, steps[pick] / 12.0);
        model->ratios.push_back(step);
        if (pick == 5)
            model->ratios.push_back(2.0);
        return text;
    }
    const int count = chance(0.2) ? uniform(13, 40) : uniform(1, 12);
    for (int i = 0; i < count; ++i) {
        if (chance(0.05)) {
            const char* ignored[] = {"abc", "0", "0/0", "=", "n(0)"};
            add(ignored[uniform(0, 4)]);
        }
        double ratio;
        switch (uniform(0, 5)) {
        case 0: {
            int p = uniform(1, 40), q = uniform(1, 24);
            add(std::to_string(p) + "/" + std::to_string(q));
            ratio = static_cast<double>(p) / q;
            break;
        }
        case 1: {
            int tenths = uniform(0, 15000);
            add(std::to_string(tenths / 10) + "." + std::to_string(tenths % 10));
            ratio = std::pow(2.0, tenths / 10.0 / 1200.0);
            break;
        }
        case 2: {
            int a = uniform(1, 5), b = uniform(1, 31);
            add("n(" + std::to_string(a) + "/" + std::to_string(b) + ")");
            ratio = std::pow(2.0, static_cast<double>(a) / b);
            break;
        }
        case 3: {
            int cents = uniform(1, 2400);
            add(std::to_string(cents));
            add(chance(0.5) ? "cents" : "CENTS");
            ratio = std::pow(2.0, cents / 1200.0);
            break;
        }
        case 4: {
            int whole = uniform(2, 4);
            add(std::to_string(whole));
            ratio = whole;
            break;
        }
        default:
            ratio = chance(0.1) ? INFINITY : std::pow(2.0, uniform(1, 1200) / 1200.0);
            if (std::isinf(ratio))
                add("3/0");
            else
                add(format("%.17g/1", ratio));
            break;
        }
        model->ratios.push_back(ratio);
    }
    return text;
}

// Applies the messages logged since the last call.
void RandomWalk::apply_log(Expected expected)
{
    const auto& log = fake_messages();
    const Voice* pending = expected.pending;
    bool started = false;
    int rebent_channel = -1;     // a channel re-bent under notes of an earlier scale
    std::vector<int> rebent_notes;  // the MIDI notes sounding there
    for (; seen_ < log.size(); ++seen_) {
        const FakeMessage& m = log[seen_];
        const int c = m.channel;
        if (c < 0 || c >= channels_)
            return fail("message on channel " + std::to_string(c));
        if (started)
            return fail("a message after the note-on: " + describe(m));
        if (m.status == STATUS_PITCH_BEND) {
            if (c == PERCUSSION_CHANNEL)
                return fail("channel 9 received a bend");
            const int value = m.data1 | (m.data2 << 7);
            if (value < 0 || value > 16383)
                return fail("bend out of range");
            std::vector<int> under;
            for (const Voice& v : voices_) {
                if (v.channel != c)
                    continue;
                if (v.scale_epoch == scale_epoch_)
                    return fail("bend " + std::to_string(value) + " on channel " + std::to_string(c) +
                                " under a note of the current scale (degree " + std::to_string(v.key) + ")");
                under.push_back(v.note);
            }
            // A channel is handed to a new bend under old notes only when none
            // of them has the new degree's MIDI note.
            for (int note : under) {
                if (note == expected.prepared_note)
                    return fail("prepare re-bent channel " + std::to_string(c) + " that sounds its note");
            }
            if (!under.empty() && rebent_in_[c] == scale_epoch_ + 1)
                return fail("channel " + std::to_string(c) + " re-bent twice under the same notes");
            if (!under.empty())
                rebent_in_[c] = scale_epoch_ + 1;
            rebent_channel = under.empty() ? -1 : c;
            rebent_notes = under;
            synth_bend_[c] = value;
            ++bend_count_[c];
        } else if (m.status == STATUS_NOTE_ON) {
            Voice v;
            if (c == PERCUSSION_CHANNEL) {
                v = Voice{c, m.data1, m.data1, true, std::nan(""), 0, scale_epoch_};
            } else {
                if (pending == nullptr)
                    return fail("an unexpected melodic note-on");
                for (int note : rebent_notes) {
                    if (c == rebent_channel && note == m.data1)
                        return fail("re-bent channel " + std::to_string(c) + " already sounds note " +
                                    std::to_string(note));
                }
                v = *pending;
                v.channel = c;
                v.note = m.data1;
                started = true;
            }
            v.bend_count = bend_count_[c];
            v.scale_epoch = scale_epoch_;
            voices_.push_back(v);
        } else if (m.status == STATUS_NOTE_OFF) {
            size_t i = 0;
            if (expected.releasing && c != PERCUSSION_CHANNEL) {
                // A release ends the oldest note of its degree.
                while (i < voices_.size() && (voices_[i].key != expected.released_key || voices_[i].percussion))
                    ++i;
                if (i == voices_.size() || voices_[i].channel != c || voices_[i].note != m.data1)
                    return fail("note-off " + describe(m) + " is not the oldest of degree " +
                                std::to_string(expected.released_key));
                expected.releasing = false;  // one note-off per release
            } else {
                while (i < voices_.size() && (voices_[i].channel != c || voices_[i].note != m.data1))
                    ++i;
                if (i == voices_.size())
                    return fail("note-off without a note-on: " + describe(m));
            }
            voices_.erase(voices_.begin() + static_cast<long>(i));
        } else {
            return fail("unexpected message " + describe(m));
        }
    }
    if (pending != nullptr && !started && note_table().count < NOTE_TABLE_CAPACITY)
        return fail("play_degree sent no note-on");
}

void RandomWalk::check_state()
{
    const NoteTable& table = note_table();
    if (table.count != static_cast<int>(voices_.size()))
        return fail("table holds " + std::to_string(table.count) + " notes, the synthesizer " +
                    std::to_string(voices_.size()));
    int per_channel[32] = {};
    for (int i = 0; i < table.count; ++i) {
        const NoteEntry& e = table.entries[i];
        const Voice& v = voices_[i];
        if (e.channel != v.channel || e.midi_note != v.note || e.key != v.key)
            return fail("table entry " + std::to_string(i) + " differs from the voice sounding");
        ++per_channel[e.channel];
    }
    for (int c = 0; c < channels_; ++c) {
        if (channel_state(c).sounding_notes != per_channel[c])
            return fail("channel " + std::to_string(c) + " counts " +
                        std::to_string(channel_state(c).sounding_notes) + " sounding notes, plays " +
                        std::to_string(per_channel[c]));
    }
    for (const Voice& v : voices_) {
        if (v.percussion || std::isnan(v.target))
            continue;
        // Reachable: a note 0..127 bent by -2 .. +2 semitones less a unit.
        if (!(v.target > -2.0 + kUnit && v.target < 129.0 - 2 * kUnit))
            continue;
        if (v.bend_count != bend_count_[v.channel])
            continue;  // re-bent after a typed scale: checked in apply_log
        const double sounding = v.note + (synth_bend_[v.channel] - 8192) * kUnit;
        if (std::fabs(sounding - v.target) > kUnit + 1e-9)
            return fail("degree " + std::to_string(v.key) + " sounds " + format("%.6f", sounding) + " for " +
                        format("%.6f", v.target));
    }
}

void RandomWalk::play(int degree)
{
    const double ratio = scale_.degree_ratio(degree);
    const double hz = reference_ * ratio;
    Voice pending{-1, -1, degree, false, 69.0 + 12.0 * std::log2(hz / 440.0), 0, 0};
    if (!(hz > 0.0) || std::isinf(hz))
        pending.target = std::nan("");
    play_degree(degree, uniform(1, 127));
    Expected expected;
    expected.pending = &pending;
    apply_log(expected);
}

void RandomWalk::release(int degree)
{
    release_degree(degree, 64);
    Expected expected;
    expected.releasing = true;
    expected.released_key = degree;
    apply_log(expected);
}

void RandomWalk::walk(int steps)
{
    if (bridge_)
        open_fake_bridge();
    else
        open_fake_port();
    channels_ = channel_count();
    for (int c = 0; c < 32; ++c) {
        synth_bend_[c] = 8192;  // the open centred every melodic channel
        bend_count_[c] = 0;
        rebent_in_[c] = 0;
    }
    seen_ = fake_messages().size();
    reference_ = 440.0 * std::pow(2.0, -9.0 / 12);
    scale_.ratios = {1.0, std::pow(2.0, 1.0 / 12)};  // play_degree installs twelve-tone

    for (step_ = 0; step_ < steps && !::testing::Test::HasFatalFailure(); ++step_) {
        fake_set_clock(fake_clock() + static_cast<uint32_t>(uniform(0, 40)));
        // More releases the more notes are in play, so the table stays well
        // below its limit (where unrecorded percussion would break the count).
        const int in_play = static_cast<int>(voices_.size());
        const double release_weight = in_play == 0 ? 0.0 : 0.25 + in_play / 120.0;
        const double roll = std::uniform_real_distribution<double>(0.0, 1.0 + release_weight)(random_);
        const int span = scale_.harmonic ? 20 : 3 * static_cast<int>(scale_.ratios.size()) + 6;
        if (roll < 0.60 || (roll >= 0.845 && roll < 1.0)) {
            int degree = uniform(-span, span);
            action_ = "play " + std::to_string(degree);
            play(degree);
        } else if (roll < 0.67) {
            int key = uniform(35, 81);
            action_ = "percussion " + std::to_string(key);
            play_percussion(key, uniform(1, 127));
            apply_log();
        } else if (roll < 0.71) {
            int key = uniform(35, 81);
            action_ = "release percussion " + std::to_string(key);
            release_percussion(key);
            apply_log();
        } else if (roll < 0.77) {
            int degree = uniform(-span, span);
            action_ = "prepare " + std::to_string(degree);
            size_t before = fake_messages().size();
            if (chance(0.5))
                prepare_degree(degree);
            else
                prepare_degree_avoid_newest(degree);
            if (fake_messages().size() > before + 1)
                fail("a prepare sent more than one message");
            Expected expected;
            const double target = 69.0 + 12.0 * std::log2(reference_ * scale_.degree_ratio(degree) / 440.0);
            if (target > -0.5 && target < 127.5)
                expected.prepared_note = static_cast<int>(std::floor(target + 0.5));
            apply_log(expected);
        } else if (roll < 0.78) {
            ScaleModel model;
            std::string text = random_scale(&model);
            action_ = "scale \"" + text + "\"";
            set_scale(text.c_str());
            scale_ = model;
            ++scale_epoch_;
            apply_log();
        } else if (roll < 0.795) {
            action_ = "default scale";
            set_scale("");
            scale_.harmonic = false;
            scale_.ratios = {1.0, std::pow(2.0, 1.0 / 12)};
            apply_log();
        } else if (roll < 0.825) {
            const double pitches[] = {0.0, 30.0, 55.0, 110.0, 220.0, 261.6, 440.0, 1000.0};
            double hz = pitches[uniform(0, 7)];
            action_ = format("reference %g", hz);
            set_reference_pitch(hz);
            reference_ = hz != 0.0 ? hz : 440.0 * std::pow(2.0, -9.0 / 12);
        } else if (roll < 0.828) {
            action_ = "release all";
            release_all_notes(127);
            apply_log();
        } else if (roll < 0.845) {
            action_ = "release unknown degree";
            int degree = 100000 + uniform(0, 9);
            release(degree);
        } else {
            // A degree in play, or now and then a percussion key as a degree.
            const Voice& v = voices_[static_cast<size_t>(uniform(0, in_play - 1))];
            action_ = "release " + std::to_string(v.key);
            release(v.key);
        }
        if (!::testing::Test::HasFatalFailure())
            check_state();
    }
}

}  // namespace

using RandomPlay = VarentaTest;

TEST_F(RandomPlay, SixteenChannelsStayInTune)
{
    for (unsigned seed : {1u, 2u, 3u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        reset_all();
        RandomWalk(seed, false).walk(15000);
        if (HasFatalFailure())
            return;
    }
}

TEST_F(RandomPlay, ThirtyTwoChannelsStayInTune)
{
    for (unsigned seed : {11u, 12u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        reset_all();
        RandomWalk(seed, true).walk(15000);
        if (HasFatalFailure())
            return;
    }
}

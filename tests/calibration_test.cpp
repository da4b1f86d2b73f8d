// Calibrations: the engine's key and bend on a calibrated device against a
// model synthesizer with the faults the calibration measured, the file's
// round trip and every refusal, and the dialogue played through one.
#include "test_support.h"

#include "calibration/calibration.h"
#include "calibration/correction.h"
#include "calibration/store.h"
#include "midi/channel.h"
#include "model_synth.h"
#include "retune/channel_choice.h"
#include "retune/degrees.h"
#include "retune/notes.h"

#include <cmath>

namespace {

const char* const kFolder = "/home/tester/.config/varenta/calibrations";

// A calibration of one voice, its runs and every melodic channel of a port
// with the given ranges, channel 3 detuned by channel_three cents.
Calibration calibration(double up, double down, int program, const std::vector<KeyRun>& runs,
                        double channel_three = 0.0)
{
    Calibration c;
    c.device = "Synth A";
    c.date = "2026-12-08";
    c.pitch_step_cents = 0.0;
    c.centre_cents = 0.0;
    c.obeys_mts = false;
    c.mts_needs_program = false;
    c.obeys_mpe = false;
    c.voices.push_back(CalibrationVoice{program, "Harpsichord", runs});
    for (int ch = 0; ch < 16; ++ch) {
        if (ch != PERCUSSION_CHANNEL)
            c.channels.push_back(CalibrationChannel{ch, up, down, ch == 3 ? channel_three : 0.0});
    }
    return c;
}

// The model's faults that the calibration describes, for its voice.
SynthFaults faults_of(const Calibration& c, bool with_keys)
{
    SynthFaults f;
    f.range_up = c.channels[0].bend_up_semitones;
    f.range_down = c.channels[0].bend_down_semitones;
    for (const KeyRun& r : c.voices[0].runs) {
        for (int k = r.first_key; with_keys && k <= r.last_key; ++k)
            f.key_cents[k] = r.cents;
    }
    for (const CalibrationChannel& ch : c.channels)
        f.channel_cents[ch.channel] = ch.offset_cents;
    return f;
}

// Half the bend step of the coarser side of a channel, in cents.
double half_step(const Calibration& c) { return 50.0 * std::fmax(c.channels[0].bend_up_semitones, c.channels[0].bend_down_semitones) / 8192.0; }

}  // namespace

using CalibratedChoice = VarentaTest;
using CalibrationFile = VarentaTest;
using CalibratedDialogue = VarentaTest;

// Every pitch, held together with others so that channels are shared,
// stolen and offset, lands where it was asked on the faulty synthesizer, to
// within half its channel's bend step.
TEST_F(CalibratedChoice, EveryNoteLandsOnTheAskedPitch)
{
    const std::vector<KeyRun> runs = {{0, 47, 7.0}, {48, 71, -4.0}, {72, 127, 2.5}};
    struct Case {
        const char* what;
        Calibration calibration;
        bool keys_apply;  // the program played is the one measured
    } cases[] = {
        {"ranges up and down unequal", calibration(1.5, 2.5, 6, runs, 3.0), true},
        {"a range of 12 semitones", calibration(12.0, 12.0, 6, runs, 3.0), true},
        {"a program not measured", calibration(1.98, 1.99, 20, runs, -2.0), false},
        {"keys 60 cents flat", calibration(2.0, 2.0, 6, {{0, 127, -60.0}}), true},
        {"whole-cent steps, centred", calibration(1.98, 1.99, 6, {{0, 59, -5.0}, {60, 127, 3.0}}, 2.0), true},
    };
    cases[4].calibration.pitch_step_cents = 1.0;
    cases[4].calibration.centre_cents = 0.5;
    for (const Case& c : cases) {
        reset_all();
        open_fake_port();
        set_program_all(6);
        use_calibration(c.calibration);
        fake_clear_messages();
        for (int i = 0; i < 400; ++i) {
            // Pitches 10 Hz .. 8 kHz in steps that are no fraction of a semitone.
            const double hz = 10.0 * std::pow(2.0, i * 0.0241);
            play_frequency_note(i, 1.0, hz, 0, 100);
            if (i % 5 == 4) {
                for (int k = i - 4; k <= i; ++k)
                    release_degree(k, 64);
            }
        }
        ModelSynth synth;
        synth.faults = faults_of(c.calibration, c.keys_apply);
        synth.faults.whole_cents = c.calibration.pitch_step_cents > 0.0;
        synth.apply(fake_messages());
        // A synthesizer in whole-cent steps is heard within half a step.
        const double allowed = half_step(c.calibration) + c.calibration.pitch_step_cents / 2.0 + 1e-6;
        ASSERT_EQ(synth.notes().size(), 400u) << c.what;
        for (size_t i = 0; i < synth.notes().size(); ++i) {
            const HeardNote& n = synth.notes()[i];
            const double asked = 10.0 * std::pow(2.0, static_cast<double>(i) * 0.0241);
            EXPECT_LE(std::fabs(cents_between(asked, n.frequency)), allowed)
                << c.what << ": " << asked << " Hz on channel " << n.channel << " key " << n.note;
        }
    }
}

// The key is the one whose own sound lies nearest; a channel whose range
// cannot reach the pitch from it takes the next key toward it; the bend of
// a channel is the same whichever note asked for it, so notes share it.
TEST_F(CalibratedChoice, NearestKeyNextKeyAndSharing)
{
    open_fake_port();
    set_program_all(6);
    int channel, note;
    double bend;

    // Keys 60 cents flat: 6200 c sounds nearest on key 63 (6240), bent down 40 c.
    use_calibration(calibration(2.0, 2.0, 6, {{0, 127, -60.0}}));
    choose_channel(0, 440.0 * std::pow(2.0, (62 - 69) / 12.0), &channel, &note, &bend);
    EXPECT_EQ(note, 63);
    EXPECT_EQ(bend, 8192 - 1638);  // 1638.4 units

    // 20 c up is all channel 0 bends: 30 c above key 69 is key 70, 70 c down.
    use_calibration(calibration(0.2, 2.0, 6, {}));
    choose_channel(0, 440.0 * std::pow(2.0, 0.3 / 12.0), &channel, &note, &bend);
    EXPECT_EQ(note, 70);
    EXPECT_EQ(bend, 8192 - 2867);  // 2867.2

    // Unequal ranges: up by 150 c a full swing, down by 250 c.
    use_calibration(calibration(1.5, 2.5, 6, {}));
    choose_channel(0, 440.0 * std::pow(2.0, 0.3 / 12.0), &channel, &note, &bend);
    EXPECT_EQ(note, 69);
    EXPECT_EQ(bend, 8192 + 1638);  // 1638.4
    choose_channel(0, 440.0 * std::pow(2.0, -0.3 / 12.0), &channel, &note, &bend);
    EXPECT_EQ(bend, 8192 - 983);  // 983.04

    // Channel 3 sounds 3 c sharp: the same pitch needs another bend there,
    // and a second note of it shares channel 0, not channel 3.
    use_calibration(calibration(2.0, 2.0, 6, {}, 3.0));
    const double hz = 440.0 * std::pow(2.0, 0.1 / 12.0);
    uint32_t first = play_frequency_note(0, 1.0, hz, 0, 100);
    uint32_t second = play_frequency_note(1, 1.0, hz, 0, 100);
    EXPECT_NE(first, 0u);
    EXPECT_EQ(note_table().entries[0].channel, note_table().entries[1].channel);
    channel_state(3).bend = UNKNOWN_BEND;
    for (int c = 0; c < 16; ++c) {
        if (c != 3 && c != 9 && c != note_table().entries[0].channel)
            channel_state(c).bend = 8192 + 1000;  // spoken for
    }
    choose_channel(0, hz, &channel, &note, &bend);
    EXPECT_EQ(channel, note_table().entries[0].channel);
    release_note(second, 64);
    release_note(first, 64);
    choose_channel_excluding(0, hz, 1u, &channel, &note, &bend);
    EXPECT_EQ(channel, 3);
    EXPECT_EQ(bend, 8192 + 287);  // 7 c: 286.72
}

// A calibration kept and read back is the same; a file that cannot be used
// is refused whole with one line naming it and why, and the device plays
// uncalibrated; with none nothing is said.
TEST_F(CalibrationFile, RoundTripRefusalsAndTheLineAfterTheOpen)
{
    Calibration kept = calibration(11.98765, 12.01234, 20, {{36, 47, 7.0004}, {48, 71, -4.0}, {72, 96, 2.5}}, 3.0);
    kept.voices[0].name = "Reed Organ";
    kept.voices.push_back(CalibrationVoice{0, "Acoustic Grand Piano", {{0, 127, 0.25}}});
    Calibration read;
    std::string reason;
    ASSERT_TRUE(calibration_from_json(calibration_json(kept), "Synth A", &read, &reason)) << reason;
    EXPECT_EQ(calibration_json(read), calibration_json(kept));
    EXPECT_EQ(read.voices[1].name, "Acoustic Grand Piano");
    EXPECT_NEAR(read.channels[3].offset_cents, 3.0, 1e-9);
    EXPECT_NEAR(read.channels[0].bend_up_semitones, 11.98765, 1e-9);
    EXPECT_NEAR(read.voices[0].runs[0].cents, 7.0, 1e-9);

    const std::string good = calibration_json(kept);
    auto with = [&good](const std::string& from, const std::string& to) {
        std::string text = good;
        const size_t at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return text.replace(at, from.size(), to);
    };
    struct Bad {
        std::string text;
        const char* reason;
    } bad[] = {
        {good.substr(0, good.size() / 2), "not readable JSON"},
        {with("\"varenta_calibration\": 1", "\"varenta_calibration\": 2"), "version 2, not 1"},
        {with("\"bend_up_semitones\": 11.98765", "\"bend_up_semitones\": 0"), "channel 0's bend range is 0 or below"},
        {with("\"bend_down_semitones\": 12.01234", "\"bend_down_semitones\": -1"), "channel 0's bend range is 0 or below"},
        {with("\"cents\": -4.0", "\"cents\": -100.5"), "a key of program 20 is -100.5 c off, beyond +-100 c"},
        {with("\"offset_cents\": 3.0", "\"offset_cents\": 180"), "channel 3 is +180.0 c off, beyond +-100 c"},
        {with("\"device\": \"Synth A\"", "\"device\": \"Synth B\""), "made for another device, \"Synth B\""},
        {with("\"date\"", "\"when\""), "no \"date\""},
        {with("\"channel\": 8", "\"channel\": 9"), "channel 9 is the percussion channel"},
        {with("\"first_key\": 48", "\"first_key\": 40"), "\"first_key\" is not a whole number 48..127"},
    };
    const std::string path = std::string(kFolder) + "/Synth A.json";
    fake_add_port("Synth A");
    for (const Bad& b : bad) {
        EXPECT_FALSE(calibration_from_json(b.text, "Synth A", &read, &reason)) << b.reason;
        EXPECT_EQ(reason, b.reason);
        fake_add_file(path, b.text);
        fake_clear_console_output();
        use_calibration(kept);
        EXPECT_FALSE(use_device_calibration("Synth A"));
        EXPECT_FALSE(calibration_in_use()) << b.reason;
        EXPECT_EQ(fake_console_error_output(), "varenta-test: calibration '" + path + "' refused: " + b.reason +
                                                   "; playing uncalibrated\n");
        EXPECT_EQ(fake_console_output(), "");
        fake_reset();
    }

    // Kept where the device's name says, read back as it opens.
    fake_reset();
    EXPECT_EQ(keep_calibration(kept), path);
    EXPECT_EQ(fake_folders_made(), std::vector<std::string>{kFolder});
    EXPECT_TRUE(use_device_calibration("Synth A"));
    EXPECT_TRUE(calibration_in_use());
    EXPECT_EQ(fake_console_output(), "Calibrated on 2026-12-08: bend range +11.99/-12.01, channels up to +3.0 c apart, "
                                     "keys of Reed Organ, Acoustic Grand Piano within 0.3 c of their measure\n");
    EXPECT_EQ(fake_console_error_output(), "");

    // Ignored for a run, and none for another device: nothing said.
    fake_clear_console_output();
    ignore_calibrations(true);
    EXPECT_FALSE(use_device_calibration("Synth A"));
    ignore_calibrations(false);
    EXPECT_FALSE(use_device_calibration("Synth B"));
    EXPECT_FALSE(calibration_in_use());
    EXPECT_EQ(fake_console_output() + fake_console_error_output(), "");

    // A name the file system would trip on.
    EXPECT_EQ(calibration_path("FLUID Synth (4):port/1"), std::string(kFolder) + "/FLUID Synth _4__port_1.json");
}

namespace {

double worst_cents(const ModelSynth& asked, const ModelSynth& heard)
{
    double worst = 0.0;
    for (size_t i = 0; i < asked.notes().size() && i < heard.notes().size(); ++i)
        worst = std::fmax(worst, std::fabs(cents_between(asked.notes()[i].frequency, heard.notes()[i].frequency)));
    return worst;
}

// The dialogue's output without the reports of notes in play, whose bends
// are the device's own.
std::string without_reports(const std::string& output)
{
    std::string kept;
    size_t from = 0;
    while (from < output.size()) {
        size_t end = output.find('\n', from);
        end = end == std::string::npos ? output.size() : end + 1;
        if (output.compare(from, 8, "Chann:, ") != 0)
            kept += output.substr(from, end - from);
        from = end;
    }
    return kept;
}

}  // namespace

// The chord, scale and harmonic-series tests on a synthesizer that ignores
// the range message and bends 12 semitones, with keys detuned by sample
// range and a channel detuned. Uncalibrated they land tens of cents off;
// through its calibration every note lands within 0.1 c of where a
// synthesizer that plays as told puts it, and the dialogue says so once,
// after the open. Ignoring the calibration gives the uncalibrated run byte
// for byte.
TEST_F(CalibratedDialogue, ChordScaleAndDriftInTuneOnAFaultySynthesizer)
{
    const std::string input = "\n\nnext\n\n\nnext\n\nexit\n";
    const Calibration faulty = calibration(12.0, 12.0, 6, {{0, 47, 7.0}, {48, 71, -4.0}, {72, 127, 2.5}}, 3.0);
    fake_add_port("Synth A");
    ASSERT_EQ(run_dialogue(input), 0);
    const std::string plain_output = fake_console_output();
    const std::vector<FakeMessage> plain_messages = fake_messages();
    ModelSynth asked;
    asked.apply(plain_messages);
    ModelSynth off;
    off.faults = faults_of(faulty, true);
    off.apply(plain_messages);
    ASSERT_GT(asked.notes().size(), 100u);
    EXPECT_GT(worst_cents(asked, off), 20.0);

    reset_all();
    fake_add_port("Synth A");
    fake_add_file(std::string(kFolder) + "/Synth A.json", calibration_json(faulty));
    ASSERT_EQ(run_dialogue(input), 0);
    ModelSynth heard;
    heard.faults = faults_of(faulty, true);
    heard.apply(fake_messages());
    ASSERT_EQ(heard.notes().size(), asked.notes().size());
    EXPECT_LE(worst_cents(asked, heard), 0.1);
    for (size_t i = 0; i < heard.notes().size(); ++i)
        EXPECT_EQ(heard.notes()[i].on_ms, asked.notes()[i].on_ms) << i;
    const std::string selected = "Device selected:\nA - Synth A\n";
    std::string expected = without_reports(plain_output);
    expected.insert(expected.find(selected) + selected.size(),
                    "Calibrated on 2026-12-08: bend range +12.00/-12.00, channels up to +3.0 c apart, keys of "
                    "Harpsichord within 0.3 c of their measure\n");
    EXPECT_EQ(without_reports(fake_console_output()), expected);

    reset_all();
    ignore_calibrations(true);
    fake_add_port("Synth A");
    fake_add_file(std::string(kFolder) + "/Synth A.json", calibration_json(faulty));
    ASSERT_EQ(run_dialogue(input), 0);
    EXPECT_EQ(fake_console_output(), plain_output);
    EXPECT_EQ(describe_log(), [&] {
        std::string log;
        for (const FakeMessage& m : plain_messages)
            log += describe(m) + "\n";
        return log;
    }());
}

// The live retuner on the test platform: the player's gestures through the
// engine (exact note-offs, the wheel on top of the tuning per input channel,
// pedals, controllers, pressure, programs, all-notes-off, steals), and whole
// runs of --retune (header, keyboard mapping, refusals before anything
// plays, a request to end and an input that goes away, nothing left
// sounding).
#include "test_support.h"

#include "midi/channel.h"
#include "midi/device.h"
#include "model_synth.h"
#include "retune/notes.h"
#include "retuner/gestures.h"
#include "retuner/retuner.h"
#include "tuning/scale.h"

#include <cmath>

namespace {

const double kMiddleC = 261.6255653005986;

void send(int status, int channel, int data1, int data2)
{
    retuner_play_message(static_cast<uint32_t>(status | channel) | (static_cast<uint32_t>(data1) << 8) |
                         (static_cast<uint32_t>(data2) << 16));
}

// A port open with 12 equal steps on middle C, and the retuner begun.
void open_retuner(double wheel_range = 2.0)
{
    fake_add_port("Port One");
    init_device_catalogue();
    ASSERT_EQ(open_device(0), 1);
    set_scale("");
    set_reference_pitch(0);
    retuner_begin(nullptr, wheel_range);
}

ModelSynth heard()
{
    ModelSynth synth;
    synth.apply(fake_messages());
    return synth;
}

// The frequency the model hears a sounding note of that MIDI note at, with
// the channel's bend now (not at its start).
double sounding_hz(const ModelSynth& synth, int midi_note, int nth = 0)
{
    for (const HeardNote& n : synth.sounding()) {
        if (n.note == midi_note && nth-- == 0)
            return 440.0 * std::pow(2.0, (n.note - 69 + (synth.bend(n.channel) - 8192.0) / 4096.0) / 12.0);
    }
    return 0.0;
}

int count(int status, int data1 = -1)
{
    int n = 0;
    for (const FakeMessage& m : fake_messages())
        n += m.status == status && (data1 < 0 || m.data1 == data1);
    return n;
}

}  // namespace

using RetunerGestures = VarentaTest;
using RetunerRun = VarentaTest;

TEST_F(RetunerGestures, NotesPlayTheirDegreeAndEndExactly)
{
    open_retuner();
    set_scale("n(1/19)");
    send(0x90, 0, 60, 100);
    send(0x90, 0, 61, 90);
    send(0x90, 0, 55, 80);
    ModelSynth synth = heard();
    ASSERT_EQ(synth.sounding().size(), 3u);
    EXPECT_NEAR(cents_between(kMiddleC, synth.notes()[0].frequency), 0.0, 0.05);
    EXPECT_NEAR(cents_between(kMiddleC, synth.notes()[1].frequency), 1200.0 / 19, 0.05);
    EXPECT_NEAR(cents_between(kMiddleC, synth.notes()[2].frequency), -5 * 1200.0 / 19, 0.05);
    EXPECT_EQ(synth.notes()[1].velocity, 90);
    // The note-off of 61 ends that note only; a note-on at velocity 0 is a note-off.
    send(0x80, 0, 61, 30);
    send(0x90, 0, 55, 0);
    synth = heard();
    ASSERT_EQ(synth.sounding().size(), 1u);
    EXPECT_EQ(synth.sounding()[0].on_index, synth.notes()[0].on_index);
    EXPECT_EQ(retuner_counts().notes_started, 3u);
    // Input channel 10 sounds percussion on channel 10, unretuned.
    send(0x99, 9, 38, 110);
    synth = heard();
    EXPECT_EQ(synth.notes().back().channel, 9);
    EXPECT_EQ(synth.notes().back().note, 38);
    send(0x89, 9, 38, 0);
    send(0x80, 0, 60, 0);
    EXPECT_TRUE(heard().sounding().empty());
    EXPECT_EQ(heard().unmatched_note_offs(), 0);
}

TEST_F(RetunerGestures, TheWheelBendsItsOwnInputChannelsNotesOnTopOfTheTuning)
{
    open_retuner(2.0);
    set_scale("n(1/24)");  // quarter tones: the two input channels' notes need different bends
    send(0x90, 0, 61, 100);  // a quarter tone above middle C
    send(0x91, 1, 60, 100);  // middle C, on the second input channel
    ModelSynth synth = heard();
    const double c0 = sounding_hz(synth, synth.sounding()[0].note);
    const int note0 = synth.sounding()[0].note;
    const int note1 = synth.sounding()[1].note;
    ASSERT_NE(synth.sounding()[0].channel, synth.sounding()[1].channel);
    // Full wheel up on input channel 1 (index 0): +2 semitones on its note only.
    send(0xE0, 0, 0x7F, 0x7F);
    synth = heard();
    EXPECT_NEAR(cents_between(c0, sounding_hz(synth, note0)), 200.0 * 8191 / 8192, 0.1);
    EXPECT_NEAR(cents_between(kMiddleC, sounding_hz(synth, note1)), 0.0, 0.05);
    // A note started while the wheel is up starts at the bent pitch, and never
    // on the other input channel's output channel.
    send(0x90, 0, 60, 100);
    synth = heard();
    const HeardNote& bent = synth.notes().back();
    EXPECT_NEAR(cents_between(kMiddleC, bent.frequency), 200.0 * 8191 / 8192, 0.1);
    EXPECT_NE(bent.channel, synth.sounding()[1].channel);
    // Back to the centre: both notes of input channel 1 return exactly.
    send(0xE0, 0, 0x00, 0x40);
    synth = heard();
    EXPECT_NEAR(cents_between(kMiddleC * std::pow(2.0, 1.0 / 24), sounding_hz(synth, note0)), 0.0, 0.05);
    EXPECT_NEAR(cents_between(kMiddleC, synth.notes().back().frequency + 0 * sounding_hz(synth, 60)), 200.0 * 8191 / 8192,
                0.1);  // as it started
    for (const HeardNote& n : synth.sounding()) {
        const double now = 440.0 * std::pow(2.0, (n.note - 69 + (synth.bend(n.channel) - 8192.0) / 4096.0) / 12.0);
        const double cents = cents_between(kMiddleC, now);
        EXPECT_TRUE(std::fabs(cents) < 0.05 || std::fabs(cents - 50.0) < 0.05) << cents;
    }
    // Wheel range 2 semitones, input at 0x2000 - 4096 = a semitone down.
    send(0xE1, 1, 0x00, 0x20);
    synth = heard();
    EXPECT_NEAR(cents_between(kMiddleC, sounding_hz(synth, note1)), -100.0, 0.05);
}

TEST_F(RetunerGestures, TheSustainPedalHoldsOnlyItsInputChannelsNoteOffs)
{
    open_retuner();
    send(0x90, 0, 60, 100);
    send(0x91, 1, 64, 100);
    send(0xB0, 0, 64, 127);  // pedal down on input channel 1 only
    send(0x80, 0, 60, 40);
    send(0x81, 1, 64, 40);
    ModelSynth synth = heard();
    ASSERT_EQ(synth.sounding().size(), 1u);
    EXPECT_EQ(synth.sounding()[0].note, 60);
    // A key played again under the pedal ends its held note and starts anew.
    send(0x90, 0, 60, 70);
    send(0x80, 0, 60, 40);
    synth = heard();
    ASSERT_EQ(synth.sounding().size(), 1u);
    EXPECT_EQ(synth.sounding()[0].velocity, 70);
    send(0xB0, 0, 64, 0);
    synth = heard();
    EXPECT_TRUE(synth.sounding().empty());
    EXPECT_EQ(synth.unmatched_note_offs(), 0);
    EXPECT_EQ(count(0xB0, 64), 0) << "the pedal is the retuner's, not the synth's";
}

TEST_F(RetunerGestures, ControllersPressureAndProgramsReachTheChannelsTheNotesUse)
{
    open_retuner();
    send(0x90, 0, 60, 100);
    fake_clear_messages();
    const int melodic = channel_count() - 1;
    for (int number : {1, 7, 11, 66, 67, 74})
        send(0xB0, 0, number, 33);
    for (int number : {1, 7, 11, 66, 67, 74})
        EXPECT_EQ(count(0xB0, number), melodic) << number;
    for (int number : {6, 38, 96, 97, 98, 99, 100, 101, 122, 124, 127})
        send(0xB0, 0, number, 0);
    EXPECT_EQ(static_cast<int>(fake_messages().size()), 6 * melodic) << "parameter numbers and modes dropped";
    send(0xD0, 0, 90, 0);
    EXPECT_EQ(count(0xD0), melodic);
    send(0xC0, 0, 19, 0);
    EXPECT_EQ(count(0xC0), melodic);
    EXPECT_EQ(current_program(), 19);
    fake_clear_messages();
    send(0xA0, 0, 60, 77);   // the sounding key's pressure
    send(0xA0, 0, 61, 77);   // a key not sounding: nothing
    ASSERT_EQ(fake_messages().size(), 1u);
    const NoteEntry& e = note_table().entries[0];
    EXPECT_EQ(fake_messages()[0].channel, e.channel);
    EXPECT_EQ(fake_messages()[0].data1, e.midi_note);
    EXPECT_EQ(fake_messages()[0].data2, 77);
    // All notes off ends every note, held by the pedal or not.
    send(0x91, 1, 67, 100);
    send(0xB0, 0, 64, 127);
    send(0x80, 0, 60, 0);
    send(0xB5, 5, 123, 0);
    EXPECT_TRUE(heard().sounding().empty());
    EXPECT_EQ(note_table().count, 0);
}

TEST_F(RetunerGestures, AChordWiderThanThePortStealsAndCountsIt)
{
    open_retuner();
    set_scale("n(1/53)");  // within 53 keys, every key a different bend
    for (int key = 30; key < 83; ++key)
        send(0x90, 0, key, 100);
    EXPECT_EQ(retuner_counts().notes_started, 53u);
    EXPECT_EQ(retuner_counts().steals, 53u - 15u);
    ModelSynth synth = heard();
    EXPECT_EQ(synth.notes().size(), 53u) << "every note sounds, if not for long";
    EXPECT_EQ(synth.sounding().size(), 15u);
    // In 12 equal steps, 64 notes share one bend: no steal at all.
    set_scale("");
    for (int key = 0; key < 128; ++key)
        send(0x80, 0, key, 0);
    for (int key = 30; key < 94; ++key)
        send(0x90, 0, key, 100);
    EXPECT_EQ(retuner_counts().steals, 38u);
    EXPECT_EQ(heard().sounding().size(), 64u);
    for (int key = 30; key < 94; ++key)
        send(0x80, 0, key, 0);
    EXPECT_TRUE(heard().sounding().empty());
    EXPECT_EQ(heard().unmatched_note_offs(), 0);
}

TEST_F(RetunerRun, PlaysUntilARequestToEndWithNothingLeftSounding)
{
    fake_add_port("Port One");
    fake_midi_in_add_source("USB Keys");
    fake_add_file("white.kbm", "12\n0\n127\n60\n69\n440.0\n7\n0\nx\n1\nx\n2\n3\nx\n4\nx\n5\nx\n6\n");
    fake_add_file("major.scl", "! major.scl\nJust major\n7\n9/8\n5/4\n4/3\n3/2\n5/3\n15/8\n2/1\n");
    fake_midi_in_event({0x90, 62, 100});  // D: degree 1, 9/8
    fake_midi_in_event({0x90, 61, 100});  // a black key: nothing
    fake_midi_in_event({0xF8});           // clock: dropped
    fake_midi_in_event({0xB0, 64, 127});
    fake_midi_in_event({0x80, 62, 0});
    fake_request_end_at_time(PLATFORM_REQUEST_TERMINATE, 1000);
    RetuneRequest request = {"1", "keys", "major.scl", "white.kbm", nullptr, nullptr, nullptr};
    try {
        run_retune(request);
        ADD_FAILURE() << "the request to end must end the process";
    } catch (const FakeProcessEnded& ended) {
        EXPECT_EQ(ended.request, PLATFORM_REQUEST_TERMINATE);
    }
    ModelSynth synth = heard();
    ASSERT_EQ(synth.notes().size(), 1u);
    // A = 440 Hz on key 69 (degree 5, 5/3): the 1/1 is 264 Hz, D is 9/8 above.
    EXPECT_NEAR(cents_between(264.0 * 9 / 8, synth.notes()[0].frequency), 0.0, 0.05);
    EXPECT_TRUE(synth.sounding().empty()) << "the pedal's note ended at the end";
    EXPECT_EQ(fake_midi_in_open_index(), -100);
    EXPECT_FALSE(port_open());
    const std::string output = fake_console_output();
    const std::string summary = "Retuned 1 notes (4 messages in, ";
    ASSERT_NE(output.find(summary), std::string::npos) << output;
    EXPECT_EQ(output.substr(output.find(" out); ")), " out); 0 stole a channel; at most 1 at once.\n");
    EXPECT_EQ(output.substr(0, output.find(summary)),
              "Retuning MIDI input keys into Port One\n"
              "Scale: Just major, 7 pitches\n"
              "Mapping: white.kbm: 12 keys, keys 0-127, middle key 60, key 69 = 440 Hz, formal octave degree 7\n"
              "1/1 = 264.000 Hz; pitch wheel +-2 semitones. Ctrl-C ends.\n");
    EXPECT_EQ(fake_console_error_output(), "");
}

TEST_F(RetunerRun, AnInputThatGoesAwayEndsWithOneLineAndStatusOne)
{
    fake_add_port("Port One");
    fake_midi_in_add_source("USB Keys");
    fake_midi_in_event({0x90, 60, 100});
    fake_midi_in_gone_at(500);
    RetuneRequest request = {"Port", "1", "n(1/31)", nullptr, nullptr, "440", "12"};
    EXPECT_EQ(run_retune(request), 1);
    EXPECT_EQ(fake_console_error_output(), "varenta-test: the MIDI input 1 has gone away\n");
    EXPECT_TRUE(heard().sounding().empty());
    EXPECT_NEAR(cents_between(440.0, heard().notes()[0].frequency), 0.0, 0.05);
    EXPECT_NE(fake_console_output().find("1/1 = 440.000 Hz; pitch wheel +-12 semitones"), std::string::npos);
}

TEST_F(RetunerRun, ArgumentsItCannotUseAreRefusedBeforeAnythingPlays)
{
    const struct {
        RetuneRequest request;
        const char* error;
    } cases[] = {
        {{"1", "keys", nullptr, "bad.kbm", nullptr, nullptr, nullptr},
         "varenta-test: bad.kbm, line 6: '440,0' is not a frequency in Hz above 0 (such as 440.0)\n"},
        {{"1", "keys", nullptr, "none.kbm", nullptr, nullptr, nullptr}, "varenta-test: none.kbm: no such file\n"},
        {{"1", "keys", "bad.scl", nullptr, nullptr, nullptr, nullptr},
         "varenta-test: bad.scl, line 4: not a Scala scale file ('')\n"},
        {{"1", "keys", nullptr, nullptr, nullptr, "4,4", nullptr},
         "varenta-test: --hz '4,4' is not a frequency in Hz above 0\n"},
        {{"1", "keys", nullptr, nullptr, nullptr, nullptr, "30"},
         "varenta-test: --wheel-range '30' is not a number of semitones above 0, at most 24\n"},
        {{"9", "keys", nullptr, nullptr, nullptr, nullptr, nullptr},
         "varenta-test: no device '9' (or more than one); the devices are:\n  1  Port One\n"},
        {{"1", "pads", nullptr, nullptr, nullptr, nullptr, nullptr},
         "varenta-test: no MIDI source matches 'pads'; 'varenta-test --list-midi-in' lists the MIDI sources\n"},
    };
    for (const auto& c : cases) {
        reset_all();
        fake_add_port("Port One");
        fake_midi_in_add_source("USB Keys");
        fake_add_file("bad.kbm", "12\n0\n127\n60\n69\n440,0\n");
        fake_add_file("bad.scl", "d\n2\n3/2\n");
        EXPECT_EQ(run_retune(c.request), 2);
        EXPECT_EQ(fake_console_error_output(), c.error);
        EXPECT_TRUE(fake_messages().empty());
        EXPECT_EQ(fake_console_output(), "");
        EXPECT_EQ(fake_open_device_id(), -100);
    }
}

// Playing from a MIDI keyboard: the source a PORT names, and what MIDI input
// does in the keyboard and percussion key loops (degrees and velocities,
// exact note-offs beside typed keys, repeated keys, the pedal, controls,
// percussion, input outside the loops, the space bar and Return). Input is
// injected through the test platform between the typed keys.
#include "test_support.h"

#include "live/midi_source.h"
#include "midi/channel.h"
#include "model_synth.h"

#include <algorithm>
#include <cmath>

namespace {

const double kMiddleC = 261.6255653005986;
const std::string kToKeyLoop = "\nnext\nnext\nnext\n\n";  // the keyboard test's loop on the diatonic preset
const std::string kToPercussion = "\nnext\nnext\nnext\nnext\n";

void keys(const std::string& bytes) { fake_console_input(bytes); }
void midi(std::vector<unsigned char> bytes) { fake_midi_in_event(bytes); }

// A port to play on and a MIDI keyboard opened as --midi-in would.
void open_keyboard()
{
    fake_add_port("Port One");
    fake_midi_in_add_source("USB Keys");
    ASSERT_EQ(open_midi_input("keys"), 0);
}

// Runs what was scripted to the end of input; every note must have ended.
void run()
{
    EXPECT_EQ(run_dialogue(""), 0);
    ModelSynth synth;
    synth.apply(fake_messages());
    EXPECT_TRUE(synth.sounding().empty());
    EXPECT_EQ(synth.unmatched_note_offs(), 0);
    EXPECT_EQ(fake_midi_in_open_index(), -100);  // closed at the end
}

// The note messages of the run, one a line, as "90a 60 100": the channel
// named by a letter in the order channels first carry a note.
std::string notes_played()
{
    std::string text;
    std::vector<int> channels;
    for (const FakeMessage& m : fake_messages()) {
        if (m.status != 0x80 && m.status != 0x90)
            continue;
        size_t letter = std::find(channels.begin(), channels.end(), m.channel) - channels.begin();
        if (letter == channels.size())
            channels.push_back(m.channel);
        text += (m.status == 0x90 ? "90" : "80") + std::string(1, static_cast<char>('a' + letter)) + " " +
                std::to_string(m.data1) + " " + std::to_string(m.data2) + "\n";
    }
    return text;
}

int count_status(int status, int data1 = -1, int channel = -1)
{
    int n = 0;
    for (const FakeMessage& m : fake_messages())
        n += m.status == status && (data1 < 0 || m.data1 == data1) && (channel < 0 || m.channel == channel);
    return n;
}

}  // namespace

using MidiSource = VarentaTest;
using LiveKeyboard = VarentaTest;
using LivePercussion = VarentaTest;

TEST_F(MidiSource, NumbersNamesAndTheOwnPort)
{
    fake_midi_in_add_source("Midi Through:Port-0 14:0");
    fake_midi_in_add_source("USB Keys:Keys MIDI 1 24:0");
    fake_midi_in_add_source("a2j:USB Keys");
    EXPECT_EQ(choose_midi_source("1"), 0);
    EXPECT_EQ(choose_midi_source("3"), 2);
    EXPECT_EQ(choose_midi_source("usb keys"), 1);  // the first match wins
    EXPECT_EQ(choose_midi_source("24:0"), 1);
    EXPECT_EQ(choose_midi_source("VIRTUAL"), PLATFORM_MIDI_IN_OWN_PORT);
    for (const char* none : {"0", "4", "99999999999999999999", "", "piano"})
        EXPECT_EQ(choose_midi_source(none), MIDI_SOURCE_NONE) << none;

    list_midi_sources();
    EXPECT_EQ(fake_console_output(), "1 - Midi Through:Port-0 14:0\n2 - USB Keys:Keys MIDI 1 24:0\n3 - a2j:USB Keys\n");
}

TEST_F(MidiSource, WhatCannotBeOpenedIsOneLineOnTheErrorStream)
{
    fake_midi_in_add_source("Broken", false);
    const std::string list = "; 'varenta-test --list-midi-in' lists the MIDI sources\n";
    EXPECT_EQ(open_midi_input("piano"), 2);
    EXPECT_EQ(fake_console_error_output(), "varenta-test: no MIDI source matches 'piano'" + list);
    fake_reset();
    fake_midi_in_add_source("Broken", false);
    EXPECT_EQ(open_midi_input("1"), 2);
    EXPECT_EQ(fake_console_error_output(), "varenta-test: cannot open the MIDI source Broken, asked for as '1'" + list);
    fake_reset();
    fake_midi_in_own_port_opens(false);
    EXPECT_EQ(open_midi_input("virtual"), 2);
    EXPECT_EQ(fake_console_error_output(),
              "varenta-test: cannot open the program's own MIDI input port for 'virtual'" + list);
    EXPECT_FALSE(midi_input_open());
    EXPECT_EQ(fake_console_output(), "");
}

TEST_F(LiveKeyboard, KeysPlayDegreesFromKey60AtTheirVelocities)
{
    open_keyboard();
    keys(kToKeyLoop);
    // The 1/1, the 5/4, the degree below the 1/1 (15/8 an octave down) and
    // the octave; on any channel; the second of two note-ons ends the first.
    for (int key : {60, 62, 59, 67})
        midi({0x90, static_cast<unsigned char>(key), static_cast<unsigned char>(key + 40)});
    midi({0x9F, 67, 1});  // channel 16 counts alike: key 67 again, at velocity 1
    run();
    ModelSynth synth;
    synth.apply(fake_messages());
    const double expected[] = {1.0, 5.0 / 4, 15.0 / 16, 2.0, 2.0};
    const int velocities[] = {100, 102, 99, 107, 1};
    ASSERT_EQ(synth.notes().size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_NEAR(cents_between(kMiddleC * expected[i], synth.notes()[i].frequency), 0, BEND_UNIT_CENTS) << i;
        EXPECT_EQ(synth.notes()[i].velocity, velocities[i]);
    }
    EXPECT_EQ(synth.notes()[3].off_index, synth.notes()[4].on_index - 1);  // ended just before
}

TEST_F(LiveKeyboard, AMidiKeyAndATypedKeyOnOneDegreeEachEndTheirOwnNote)
{
    open_keyboard();
    // Typed first: the MIDI note-off ends the newer MIDI note, not the older
    // typed one, which the next typed key then ends.
    keys(kToKeyLoop + "0");
    midi({0x90, 60, 100});
    midi({0x80, 60, 30});
    keys("1\r\n");
    // MIDI first: the typed key ends its own note, the note-off the MIDI one.
    keys("\n");
    midi({0x90, 60, 100});
    keys("0");
    keys("1");
    midi({0x90, 60, 0});  // velocity 0: a note-off of velocity 64
    run();
    EXPECT_EQ(notes_played(), "90a 60 127\n90a 60 100\n80a 60 30\n80a 60 127\n90b 62 127\n80b 62 127\n"
                              "90a 60 100\n90a 60 127\n80a 60 127\n90b 62 127\n80a 60 64\n80b 62 127\n");
}

TEST_F(LiveKeyboard, ThePedalHoldsNoteOffsUntilItComesUp)
{
    open_keyboard();
    keys(kToKeyLoop);
    midi({0x90, 64, 90});
    midi({0xB0, 64, 100});  // down
    midi({0x80, 64, 10});
    midi({0x90, 60, 90});
    midi({0x80, 60, 20});
    midi({0xB0, 64, 127});  // still down
    midi({0x90, 60, 91});   // the same key again: its held note ends first
    midi({0x80, 60, 21});
    midi({0xB0, 64, 63});  // up: the held note-offs, by key
    keys("5");
    run();
    // Key 64 is the 3/2 (G), key 60 the 1/1; the pedal comes up before the typed 5.
    EXPECT_EQ(notes_played(), "90a 67 90\n90b 60 90\n80b 60 20\n90b 60 91\n80b 60 21\n80a 67 10\n"
                              "90c 69 127\n80c 69 127\n");
}

TEST_F(LiveKeyboard, ControlsReachEveryRetunedChannelAndTheRestIsIgnored)
{
    open_keyboard();
    keys(kToKeyLoop + "3");
    midi({0xB0, 7, 90});
    midi({0xB3, 1, 20});
    midi({0xB0, 11, 70});
    midi({0xB0, 10, 0});       // pan: not passed on
    midi({0xE0, 0, 0});        // the pitch wheel would fight the tuning bends
    midi({0xC0, 40});          // program change: the voice comes from "voice"
    midi({0xD0, 100});         // channel pressure
    midi({0xA0, 60, 100});     // key pressure
    midi({0xF0, 0x7E, 0xF7});  // system exclusive
    midi({0xF8});              // clock
    midi({0xFE});              // active sensing
    midi({0x90, 62, 80});
    midi({0x90, 72, 81});
    midi({0xB0, 123, 0});  // all notes off: the MIDI notes, not the typed one
    midi({0x90, 65, 82});
    midi({0xB0, 120, 0});  // all sound off, the same
    keys("4");
    run();
    for (int control : {7, 1, 11}) {
        EXPECT_EQ(count_status(0xB0, control), 15) << control;
        EXPECT_EQ(count_status(0xB0, control, PERCUSSION_CHANNEL), 0) << control;
    }
    EXPECT_EQ(count_status(0xB0, 10), 0);
    EXPECT_EQ(count_status(0xB0, 120) + count_status(0xB0, 123) + count_status(0xC0, 40) + count_status(0xD0) +
                  count_status(0xA0),
              0);
    // 3 sounds (4/3) until the typed 4 ends it; the MIDI notes end at the controls.
    EXPECT_EQ(notes_played(), "90a 65 127\n90b 64 80\n90c 81 81\n80b 64 64\n80c 81 64\n90c 69 82\n"
                              "80c 69 64\n80a 65 127\n90d 67 127\n80d 67 127\n");
}

TEST_F(LiveKeyboard, InputOutsideTheKeyLoopsIsIgnored)
{
    open_keyboard();
    keys("\nnext\nnext\nnext\n");
    midi({0x90, 60, 100});  // at the keyboard prompt
    keys("\n");
    midi({0x90, 61, 100});  // in the key loop
    keys("\r");
    midi({0x90, 62, 100});  // while the loop waits for Return's line
    keys("\n");
    midi({0x90, 63, 100});  // at the prompt again
    keys("next\n\r\n");
    midi({0x90, 64, 100});  // at the percussion test's exit question
    keys("\n");
    run();
    EXPECT_EQ(count_status(0x90), 1);
    EXPECT_EQ(notes_played(), "90a 62 100\n80a 62 127\n");  // key 61's 9/8, ended by the prompt
}

TEST_F(LiveKeyboard, TheSpaceBarAndReturnEndMidiNotesForGood)
{
    open_keyboard();
    keys(kToKeyLoop);
    midi({0x90, 60, 100});
    keys("  ");             // sustain on, then off: every note ends
    midi({0x80, 60, 40});   // its note has ended already: nothing
    midi({0x90, 62, 100});
    keys("\r\n\n");         // Return: the prompt ends it; the preset again
    midi({0x80, 62, 40});   // nothing
    keys("2");
    midi({0x90, 62, 100});  // the space bar's sustain does not hold MIDI note-offs
    keys(" ");
    midi({0x80, 62, 40});
    run();
    EXPECT_EQ(notes_played(), "90a 60 100\n80a 60 127\n90b 64 100\n80b 64 127\n90b 64 127\n90b 64 100\n"
                              "80b 64 40\n80b 64 127\n");
}

TEST_F(LiveKeyboard, AHangUpEndsTheMidiNotesAndClosesTheInput)
{
    open_keyboard();
    keys(kToKeyLoop);
    midi({0x90, 60, 100});
    midi({0x90, 64, 100});
    midi({0xB0, 64, 127});
    fake_request_end_at_input(PLATFORM_REQUEST_HANGUP, kToKeyLoop.size());
    EXPECT_EQ(run_dialogue("1"), 128 + PLATFORM_REQUEST_HANGUP);
    EXPECT_EQ(count_status(0x90), 2);
    EXPECT_EQ(count_status(0x80), 2);
    EXPECT_EQ(fake_midi_in_open_index(), -100);
}

TEST_F(LivePercussion, KeysSoundOnChannel9WithThePedal)
{
    open_keyboard();
    keys(kToPercussion);
    midi({0x90, 38, 80});
    midi({0x80, 38, 0});
    midi({0x99, 42, 70});
    midi({0xB0, 64, 127});
    midi({0x80, 42, 0});
    midi({0x90, 36, 60});
    midi({0xB0, 64, 0});
    keys("a");
    midi({0x90, 45, 50});  // the sound of the typed key: its note-off ends both
    midi({0x80, 45, 0});
    keys("\r\n\n");
    run();
    EXPECT_EQ(count_status(0x90, -1, PERCUSSION_CHANNEL), count_status(0x90));
    EXPECT_EQ(notes_played(), "90a 38 80\n80a 38 127\n90a 42 70\n90a 36 60\n80a 42 127\n90a 45 127\n"
                              "90a 45 50\n80a 45 127\n80a 45 127\n80a 36 127\n");
}

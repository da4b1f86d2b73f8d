// The retuning engine: the notes-in-play table, frequency to note and bend,
// the four steps of the channel choice, playing and releasing degrees and
// percussion, and the report of the notes in play.
#include "test_support.h"

#include "midi/channel.h"
#include "midi/device.h"
#include "retune/channel_choice.h"
#include "retune/degrees.h"
#include "retune/notes.h"
#include "tuning/scale.h"

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

namespace {

const double kMiddleC = 261.6255653005986;
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// Where a frequency lies among the MIDI notes, 440 Hz being note 69: the
// oracle for notes and bends, written from the definition, not the engine.
double fractional_note(double hz) { return 69.0 + 12.0 * std::log2(hz / 440.0); }

int nearest_note(double hz) { return static_cast<int>(std::floor(fractional_note(hz) + 0.5)); }

// The bend for a frequency inside the note range, rounded toward the centre.
int expected_bend(double hz)
{
    double n = fractional_note(hz);
    return 8192 + static_cast<int>(std::trunc(4096.0 * (n - nearest_note(hz))));
}

std::string message(const char* format, int a, int b, int c)
{
    char text[64];
    std::snprintf(text, sizeof text, format, a, b, c);
    return text;
}

// The log line of a bend on a port channel.
std::string bend_line(int channel, int bend) { return message("E%X %d %d", channel, bend & 0x7F, bend >> 7); }

std::string note_on_line(int channel, int note, int velocity) { return message("9%X %d %d", channel, note, velocity); }

std::string note_off_line(int channel, int note, int velocity)
{
    return message("8%X %d %d", channel, note, velocity);
}

// A note started directly through the output layer and recorded, as a
// degree's note would be.
void sound(int key, int channel, int note)
{
    note_on(port_handle(), channel, note, 100);
    add_note(key, 1.0, channel, note);
}

struct Choice {
    int channel;
    int note;
    double bend;
};

Choice choose(int flags, double hz)
{
    Choice c{-2, -2, -2.0};
    choose_channel(flags, hz, &c.channel, &c.note, &c.bend);
    return c;
}

// Gives every channel in use a bend of its own that no test frequency needs.
void give_every_channel_its_own_bend()
{
    for (int c = 0; c < channel_count(); ++c)
        channel_state(c).bend = 100.0 + c;
}

const char* const kReportHeader =
    "These are the notes in play for each channel:\n\nEach note shows:\n"
    "Interval from 1/1 in cents (Scale degree) Midi note]\n";

}  // namespace

using NotesInPlay = VarentaTest;
using FrequencyToNote = VarentaTest;
using ChannelChoice = VarentaTest;
using PlayDegrees = VarentaTest;
using Percussion = VarentaTest;
using Report = VarentaTest;

// ---- Notes in play ----------------------------------------------------------

TEST_F(NotesInPlay, FindMatchesEveryCriterionOfZeroOrMore)
{
    EXPECT_FALSE(find_note(-1, -1, -1));
    EXPECT_EQ(add_note(5, 1.5, 3, 67), 1);
    EXPECT_EQ(add_note(-2, 0.8, 4, 56), 2);
    EXPECT_EQ(add_note(5, 2.5, 6, 67), 3);
    EXPECT_EQ(add_note(0, 1.0, 0, 60), 4);
    int index = -1;
    EXPECT_TRUE(find_note(-1, -1, -1, &index));
    EXPECT_EQ(index, 0);
    EXPECT_TRUE(find_note(5, -1, -1, &index));  // the older of two
    EXPECT_EQ(index, 0);
    EXPECT_TRUE(find_note(5, 6, -1, &index));
    EXPECT_EQ(index, 2);
    EXPECT_TRUE(find_note(-1, -1, 56, &index));
    EXPECT_EQ(index, 1);
    EXPECT_TRUE(find_note(0, -1, -1, &index));  // zero is a criterion
    EXPECT_EQ(index, 3);
    EXPECT_TRUE(find_note(-1, 0, -1, &index));
    EXPECT_EQ(index, 3);
    EXPECT_TRUE(find_note(-1, 4, 56));  // no index wanted
    EXPECT_FALSE(find_note(5, 4, -1));
    EXPECT_FALSE(find_note(-2, 4, 57));
    index = 99;
    EXPECT_FALSE(find_note(7, -1, -1, &index));
    EXPECT_EQ(index, 99);
    EXPECT_EQ(describe_log(), "");
}

TEST_F(NotesInPlay, RemoveKeepsTheOrderOfTheRest)
{
    for (int key = 0; key < 5; ++key)
        add_note(key, 1.0 + key, key, 60 + key);
    remove_note(1);
    remove_note(-1);  // no such entries: nothing happens
    remove_note(4);
    const NoteTable& t = note_table();
    ASSERT_EQ(t.count, 4);
    const int keys[] = {0, 2, 3, 4};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(t.entries[i].key, keys[i]);
        EXPECT_EQ(t.entries[i].ratio, 1.0 + keys[i]);
        EXPECT_EQ(t.entries[i].channel, keys[i]);
        EXPECT_EQ(t.entries[i].midi_note, 60 + keys[i]);
    }
    remove_note(3);
    remove_note(0);
    EXPECT_EQ(t.count, 2);
    EXPECT_EQ(t.entries[0].key, 2);
    EXPECT_EQ(t.entries[1].key, 3);
}

TEST_F(NotesInPlay, FullTableDropsTheNote)
{
    for (int i = 0; i < NOTE_TABLE_CAPACITY - 1; ++i)
        ASSERT_EQ(add_note(i, 1.0, 1, 60), i + 1);
    EXPECT_EQ(add_note(5000, 2.0, 2, 61), NOTE_TABLE_CAPACITY);
    EXPECT_EQ(add_note(6000, 3.0, 3, 62), NOTE_TABLE_CAPACITY);
    const NoteTable& t = note_table();
    EXPECT_EQ(t.count, NOTE_TABLE_CAPACITY);
    EXPECT_EQ(t.entries[NOTE_TABLE_CAPACITY - 1].key, 5000);
    EXPECT_FALSE(find_note(6000, -1, -1));
}

TEST_F(NotesInPlay, ReleaseChannelNotesEndsEveryMatchInTableOrder)
{
    open_fake_port();
    sound(1, 2, 62);
    sound(2, 4, 60);  // three consecutive entries on channel 4
    sound(3, 4, 64);
    sound(4, 4, 65);
    sound(5, 7, 67);
    channel_state(4).bend = 9000.0;
    channel_state(4).last_use_ms = 77;
    fake_clear_messages();

    release_channel_notes(127, 4);
    EXPECT_EQ(describe_log(), "84 60 127\n84 64 127\n84 65 127\n");
    const NoteTable& t = note_table();
    ASSERT_EQ(t.count, 2);
    EXPECT_EQ(t.entries[0].key, 1);
    EXPECT_EQ(t.entries[1].key, 5);
    EXPECT_EQ(channel_state(4).sounding_notes, 0);
    EXPECT_EQ(channel_state(4).bend, 9000.0);  // bend and stamp are not touched
    EXPECT_EQ(channel_state(4).last_use_ms, 77u);

    fake_clear_messages();
    release_channel_notes(90, -1);
    EXPECT_EQ(describe_log(), "82 62 90\n87 67 90\n");
    EXPECT_EQ(t.count, 0);
}

TEST_F(NotesInPlay, ReleaseAllEndsPercussionToo)
{
    open_fake_port();
    sound(1, 0, 60);
    sound(38, 9, 38);
    sound(2, 3, 70);
    fake_set_clock(500);
    fake_clear_messages();
    release_all_notes(90);
    EXPECT_EQ(describe_log(), "80 60 90\n89 38 90\n83 70 90\n");
    EXPECT_EQ(note_table().count, 0);
    for (int c = 0; c < 16; ++c) {
        EXPECT_EQ(channel_state(c).sounding_notes, 0) << c;
        EXPECT_EQ(channel_state(c).last_use_ms, 0u) << c;
    }
}

// ---- Frequency to note and bend -----------------------------------------------

TEST_F(FrequencyToNote, WorkedValues)
{
    struct Case {
        double hz;
        int note;
        double bend;
    };
    for (const Case& c : std::vector<Case>{{440.0, 69, 8192},
                                           {450.0, 69, 9785},
                                           {kMiddleC * 7 / 4, 70, 6916},
                                           {kMiddleC * 3 / 2, 67, 8272},
                                           {kMiddleC * 5 / 4, 64, 7632},
                                           {20000.0, 127, 16383},
                                           {8.0, 0, 6651},
                                           {0.0, 0, 0}}) {
        int note = -1;
        double bend = -1;
        frequency_to_note(c.hz, &note, &bend);
        EXPECT_EQ(note, c.note) << c.hz;
        EXPECT_EQ(bend, c.bend) << c.hz;
    }
}

TEST_F(FrequencyToNote, OutsideTheNoteRangeAndNotANumber)
{
    struct Case {
        double hz;
        int note;
        double bend;
    };
    const double above = 440.0 * std::pow(2.0, (128.3 - 69) / 12);  // n = 128.3
    const double below = 440.0 * std::pow(2.0, (-1.3 - 69) / 12);   // n = -1.3
    for (const Case& c : std::vector<Case>{{-5.0, 0, 0},
                                           {kNaN, 0, 0},
                                           {-kInf, 0, 0},
                                           {1e-300, 0, 0},
                                           {kInf, 127, 16383},
                                           {1e308, 127, 16383},
                                           {DBL_MAX, 127, 16383},
                                           {above, 127, 8192 + 5324},  // still growing above note 127
                                           {below, 0, 8192 - 5324}}) {
        int note = -1;
        double bend = -1;
        frequency_to_note(c.hz, &note, &bend);
        EXPECT_EQ(note, c.note) << c.hz;
        EXPECT_EQ(bend, c.bend) << c.hz;
    }
}

TEST_F(FrequencyToNote, NearestNoteAndABendRoundedTowardTheCentre)
{
    // Across the note range the bend lies within one unit of the exact pitch
    // and never beyond it.
    for (double hz = 8.5; hz < 12500.0; hz *= 1.0007) {
        int note = -1;
        double bend = -1;
        frequency_to_note(hz, &note, &bend);
        const double exact = 4096.0 * (fractional_note(hz) - note);
        ASSERT_EQ(note, nearest_note(hz)) << hz;
        ASSERT_EQ(bend, std::floor(bend)) << hz;
        ASSERT_GE(bend, 6144.0) << hz;
        ASSERT_LE(bend, 10239.0) << hz;
        ASSERT_LE(std::fabs(bend - 8192.0), std::fabs(exact) + 1e-6) << hz;
        ASSERT_GT(std::fabs(bend - 8192.0), std::fabs(exact) - 1.0 - 1e-6) << hz;
    }
}

// ---- Channel choice --------------------------------------------------------

TEST_F(ChannelChoice, TwelveToneDegreesShareTheFirstCentredChannel)
{
    open_fake_port();
    for (int k = -30; k <= 30; ++k) {
        Choice c = choose(0, kMiddleC * std::pow(2.0, k / 12.0));
        EXPECT_EQ(c.channel, 0) << k;
        EXPECT_EQ(c.note, 60 + k) << k;
        EXPECT_EQ(c.bend, 8192.0) << k;
    }
    EXPECT_EQ(describe_log(), "");
}

TEST_F(ChannelChoice, SameBendIsFoundEvenOnASoundingChannel)
{
    open_fake_port();
    give_every_channel_its_own_bend();
    channel_state(5).bend = 9785.3;  // rounds to the 9785 that 450 Hz needs
    sound(1, 5, 69);
    Choice c = choose(0, 450.0);
    EXPECT_EQ(c.channel, 5);
    EXPECT_EQ(c.note, 69);
    EXPECT_EQ(c.bend, 9785.0);
    EXPECT_EQ(channel_state(5).bend, 9785.3);  // the choice stores nothing

    // Channel 9 is passed over even when its bend matches.
    channel_state(5).bend = 100.0;
    channel_state(9).bend = 9785.0;
    EXPECT_EQ(choose(0, 450.0).channel, 0);
}

TEST_F(ChannelChoice, UnknownBendChannelsWithoutTheSameNote)
{
    open_fake_port();
    give_every_channel_its_own_bend();
    channel_state(3).bend = UNKNOWN_BEND;
    channel_state(6).bend = UNKNOWN_BEND;
    channel_state(9).bend = UNKNOWN_BEND;
    sound(20, 3, 69);  // left over from before a scale change
    sound(21, 4, 70);  // same note on an ordinary channel: no matter
    Choice c = choose(0, 450.0);
    EXPECT_EQ(c.channel, 6);
    EXPECT_EQ(c.note, 69);
    // Another MIDI note may go to channel 3.
    ASSERT_EQ(nearest_note(460.0), 70);
    EXPECT_EQ(choose(0, 460.0).channel, 3);
    // A marker close to -10 but not exactly it is an ordinary bend.
    channel_state(3).bend = -10.0000001;
    channel_state(6).bend = -9.9;
    EXPECT_EQ(choose(0, 460.0).channel, 0);  // step 3: lowest free channel
}

TEST_F(ChannelChoice, LeastRecentlyUsedFreeChannel)
{
    open_fake_port();
    give_every_channel_its_own_bend();
    for (int c = 0; c < 16; ++c)
        channel_state(c).last_use_ms = 500;
    channel_state(12).last_use_ms = 100;
    channel_state(4).last_use_ms = 100;
    channel_state(2).last_use_ms = 50;
    channel_state(9).last_use_ms = 10;
    sound(1, 2, 60);  // busy
    fake_clear_messages();
    EXPECT_EQ(choose(0, 450.0).channel, 4);  // oldest free, lower of two
    channel_state(4).sounding_notes = -1;    // more note-offs than note-ons: not free
    EXPECT_EQ(choose(0, 450.0).channel, 12);

    // Stamps compare as unsigned numbers.
    for (int c = 0; c < 16; ++c)
        channel_state(c).last_use_ms = 0xFFFFFF00u;
    channel_state(13).last_use_ms = 7;
    EXPECT_EQ(choose(0, 450.0).channel, 13);
    EXPECT_EQ(describe_log(), "");
}

TEST_F(ChannelChoice, AvoidNewestPassesOverTheNewestStamp)
{
    open_fake_port();
    give_every_channel_its_own_bend();
    // Right after the open all stamps are equal: nothing is older.
    EXPECT_EQ(choose(0, 450.0).channel, 0);
    Choice none = choose(CHOOSE_AVOID_NEWEST, 450.0);
    EXPECT_EQ(none.channel, -1);
    EXPECT_EQ(none.note, 69);  // delivered all the same
    EXPECT_EQ(none.bend, 9785.0);

    for (int c = 0; c < 16; ++c) {
        if (c != 0 && c != 11 && c != 9)
            sound(c, c, 60);
        channel_state(c).last_use_ms = 850;
    }
    channel_state(0).last_use_ms = 900;  // newest, free
    channel_state(11).last_use_ms = 880;
    fake_clear_messages();
    EXPECT_EQ(choose(CHOOSE_AVOID_NEWEST, 450.0).channel, 11);

    // The newest stamp is taken over all channels, busy ones and 9 included.
    channel_state(11).last_use_ms = 900;
    EXPECT_EQ(choose(CHOOSE_AVOID_NEWEST, 450.0).channel, -1);
    channel_state(9).last_use_ms = 1000;
    EXPECT_EQ(choose(CHOOSE_AVOID_NEWEST, 450.0).channel, 0);
    channel_state(9).last_use_ms = 900;
    channel_state(5).last_use_ms = 2000;  // sounding
    EXPECT_EQ(choose(CHOOSE_AVOID_NEWEST, 450.0).channel, 0);
    EXPECT_EQ(describe_log(), "");
}

TEST_F(ChannelChoice, StealEmptiesTheLeastRecentlyUsedChannel)
{
    open_fake_port();
    for (int c = 0; c < 16; ++c) {
        if (c == 9)
            continue;
        sound(c, c, 40 + c);
        channel_state(c).last_use_ms = 500;
    }
    sound(100, 6, 52);
    channel_state(6).last_use_ms = 300;
    channel_state(9).last_use_ms = 10;  // oldest and free, but never chosen
    give_every_channel_its_own_bend();
    fake_clear_messages();

    EXPECT_EQ(choose(0, 450.0).channel, -1);
    EXPECT_EQ(choose(CHOOSE_AVOID_NEWEST, 450.0).channel, -1);
    EXPECT_EQ(describe_log(), "");

    Choice c = choose(CHOOSE_STEAL | CHOOSE_AVOID_NEWEST, 450.0);
    EXPECT_EQ(c.channel, 6);
    EXPECT_EQ(c.note, 69);
    EXPECT_EQ(describe_log(), "86 46 127\n86 52 127\n");
    EXPECT_FALSE(find_note(-1, 6, -1));
    EXPECT_EQ(note_table().count, 14);
    EXPECT_EQ(channel_state(6).sounding_notes, 0);
    EXPECT_EQ(channel_state(6).bend, 106.0);
    EXPECT_EQ(channel_state(6).last_use_ms, 300u);

    // Equal stamps: channel 0 goes, sounding or not.
    sound(6, 6, 46);
    for (int ch = 0; ch < 16; ++ch)
        channel_state(ch).last_use_ms = 500;
    fake_clear_messages();
    EXPECT_EQ(choose(CHOOSE_STEAL, 450.0).channel, 0);
    EXPECT_EQ(describe_log(), "80 40 127\n");
}

TEST_F(ChannelChoice, ThirtyTwoChannelsOnTheBridge)
{
    open_fake_bridge();
    ASSERT_EQ(channel_count(), 32);
    give_every_channel_its_own_bend();
    for (int c = 0; c < 31; ++c) {
        if (c != 9)
            sound(c, c, 60);
    }
    EXPECT_EQ(choose(0, 450.0).channel, 31);  // the only free channel
    channel_state(25).bend = UNKNOWN_BEND;    // an ordinary channel with 32
    EXPECT_EQ(choose(0, 450.0).channel, 25);
    channel_state(30).bend = 9785.0;
    EXPECT_EQ(choose(0, 450.0).channel, 30);

    sound(31, 31, 60);
    channel_state(25).bend = 125.0;
    channel_state(30).bend = 130.0;
    for (int c = 0; c < 32; ++c)
        channel_state(c).last_use_ms = 900;
    channel_state(20).last_use_ms = 800;
    fake_clear_messages();
    EXPECT_EQ(choose(CHOOSE_STEAL, 450.0).channel, 20);
    EXPECT_EQ(describe_log(), "bridge 80 20 60 127\n");
}

// ---- Playing degrees -------------------------------------------------------

TEST_F(PlayDegrees, FirstNotesInstallTwelveToneOnTheCentredChannel)
{
    open_fake_port();
    EXPECT_EQ(scale_is_set(), 0);
    play_degree(0, 127);
    play_degree(4, 127);
    EXPECT_EQ(describe_log(), "90 60 127\n90 64 127\n");
    EXPECT_EQ(scale_is_set(), 1);
    EXPECT_EQ(scale_size(), 2);
    EXPECT_DOUBLE_EQ(reference_pitch(), kMiddleC);
    const NoteTable& t = note_table();
    ASSERT_EQ(t.count, 2);
    EXPECT_EQ(t.entries[1].key, 4);
    EXPECT_DOUBLE_EQ(t.entries[1].ratio, std::pow(2.0, 4.0 / 12));
    EXPECT_EQ(t.entries[1].channel, 0);
    EXPECT_EQ(t.entries[1].midi_note, 64);
    EXPECT_EQ(channel_state(0).sounding_notes, 2);

    report_notes_in_play();
    EXPECT_EQ(fake_console_output(), std::string(kReportHeader) +
                                         "\nChann:, 0: pitch bend 0 cents, playing: 0 (0) [60], 400 (4) [64]\n");
}

TEST_F(PlayDegrees, ATypedScaleIsNeverReplacedByTheDefault)
{
    open_fake_port();
    set_reference_pitch(440.0);
    set_scale("9/8 5/4 4/3 3/2 5/3 15/8 2/1");
    fake_clear_messages();
    play_degree(4, 100);
    EXPECT_EQ(scale_size(), 8);
    ASSERT_EQ(note_table().count, 1);
    EXPECT_EQ(note_table().entries[0].ratio, 1.5);
    EXPECT_EQ(note_table().entries[0].midi_note, 76);  // 660 Hz
    // Pre-tuning gave the degree its channel: only the note goes out.
    EXPECT_EQ(describe_log(), note_on_line(note_table().entries[0].channel, 76, 100) + "\n");
}

TEST_F(PlayDegrees, BendGoesOutBeforeTheNoteAndOnlyWhenItChanges)
{
    open_fake_port();
    set_reference_pitch(450.0);
    play_degree(0, 100);  // 9785: the lowest free channel
    play_degree(12, 90);  // an octave up: same bend, same channel
    play_degree(1, 300);  // a semitone up: same bend; velocity clamped
    std::vector<std::string> expected = {bend_line(0, 9785), note_on_line(0, 69, 100), note_on_line(0, 81, 90),
                                         note_on_line(0, 70, 127)};
    EXPECT_EQ(describe_log(), lines(expected));

    set_reference_pitch(440.0);
    play_degree(0, 100);  // channel 1 is still centred
    expected.push_back(note_on_line(1, 69, 100));
    EXPECT_EQ(describe_log(), lines(expected));

    set_reference_pitch(445.0);
    play_degree(0, 100);  // a new bend on the next free channel
    expected.push_back(bend_line(2, expected_bend(445.0)));
    expected.push_back(note_on_line(2, nearest_note(445.0), 100));
    EXPECT_EQ(describe_log(), lines(expected));

    // A stored bend that differs only below the rounding is not sent again.
    channel_state(2).bend += 0.3;
    play_degree(0, 100);
    expected.push_back(note_on_line(2, nearest_note(445.0), 100));
    EXPECT_EQ(describe_log(), lines(expected));
}

TEST_F(PlayDegrees, PreparedDegreeSendsItsBendOnce)
{
    open_fake_port();
    set_reference_pitch(450.0);
    set_scale("");
    prepare_degree(0);
    EXPECT_EQ(describe_log(), bend_line(0, 9785) + "\n");
    EXPECT_EQ(note_table().count, 0);
    EXPECT_EQ(channel_state(0).sounding_notes, 0);
    play_degree(0, 100);
    EXPECT_EQ(describe_log(), bend_line(0, 9785) + "\n" + note_on_line(0, 69, 100) + "\n");

    // Without a free channel, a prepare sends and stores nothing.
    for (int c = 1; c < 16; ++c) {
        if (c != 9)
            sound(c, c, 60);
    }
    give_every_channel_its_own_bend();
    fake_clear_messages();
    set_reference_pitch(455.0);
    prepare_degree(0);
    prepare_degree_avoid_newest(0);
    EXPECT_EQ(describe_log(), "");
    for (int c = 0; c < 16; ++c)
        EXPECT_EQ(channel_state(c).bend, 100.0 + c);
}

TEST_F(PlayDegrees, FullTableSendsNothing)
{
    open_fake_port();
    set_scale("");
    for (int i = 0; i < NOTE_TABLE_CAPACITY; ++i)
        add_note(1000 + i, 1.0, 0, 60);
    for (int c = 0; c < 16; ++c)
        channel_state(c).sounding_notes = 1;  // nothing free: a choice would steal
    give_every_channel_its_own_bend();
    play_degree(0, 100);
    EXPECT_EQ(describe_log(), "");
    EXPECT_EQ(note_table().count, NOTE_TABLE_CAPACITY);
    EXPECT_EQ(channel_state(0).bend, 100.0);

    // With room for one more, the same play steals channel 0.
    remove_note(0);
    play_degree(0, 100);
    std::string expected;
    for (int i = 1; i < NOTE_TABLE_CAPACITY; ++i)
        expected += "80 60 127\n";
    EXPECT_EQ(describe_log(), expected + bend_line(0, 8192) + "\n" + note_on_line(0, 60, 100) + "\n");
    EXPECT_EQ(note_table().count, 1);
}

TEST_F(PlayDegrees, StealEndsTheOldestChannelsNotesBeforeTheBend)
{
    open_fake_port();
    set_scale("");
    // Fifteen notes, each on a bend of its own, fill every channel but 9.
    std::vector<double> pitches;
    for (int i = 0; i < 15; ++i)
        pitches.push_back(441.0 + 2.0 * i);
    for (double hz : pitches) {
        set_reference_pitch(hz);
        play_degree(0, 100);
    }
    ASSERT_EQ(note_table().count, 15);
    fake_clear_messages();
    set_reference_pitch(475.0);
    play_degree(0, 100);
    // All stamps are those of the open: channel 0 goes.
    EXPECT_EQ(describe_log(), lines({note_off_line(0, nearest_note(441.0), 127), bend_line(0, expected_bend(475.0)),
                                     note_on_line(0, nearest_note(475.0), 100)}));
    EXPECT_EQ(note_table().count, 15);
    EXPECT_EQ(note_table().entries[14].channel, 0);
}

TEST_F(PlayDegrees, ReleaseEndsTheOldestNoteAndStampsItsChannel)
{
    open_fake_port();
    set_reference_pitch(440.0);
    play_degree(0, 100);  // note 69 on channel 0
    set_reference_pitch(880.0);
    play_degree(0, 100);  // note 81, same channel
    play_degree(3, 100);  // note 84
    fake_clear_messages();
    fake_set_clock(1234);
    release_degree(0, 64);
    EXPECT_EQ(describe_log(), "80 69 64\n");
    EXPECT_EQ(channel_state(0).last_use_ms, 1234u);  // although notes still sound on it
    EXPECT_EQ(channel_state(0).sounding_notes, 2);
    for (int c = 1; c < 16; ++c)
        EXPECT_EQ(channel_state(c).last_use_ms, 0u);

    fake_set_clock(2000);
    release_degree(7, 64);  // not in play: nothing, not even a stamp
    EXPECT_EQ(channel_state(0).last_use_ms, 1234u);
    release_degree(0, 64);
    release_degree(0, 64);
    EXPECT_EQ(describe_log(), "80 69 64\n80 81 64\n");
    EXPECT_EQ(channel_state(0).last_use_ms, 2000u);
    ASSERT_EQ(note_table().count, 1);
    EXPECT_EQ(note_table().entries[0].key, 3);
}

TEST_F(PlayDegrees, ReleaseNoteEndsExactlyThatNoteOnce)
{
    open_fake_port();
    set_reference_pitch(440.0);
    const uint32_t older = play_degree_note(0, 100);  // note 69 on channel 0
    const uint32_t newer = play_degree_note(0, 90);   // the same degree, channel and note
    const uint32_t drum = play_percussion_note(38, 80);
    ASSERT_NE(older, newer);
    ASSERT_NE(older, 0u);
    fake_clear_messages();
    fake_set_clock(500);
    EXPECT_TRUE(release_note(newer, 30));
    EXPECT_EQ(describe_log(), "80 69 30\n");
    EXPECT_EQ(channel_state(0).last_use_ms, 500u);
    ASSERT_EQ(note_table().count, 2);
    EXPECT_EQ(note_table().entries[0].serial, older);  // the older note of the degree sounds on
    EXPECT_FALSE(release_note(newer, 30));              // once ended, never again
    EXPECT_FALSE(release_note(0, 30));
    fake_set_clock(900);
    EXPECT_TRUE(release_note(drum, 30));  // percussion: no stamp on channel 9
    EXPECT_EQ(channel_state(9).last_use_ms, 0u);
    EXPECT_EQ(describe_log(), "80 69 30\n89 38 30\n");
    EXPECT_EQ(find_note_serial(older), 0);

    // A full table records nothing, so there is no note to tell of.
    for (int i = note_table().count; i < NOTE_TABLE_CAPACITY; ++i)
        add_note(1000 + i, 1.0, 0, 60);
    EXPECT_EQ(play_degree_note(0, 100), 0u);
    EXPECT_EQ(play_percussion_note(38, 80), 0u);
}

TEST_F(PlayDegrees, ReleaseStampsSteerTheNextChoice)
{
    open_fake_port();
    set_scale("");
    for (double hz : {441.0, 443.0, 445.0}) {  // channels 0, 1, 2
        set_reference_pitch(hz);
        play_degree(0, 100);
    }
    for (int c = 3; c < 16; ++c)
        channel_state(c).last_use_ms = 5000;
    // Released in the order 2, 0, 1 as the clock advances.
    fake_set_clock(100);
    release_degree(0, 64);  // oldest first: channel 0
    fake_set_clock(50);
    EXPECT_EQ(channel_state(0).last_use_ms, 100u);
    release_degree(0, 64);  // channel 1
    EXPECT_EQ(channel_state(1).last_use_ms, 50u);
    fake_set_clock(300);
    release_degree(0, 64);  // channel 2
    fake_clear_messages();
    for (double hz : {447.0, 449.0, 451.0}) {
        set_reference_pitch(hz);
        play_degree(0, 100);
    }
    std::vector<std::string> expected;
    const int order[] = {1, 0, 2};
    const double pitches[] = {447.0, 449.0, 451.0};
    for (int i = 0; i < 3; ++i) {
        expected.push_back(bend_line(order[i], expected_bend(pitches[i])));
        expected.push_back(note_on_line(order[i], nearest_note(pitches[i]), 100));
    }
    EXPECT_EQ(describe_log(), lines(expected));
}

TEST_F(PlayDegrees, NoteEntriesRecordDegreeRatioChannelAndNote)
{
    open_fake_port();
    set_reference_pitch(440.0);
    set_scale("9/8 5/4 4/3 3/2 5/3 15/8 2/1");
    play_degree(-8, 80);  // 0.46875 below A 440: 206.25 Hz
    const NoteEntry& e = note_table().entries[0];
    EXPECT_EQ(e.key, -8);
    EXPECT_EQ(e.ratio, 0.46875);
    EXPECT_EQ(e.midi_note, nearest_note(206.25));
    EXPECT_EQ(channel_state(e.channel).bend, expected_bend(206.25));
    EXPECT_NE(e.channel, 9);
}

// ---- Percussion ------------------------------------------------------------

TEST_F(Percussion, PlaysOnChannelNineWithoutBends)
{
    open_fake_port();
    play_percussion(38, 100);
    play_percussion(38, 100);
    play_percussion(42, 200);
    EXPECT_EQ(describe_log(), "99 38 100\n99 38 100\n99 42 127\n");
    const NoteTable& t = note_table();
    ASSERT_EQ(t.count, 3);
    EXPECT_EQ(t.entries[2].key, 42);
    EXPECT_EQ(t.entries[2].ratio, 1.0);
    EXPECT_EQ(t.entries[2].channel, 9);
    EXPECT_EQ(t.entries[2].midi_note, 42);
    EXPECT_EQ(channel_state(9).bend, UNKNOWN_BEND);

    fake_clear_messages();
    fake_set_clock(777);
    release_percussion(38);  // both, including the one that moved into place
    EXPECT_EQ(describe_log(), "89 38 127\n89 38 127\n");
    ASSERT_EQ(t.count, 1);
    EXPECT_EQ(t.entries[0].key, 42);
    EXPECT_EQ(channel_state(9).last_use_ms, 0u);
    release_percussion(50);
    EXPECT_EQ(describe_log(), "89 38 127\n89 38 127\n");

    // A full table still sounds the note but cannot record it.
    notes_reset();
    for (int i = 0; i < NOTE_TABLE_CAPACITY; ++i)
        add_note(i, 1.0, 3, 60);
    fake_clear_messages();
    play_percussion(36, 90);
    EXPECT_EQ(describe_log(), "99 36 90\n");
    EXPECT_FALSE(find_note(36, 9, -1));
}

TEST_F(Percussion, MelodicAndPercussionNotesAreKeptApart)
{
    open_fake_port();
    set_reference_pitch(440.0);
    play_percussion(5, 100);
    release_degree(5, 64);  // only percussion key 5 in play: nothing
    EXPECT_EQ(describe_log(), "99 5 100\n");
    play_degree(5, 100);  // a fourth above A: note 74 on channel 0
    play_percussion(5, 100);
    fake_clear_messages();
    release_degree(5, 64);
    EXPECT_EQ(describe_log(), "80 74 64\n");
    play_degree(5, 100);
    fake_clear_messages();
    release_percussion(5);
    EXPECT_EQ(describe_log(), "89 5 127\n89 5 127\n");
    ASSERT_EQ(note_table().count, 1);
    EXPECT_EQ(note_table().entries[0].channel, 0);
}

// ---- Report ----------------------------------------------------------------

TEST_F(Report, GroupedByChannelInTableOrder)
{
    open_fake_port();
    channel_state(0).bend = 8192.0 + 2048.0;
    channel_state(2).bend = 8272.0;
    add_note(4, 1.5, 2, 76);
    add_note(38, 1.0, 9, 38);
    add_note(0, 1.0, 2, 69);
    add_note(-7, 0.5, 0, 57);
    add_note(3, 0.0, 0, 0);         // taken as 1e-50
    add_note(6, 7.0 / 4.0, 20, 0);  // channel out of use: not listed
    report_notes_in_play();
    EXPECT_EQ(fake_console_output(), std::string(kReportHeader) +
                                         "\nChann:, 0: pitch bend 50 cents, playing: -1200 (-7) [57], "
                                         "-199316 (3) [0]"
                                         "\nChann:, 2: pitch bend 1.95312 cents, playing: 701.955 (4) [76], 0 (0) [69]"
                                         "\nChann:, 9: pitch bend -200.244 cents, playing: 0 (38) [38]"
                                         "\n");
    EXPECT_EQ(describe_log(), "");

    fake_clear_console_output();
    notes_reset();
    report_notes_in_play();
    EXPECT_EQ(fake_console_output(), std::string(kReportHeader) + "\n");
}

TEST_F(PlayDegrees, ExtremeInputsGiveTheEdgesOfTheRange)
{
    open_fake_port();
    // An infinite reference pitch: the top note at the top bend.
    set_reference_pitch(kInf);
    play_degree(0, 100);
    EXPECT_EQ(describe_log(), "E0 127 127\n90 127 100\n");

    // The most negative degree of twelve-tone: 2^(1/12) * e^-308 of middle C.
    set_reference_pitch(0.0);
    fake_clear_messages();
    play_degree(INT_MIN, 100);
    play_degree(INT_MAX, 100);
    EXPECT_EQ(describe_log(), "E1 0 0\n91 0 100\n" + note_on_line(0, 127, 100) + "\n");

    // A zero denominator: an infinite ratio, stored and played at the top.
    release_all_notes(127);
    set_scale("9/8 3/0 2/1");
    fake_clear_messages();
    play_degree(2, 100);
    const NoteTable& t = note_table();
    ASSERT_EQ(t.count, 1);
    EXPECT_EQ(t.entries[0].ratio, kInf);
    EXPECT_EQ(t.entries[0].midi_note, 127);
    EXPECT_EQ(channel_state(t.entries[0].channel).bend, 16383.0);

    // A ratio that is not a number plays as a frequency of zero: note 0,
    // bend 0 (which, after the marker, rounds the same and is not sent).
    release_all_notes(127);
    set_scale("1 0/0 cents");
    EXPECT_TRUE(std::isnan(scale_table().entries[1]));
    fake_clear_messages();
    play_degree(1, 100);
    ASSERT_EQ(t.count, 1);
    EXPECT_EQ(t.entries[0].midi_note, 0);
    EXPECT_EQ(channel_state(t.entries[0].channel).bend, 0.0);
    EXPECT_EQ(describe_log(), note_on_line(t.entries[0].channel, 0, 100) + "\n");

    fake_clear_console_output();
    report_notes_in_play();
    EXPECT_NE(fake_console_output().find("nan (1) [0]"), std::string::npos);
}

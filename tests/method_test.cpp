// The ways a pitch reaches the synthesizer besides pitch bend: the MIDI
// Tuning Standard (a key retuned per pitch, every note on one channel) and
// MPE (a member channel per note, bent over 48 semitones), message by
// message on the fake port.
#include "test_support.h"

#include "midi/channel.h"
#include "midi/device.h"
#include "model_synth.h"
#include "retune/channel_choice.h"
#include "retune/degrees.h"
#include "retune/method.h"
#include "retune/notes.h"

#include <cmath>
#include <cstdio>

namespace {

// A Single Note Tuning Change of one key as the port logs it.
std::string change(int key, double cents)
{
    const long value = std::lround(cents / 100.0 * 16384.0);
    char text[64];
    std::snprintf(text, sizeof text, "F0 7F 7F 08 02 00 01 %02X %02X %02X %02X F7", key,
                  static_cast<int>(value >> 14), static_cast<int>((value >> 7) & 0x7F), static_cast<int>(value & 0x7F));
    return text;
}

double cents_of(double hz) { return 100.0 * (69.0 + 12.0 * std::log2(hz / 440.0)); }

void open_with(TuningMethod method)
{
    set_tuning_method(method);
    fake_add_port("Port A");
    ASSERT_EQ(open_device(0), 1);
    fake_clear_messages();
    tune_opened_device("Port A");
}

}  // namespace

using MtsMethod = VarentaTest;
using MpeMethod = VarentaTest;
using MethodOnTheBridge = VarentaTest;

// The opening selects tuning program 0 of bank 0 on every melodic channel;
// each pitch takes the nearest key no other pitch sounds on, retuned just
// before its note-on and only when it does not carry the pitch yet; every
// note on channel 0, never a bend; the keys go back to equal temperament
// as the device closes.
TEST_F(MtsMethod, KeysRetunedSharedAndRestored)
{
    open_with(METHOD_MTS);
    std::vector<std::string> opening;
    for (int ch = 0; ch < 16; ++ch) {
        if (ch == 9)
            continue;
        char c[8];
        std::snprintf(c, sizeof c, "B%X ", ch);
        for (const char* rpn : {"101 0", "100 4", "6 0", "101 0", "100 3", "6 0"})
            opening.push_back(c + std::string(rpn));
    }
    EXPECT_EQ(describe_log(), lines(opening));

    // 5/4 above middle C: key 64 tuned 13.69 c flat.
    fake_clear_messages();
    const double third = 327.0319566;
    const uint32_t first = play_frequency_note(0, 1.25, third, 0, 100);
    EXPECT_EQ(describe_log(), "F0 7F 7F 08 02 00 01 40 3F 6E 3E F7\n90 64 100\n");
    EXPECT_NEAR(mts_key_cents(64), cents_of(third) - 6400.0, 100.0 / 16384);
    // The same pitch shares the key, with no change sent.
    fake_clear_messages();
    const uint32_t second = play_frequency_note(1, 1.25, third, 0, 100);
    EXPECT_EQ(describe_log(), "90 64 100\n");
    // Another pitch nearest key 64 takes the next nearest key, 65.
    fake_clear_messages();
    const double sharp = 440.0 * std::pow(2.0, (64.2 - 69.0) / 12.0);
    const uint32_t third_note = play_frequency_note(2, 1.0, sharp, 0, 100);
    EXPECT_EQ(describe_log(), change(65, cents_of(sharp)) + "\n90 65 100\n");
    // Once key 64 is free, that pitch takes it.
    release_note(first, 64);
    release_note(second, 64);
    release_note(third_note, 64);
    fake_clear_messages();
    play_frequency_note(3, 1.0, sharp, 0, 100);
    EXPECT_EQ(describe_log(), change(64, cents_of(sharp)) + "\n90 64 100\n");
    // A note is released by its degree, as the dialogue and the measurement
    // release theirs, not by its key.
    fake_clear_messages();
    release_degree(64, 64);
    EXPECT_EQ(describe_log(), "");
    release_degree(3, 64);
    EXPECT_EQ(describe_log(), "80 64 64\n");
    EXPECT_EQ(note_table().count, 0);

    // A full keyboard: 128 pitches each a tenth of a cent apart from any
    // other, then one more takes its nearest key over, its note ended.
    for (int key = 0; key < 128; ++key)
        play_frequency_note(100 + key, 1.0, 440.0 * std::pow(2.0, (key + 0.3 - 69.0) / 12.0), 0, 100);
    EXPECT_EQ(note_table().count, 128);
    fake_clear_messages();
    play_frequency_note(999, 1.0, 440.0 * std::pow(2.0, (60.1 - 69.0) / 12.0), 0, 100);
    EXPECT_EQ(describe_log(), "80 60 127\n" + change(60, 6010.0) + "\n90 60 100\n");
    EXPECT_EQ(note_table().count, 128);
    for (const FakeMessage& m : fake_messages())
        EXPECT_NE(m.status, 0xE0);

    // Closing: every retuned key back to equal temperament, 62 keys a message.
    release_all_notes(64);
    fake_clear_messages();
    close_device();
    const auto& log = fake_messages();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].bytes.size(), 8u + 4 * 62);
    EXPECT_EQ(log[2].bytes.size(), 8u + 4 * 4);
    EXPECT_EQ(describe(log[0]).substr(0, 44), "F0 7F 7F 08 02 00 3E 00 00 00 00 01 01 00 00");
    EXPECT_EQ(mts_key_cents(64), 0.0);
}

// The MPE Configuration Message for a lower zone of 15 members, each
// member's range of 48 semitones sent; notes on member channels of their
// own while any is free, bent over 48 semitones to the nearest step, never
// on the manager channel or channel 9; the percussion stays on 9.
TEST_F(MpeMethod, ZoneMembersAndBends)
{
    open_with(METHOD_MPE);
    std::vector<std::string> opening = {"B0 101 0", "B0 100 6", "B0 6 15"};
    for (int ch = 1; ch <= 15; ++ch) {
        if (ch == 9)
            continue;
        char c[8];
        std::snprintf(c, sizeof c, "B%X ", ch);
        for (const char* rpn : {"101 0", "100 0", "6 48", "38 0"})
            opening.push_back(c + std::string(rpn));
    }
    EXPECT_EQ(describe_log(), lines(opening));

    // Fifteen notes of the same pitch: fourteen members of their own, then
    // one shares a member.
    fake_clear_messages();
    const double fifth = 392.4383;  // 3/2 above middle C: key 67 bent +1.96 c
    for (int i = 0; i < 15; ++i)
        play_frequency_note(i, 1.5, fifth, 0, 100);
    std::vector<int> channels;
    for (const NoteEntry& e : std::vector<NoteEntry>(note_table().entries, note_table().entries + note_table().count))
        channels.push_back(e.channel);
    EXPECT_EQ(channels, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 10, 11, 12, 13, 14, 15, 1}));
    const double wanted = std::round(8192.0 / 48.0 * (cents_of(fifth) / 100.0 - 67.0));
    EXPECT_EQ(channel_state(1).bend, 8192.0 + wanted);
    ModelSynth synth;
    synth.faults.range_up = synth.faults.range_down = 48.0;
    synth.apply(fake_messages());
    for (const HeardNote& n : synth.notes())
        EXPECT_LE(std::fabs(cents_between(fifth, n.frequency)), 4800.0 / 8192.0 / 2.0 + 1e-9);

    // Pitches across the keyboard land within half a 0.59 c step.
    release_all_notes(64);
    const size_t before = synth.notes().size();
    for (int i = 0; i < 200; ++i) {
        const double hz = 30.0 * std::pow(2.0, i * 0.0331);
        play_frequency_note(i, 1.0, hz, 0, 100);
        release_degree(i, 64);
    }
    ModelSynth wide;
    wide.faults.range_up = wide.faults.range_down = 48.0;
    wide.apply(fake_messages());
    ASSERT_EQ(wide.notes().size(), before + 200);
    for (size_t i = 0; i < 200; ++i) {
        const HeardNote& n = wide.notes()[before + i];
        EXPECT_LE(std::fabs(cents_between(30.0 * std::pow(2.0, static_cast<double>(i) * 0.0331), n.frequency)),
                  4800.0 / 8192.0 / 2.0 + 1e-9)
            << i;
        EXPECT_NE(n.channel, 0);
        EXPECT_NE(n.channel, 9);
    }
    play_percussion(38, 100);
    EXPECT_EQ(describe(fake_messages().back()), "99 38 100");
}

// The built-in synthesizer takes short messages only: with MTS or MPE it
// says so in one line and plays by pitch bend.
TEST_F(MethodOnTheBridge, PlaysByPitchBend)
{
    set_tuning_method(METHOD_MTS);
    open_fake_bridge();
    tune_opened_device("QuickTime");
    EXPECT_EQ(fake_console_output(), "The built-in synthesizer takes short messages only: it plays by pitch bend.\n");
    EXPECT_EQ(tuning_method(), METHOD_BEND);
    fake_clear_messages();
    play_frequency_note(0, 1.25, 327.0319566, 0, 100);
    EXPECT_EQ(fake_messages().size(), 2u);
    EXPECT_EQ(fake_messages()[0].status, 0xE0);
}

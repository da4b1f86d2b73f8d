// The chord and scale tests and the commands at their prompts, run as a user
// would: the scripted console types, the fake port records, and a model
// synthesizer tells what was heard and when.
#include "test_support.h"

#include "expected_texts.h"
#include "model_synth.h"
#include "tuning/scale.h"

#include <cmath>
#include <cstdio>

using namespace expected;

namespace {

const double kMiddleC = 261.6255653005986;

// Messages a port gets before the first prompt: the opening and program 6.
const size_t kOpeningMessages = port_opening(0).size() + 15;

// Runs the program on one port: Return at the menu, then the given lines.
// Returns what was printed after the first chord prompt.
std::string play(const std::string& input)
{
    fake_add_port("Port One");
    EXPECT_EQ(run_dialogue("\n" + input), 0);
    const std::string& out = fake_console_output();
    const std::string first_prompt = chord_prompt(true);
    size_t at = out.find(first_prompt);
    EXPECT_NE(at, std::string::npos);
    return at == std::string::npos ? out : out.substr(at + first_prompt.size());
}

ModelSynth heard()
{
    ModelSynth synth;
    synth.apply(fake_messages(), kOpeningMessages);
    return synth;
}

// Every note was heard at base times ratios[i], in order, within one bend unit.
void expect_pitches(const std::vector<HeardNote>& notes, double base_hz, const std::vector<double>& ratios)
{
    ASSERT_EQ(notes.size(), ratios.size());
    for (size_t i = 0; i < notes.size(); ++i) {
        EXPECT_NEAR(cents_between(base_hz * ratios[i], notes[i].frequency), 0.0, BEND_UNIT_CENTS) << "note " << i;
        EXPECT_EQ(notes[i].velocity, 127);
    }
}

std::string format(const char* pattern, double value)
{
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

// The report of notes in play, written from what the synthesizer received.
std::string expected_report(const std::vector<HeardNote>& notes, const std::vector<double>& ratios)
{
    std::string text = "These are the notes in play for each channel:\n\nEach note shows:\n"
                       "Interval from 1/1 in cents (Scale degree) Midi note]\n";
    for (int channel = 0; channel < 16; ++channel) {
        bool first = true;
        for (size_t i = 0; i < notes.size(); ++i) {
            if (notes[i].channel != channel)
                continue;
            if (first)
                text += "\nChann:, " + std::to_string(channel) + ": pitch bend " +
                        format("%g", (notes[i].bend - 8192) / 4096 * 100) + " cents, playing: ";
            else
                text += ", ";
            first = false;
            text += format("%g", 1200 * std::log2(ratios[i])) + " (" + std::to_string(i) + ") [" +
                    std::to_string(notes[i].note) + "]";
        }
    }
    return text + "\n";
}

std::vector<uint32_t> on_times(const std::vector<HeardNote>& notes)
{
    std::vector<uint32_t> times;
    for (const HeardNote& n : notes)
        times.push_back(n.on_ms);
    return times;
}

std::vector<uint32_t> off_times(const std::vector<HeardNote>& notes)
{
    std::vector<uint32_t> times;
    for (const HeardNote& n : notes)
        times.push_back(n.off_ms);
    return times;
}

const std::string kScalePromptStart =
    "\n\n****Scale test****\n\n"
    "Enter a scale to play in cents or ratios notation as intervals from 1/1\n"
    "Include decimal point for cents (SCALA convention).\n\n"
    "You can use \"n(1/7)\" for 7 equal steps to an octave.\n\n"
    "Also use \"= 7\" for 7 equal steps to an octave.\n\n"
    "You can also use:\nh 2 for harmonic series.\n\n";
const std::string kMoveOn = "\"next\" to move on to next option, \"start\" to start again or \"exit\" to exit.";

std::string scale_prompt_preset()
{
    return kScalePromptStart + "Just press return for preset of the just intonation diatonic\n"
                               "9/8 5/4 4/3 3/2 5/3 15/8 2/1\n" + kMoveOn + "\n";
}

std::string scale_prompt_current(const std::string& scale)
{
    return kScalePromptStart + "Just press return to keep the current scale:\n" + scale + "\n" + kMoveOn + "\n";
}

std::string how_many(int notes)
{
    return "Enter the number of notes of the scale to play (-ve number to descend from 1/1)\n"
           "Or press return to play " + std::to_string(notes) + " notes\n";
}

std::string you_should_hear(int notes)
{
    return "You should now hear your ascending scale of " + std::to_string(notes) + " notes\n\n";
}

const std::vector<double> kDiatonic = {1, 9.0 / 8, 5.0 / 4, 4.0 / 3, 3.0 / 2, 5.0 / 3, 15.0 / 8, 2};

}  // namespace

using ChordTest = VarentaTest;
using ScaleTest = VarentaTest;
using Commands = VarentaTest;

TEST_F(ChordTest, ReturnBuildsTheSeptimalMinorChordOneSecondApart)
{
    std::string out = play("\nexit\n");
    ModelSynth synth = heard();
    const std::vector<double> ratios = {1, 7.0 / 6, 3.0 / 2, 2};
    expect_pitches(synth.notes(), kMiddleC, ratios);
    EXPECT_EQ(on_times(synth.notes()), (std::vector<uint32_t>{500, 1500, 2500, 3500}));
    EXPECT_EQ(off_times(synth.notes()), (std::vector<uint32_t>(4, 5500)));
    EXPECT_EQ(synth.unmatched_note_offs(), 0);
    EXPECT_EQ(out, "You should now hear your chord as a broken chord\n\n" + expected_report(synth.notes(), ratios) +
                       chord_prompt(false));
    // Notes needing different bends never share a channel.
    for (const HeardNote& a : synth.notes()) {
        for (const HeardNote& b : synth.notes())
            EXPECT_TRUE(a.channel != b.channel || a.bend == b.bend);
    }
    // Release velocity 127, in degree order.
    const auto& log = fake_messages();
    std::vector<int> offs;
    for (const FakeMessage& m : log) {
        if (m.status == 0x80) {
            EXPECT_EQ(m.data2, 127);
            offs.push_back(m.data1);
        }
    }
    std::vector<int> ons;
    for (const HeardNote& n : synth.notes())
        ons.push_back(n.note);
    EXPECT_EQ(offs, ons);
}

TEST_F(ChordTest, ChordInCents)
{
    play("386.3137 701.955 1200.0\nexit\n");
    expect_pitches(heard().notes(), kMiddleC,
                   {1, std::pow(2, 386.3137 / 1200), std::pow(2, 701.955 / 1200), 2});
}

TEST_F(ChordTest, AnOctaveAlonePlaysTwoNotes)
{
    play("2/1\nexit\n");
    expect_pitches(heard().notes(), kMiddleC, {1, 2});
}

TEST_F(ScaleTest, ReturnPlaysThePresetDiatonicUpwards)
{
    std::string out = play("next\n\nexit\n");
    EXPECT_EQ(out, scale_prompt_preset() + how_many(8) + you_should_hear(8) +
                       scale_prompt_current("9/8 5/4 4/3 3/2 5/3 15/8 2/1"));
    ModelSynth synth = heard();
    expect_pitches(synth.notes(), kMiddleC, kDiatonic);
    for (size_t i = 0; i < synth.notes().size(); ++i) {
        EXPECT_EQ(synth.notes()[i].on_ms, 500 + 500 * i);
        EXPECT_EQ(synth.notes()[i].off_ms, 1000 + 500 * i);
    }
}

TEST_F(ScaleTest, EqualsSevenIsRewrittenToSevenEqualSteps)
{
    for (const char* typed : {"= 7", "=7", "=   7   "}) {
        reset_all();
        std::string out = play(std::string("next\n") + typed + "\n\nexit\n");
        EXPECT_EQ(out, scale_prompt_preset() + how_many(2) + you_should_hear(2) +
                           scale_prompt_current("n(0.142857/1)"))
            << typed;
        // The step is 2 to the six-digit fraction, not exactly a seventh of an octave.
        expect_pitches(heard().notes(), kMiddleC, {1, std::pow(2, 0.142857)});
    }
}

TEST_F(ScaleTest, EqualsWithoutAPositiveNumber)
{
    for (const char* typed : {"=0", "= -3", "="}) {
        reset_all();
        play(std::string("next\n") + typed + "\n0\nexit\n");
        EXPECT_STREQ(scale_text(), "n(1e+10/1)") << typed;
    }
}

TEST_F(ScaleTest, TypedCountsUpDownAndNone)
{
    std::string out = play("next\n9/8 5/4\n-3\n5/4\n 0\n9/8\nnotes\nexit\n");
    EXPECT_EQ(out, scale_prompt_preset() + how_many(3) + you_should_hear(-3) + scale_prompt_current("9/8 5/4") +
                       how_many(2) + you_should_hear(0) + scale_prompt_current("5/4") + how_many(2) +
                       you_should_hear(0) + scale_prompt_current("9/8"));
    // Descending: 1/1, then the 9/8 and the 1/1 an octave of 5/4 lower.
    expect_pitches(heard().notes(), kMiddleC, {1, 0.9, 0.8});
}

TEST_F(ScaleTest, TheCountAnswerIsNeitherTrimmedNorACommand)
{
    // "exit" is a count of 0; a lone space is an answer, not Return.
    std::string out = play("next\n2/1\nexit\n2/1\n \n2/1\n  -2\nexit\n");
    const std::string again = scale_prompt_current("2/1");
    EXPECT_EQ(out, scale_prompt_preset() + how_many(2) + you_should_hear(0) + again + how_many(2) +
                       you_should_hear(0) + again + how_many(2) + you_should_hear(-2) + again);
    expect_pitches(heard().notes(), kMiddleC, {1, 0.5});
}

TEST_F(Commands, VoiceChangesEveryMelodicChannel)
{
    std::string out = play("voice harpsichord\nVOICEtrump\nexit\n");
    EXPECT_EQ(out, "\n******new voice Harpsichord (6)******\n" + chord_prompt(false) +
                       "\n******new voice Trumpet (56)******\n" + chord_prompt(false));
    std::vector<std::string> expected = program_changes(6);
    for (const std::string& change : program_changes(56))
        expected.push_back(change);
    EXPECT_EQ(describe_log(kOpeningMessages), lines(expected));
}

TEST_F(Commands, VoiceComesBeforeHz)
{
    std::string out = play("voice 12 hz\nexit\n");
    EXPECT_EQ(out, "\n******new voice Marimba (12)******\n" + chord_prompt(false));
}

TEST_F(Commands, VoicesListsEveryInstrument)
{
    std::string out = play("  Voices \n\n\nexit\n");
    const std::string header = "\n\n******Complete list of voices******\nAcoustic Grand Piano (0), ";
    EXPECT_EQ(out.substr(0, header.size()), header);
    EXPECT_NE(out.find("Gunshot (127), "), std::string::npos);
    EXPECT_EQ(out.substr(out.size() - chord_prompt(false).size()), chord_prompt(false));
    EXPECT_EQ(fake_close_count(), 1);  // both waits took a line each, then "exit"
}

TEST_F(Commands, HzMovesTheOneOneAndZeroRestoresMiddleC)
{
    std::string out = play("55 hz\n\n0 HZ\n\nexit\n");
    EXPECT_EQ(out.substr(0, 27), "\n******new 1/1 55 Hz******\n");
    EXPECT_NE(out.find("\n******new 1/1 0 Hz******\n"), std::string::npos);
    std::vector<HeardNote> notes = heard().notes();
    ASSERT_EQ(notes.size(), 8u);
    std::vector<HeardNote> low(notes.begin(), notes.begin() + 4), high(notes.begin() + 4, notes.end());
    expect_pitches(low, 55.0, {1, 7.0 / 6, 1.5, 2});
    expect_pitches(high, kMiddleC, {1, 7.0 / 6, 1.5, 2});
}

TEST_F(Commands, HzLinesAndLinesThatAreNot)
{
    struct Case {
        const char* line;
        const char* message;  // nullptr: not a command
    } cases[] = {
        {"55hz", "\n******new 1/1 55 Hz******\n"},
        {"  440.5 Hz  ", "\n******new 1/1 440.5 Hz******\n"},
        {"hz", "\n******new 1/1 0 Hz******\n"},
        {"abc hz", "\n******new 1/1 0 Hz******\n"},
        {"1e3hz", "\n******new 1/1 1000 Hz******\n"},
        {"hz 55", nullptr},
        {"55 h z", nullptr},
    };
    for (const Case& c : cases) {
        reset_all();
        std::string out = play(std::string(c.line) + "\nexit\n");
        if (c.message != nullptr)
            EXPECT_EQ(out, c.message + chord_prompt(false)) << c.line;
        else
            EXPECT_EQ(out.find("new 1/1"), std::string::npos) << c.line;
    }
}

using BendTestAtEveryPrompt = VarentaTest;

TEST_F(BendTestAtEveryPrompt, ReturnsToThePromptItWasTypedAt)
{
    // Reached by "next" from the chord prompt: the prompt's last line, and the
    // lines that lead there.
    const struct {
        const char* to_prompt;
        std::string prompt_end;
    } prompts[] = {
        {"", "7/6 3/2 2/1\n\nType " + kMoveOn},
        {"next\n", "9/8 5/4 4/3 3/2 5/3 15/8 2/1\n" + kMoveOn},
        {"next\nnext\n", "Press return only for preset values of 10 notes and 100 chords\n" + kMoveOn},
        {"next\nnext\nnext\n", "reset to middle c\n" + kMoveOn},
    };
    for (const auto& p : prompts) {
        reset_all();
        // Fail the test and ask to try again: the same prompt comes back, with the recommendation.
        std::string out = play(std::string(p.to_prompt) + "test\nn\nn\nexit\n");
        const std::string again = "****Type \"test\" to try the test again***";
        size_t at = out.find(again);
        ASSERT_NE(at, std::string::npos) << p.to_prompt;
        std::string after = out.substr(at + again.size());
        EXPECT_NE(after.find(p.prompt_end + kTail + "\n"), std::string::npos) << p.to_prompt;
        EXPECT_EQ(after.substr(after.size() - kTail.size() - 1), kTail + "\n") << p.to_prompt;
    }
}

TEST_F(ScaleTest, ACommandOrTheBendTestKeepsThePromptVariant)
{
    std::string out = play("next\n55 hz\ntest\ny\n2/1\n\ntest\ny\nexit\n");
    const std::string preset = scale_prompt_preset(), current = scale_prompt_current("2/1");
    EXPECT_EQ(out.find(preset), 0u);
    size_t after_hz = out.find("\n******new 1/1 55 Hz******\n" + preset);
    ASSERT_NE(after_hz, std::string::npos);
    EXPECT_NE(out.find(kBendTestStart + preset), std::string::npos);
    EXPECT_NE(out.find(kBendTestStart + current), std::string::npos);
}

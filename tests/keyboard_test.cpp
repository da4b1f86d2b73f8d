// The play-from-keyboard and percussion tests: keys to degrees and sounds,
// sustain, the echo, Return, and the percussion test's exit confirmation.
#include "test_support.h"

#include "dialogue/key_maps.h"
#include "expected_texts.h"
#include "model_synth.h"
#include "tuning/scale.h"

#include <cmath>

using namespace expected;

namespace {

const double kMiddleC = 261.6255653005986;

const std::string kKeyboardPrompt =
    "\n\n****Play from p.c. keyboard test****\n\n"
    "Now, enter a scale to play in from p.c. keyboard\n"
    "Scale repeats at last interval - end with 2/1 for octave scales.\n\n"
    "Just press return for the preset of the just intonation diatonic\n"
    "9/8 5/4 4/3 3/2 5/3 15/8 2/1\n"
    "To change pitch of 1/1 enter frequency followed by \"hz\", or \"0 hz\" to reset to middle c\n"
    "\"next\" to move on to next option, \"start\" to start again or \"exit\" to exit.\n";

const std::string kPlayInstructions =
    "Now, play in the scale using numbers 0 to 9, or letters a to z for the\n"
    "scale degree. Press spaces to switch sustain on / off\n"
    "To change scale or pitch of 1/1 press return key.\n";

const std::string kPercussionIntro =
    "\n\n****Non Melodic Percussion test****\n\n"
    "Use numbers 0 to 9, letters a to z or punctuation\n"
    "to play various non melodic percussion instruments.\n\n"
    "Press spaces to switch sustain on / off, and press return key to exit program.\n";

const std::string kExitQuestion = "\nExit Program (press return again to exit, or N to continue)\n";

// From the device menu to the keyboard prompt.
const std::string kToKeyboard = "\nnext\nnext\nnext\n";

// Runs the program up to the keyboard prompt, then the given input. Returns
// the output after that prompt's first showing.
std::string at_keyboard(const std::string& input)
{
    fake_add_port("Port One");
    EXPECT_EQ(run_dialogue(kToKeyboard + input), 0);
    const std::string& out = fake_console_output();
    size_t at = out.find(kKeyboardPrompt);
    EXPECT_NE(at, std::string::npos);
    return at == std::string::npos ? out : out.substr(at + kKeyboardPrompt.size());
}

std::string at_percussion(const std::string& input)
{
    fake_add_port("Port One");
    EXPECT_EQ(run_dialogue(kToKeyboard + "next\n" + input), 0);
    const std::string& out = fake_console_output();
    size_t at = out.find(kPercussionIntro);
    EXPECT_NE(at, std::string::npos);
    return at == std::string::npos ? out : out.substr(at + kPercussionIntro.size());
}

// The notes played after the opening, as heard.
std::vector<HeardNote> heard_notes()
{
    ModelSynth synth;
    synth.apply(fake_messages());
    return synth.notes();
}

// Degree of a heard note in the diatonic preset over middle C.
int diatonic_degree(double hz)
{
    const double steps[] = {1, 9.0 / 8, 5.0 / 4, 4.0 / 3, 3.0 / 2, 5.0 / 3, 15.0 / 8};
    for (int octave = -3; octave <= 6; ++octave) {
        for (int i = 0; i < 7; ++i) {
            if (std::fabs(cents_between(kMiddleC * steps[i] * std::pow(2.0, octave), hz)) < BEND_UNIT_CENTS)
                return octave * 7 + i;
        }
    }
    return -1000;
}

std::vector<int> degrees_heard(const std::vector<HeardNote>& notes)
{
    std::vector<int> degrees;
    for (const HeardNote& n : notes)
        degrees.push_back(diatonic_degree(n.frequency));
    return degrees;
}

std::vector<int> percussion_heard(const std::vector<HeardNote>& notes)
{
    std::vector<int> keys;
    for (const HeardNote& n : notes) {
        EXPECT_EQ(n.channel, 9);
        keys.push_back(n.note);
    }
    return keys;
}

}  // namespace

using KeyMaps = VarentaTest;
using KeyboardTest = VarentaTest;
using PercussionTest = VarentaTest;

TEST_F(KeyMaps, DigitsLettersAndPunctuationRows)
{
    for (int key = '0'; key <= '9'; ++key) {
        EXPECT_EQ(keyboard_degree(key), key - '0');
        EXPECT_EQ(percussion_index(key), key - '0');
    }
    for (int key = 'a'; key <= 'z'; ++key) {
        EXPECT_EQ(keyboard_degree(key), key - 'a' + 10);
        EXPECT_EQ(keyboard_degree(key - 'a' + 'A'), key - 'a' + 10);
        EXPECT_EQ(percussion_index(key - 'a' + 'A'), key - 'a' + 10);
    }
    const struct {
        const char* keys;
        int degree, index;
    } rows[] = {{"-_", 37, 36}, {"+=", 38, 37}, {"[{", 39, 38}, {"]}", 40, 39}, {":;", 41, 40},
                {"'@", 42, 41}, {"#~", 43, 42}, {",<", 44, 43}, {".>", 45, 44}, {"/?", 46, 45},
                {"\\|`\xAC", 37, 46}};
    for (const auto& row : rows) {
        for (const char* k = row.keys; *k != '\0'; ++k) {
            int key = static_cast<unsigned char>(*k);
            EXPECT_EQ(keyboard_degree(key), row.degree) << *k;
            EXPECT_EQ(percussion_index(key), row.index) << *k;
        }
    }
    for (int key : std::vector<int>{0, 9, 13, 27, 32, '!', '"', '$', '%', '^', '&', '*', '(', ')', 127, 128, 0xAB, 0xE0, 255, -1, 300}) {
        EXPECT_EQ(keyboard_degree(key), -1) << key;
        EXPECT_EQ(percussion_index(key), -1) << key;
    }
}

TEST_F(KeyboardTest, ReturnInstallsTheDiatonicAndKeysPlayItsDegrees)
{
    std::string out = at_keyboard("\n0123456789\r\nexit\n");
    EXPECT_EQ(out, kPlayInstructions + "0123456789\r" + kKeyboardPrompt);
    // The 1/1 went back to middle C on entry.
    EXPECT_NE(fake_console_output().find("\n******new 1/1 0 Hz******\n" + kKeyboardPrompt), std::string::npos);
    std::vector<HeardNote> notes = heard_notes();
    EXPECT_EQ(degrees_heard(notes), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    // Without sustain each key ends the note before it.
    for (size_t i = 0; i + 1 < notes.size(); ++i)
        EXPECT_LT(notes[i].off_index, notes[i + 1].on_index);
    EXPECT_NE(notes.back().off_index, SIZE_MAX);  // released when the prompt came back
}

TEST_F(KeyboardTest, SustainHoldsNotesUntilSwitchedOff)
{
    at_keyboard("\n 123 4\r\nexit\n");
    ModelSynth synth;
    synth.apply(fake_messages());
    std::vector<HeardNote> notes = synth.notes();
    ASSERT_EQ(degrees_heard(notes), (std::vector<int>{1, 2, 3, 4}));
    // 1, 2 and 3 all sounded together and ended when sustain went off, before 4.
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_GT(notes[i].off_index, notes[2].on_index);
        EXPECT_LT(notes[i].off_index, notes[3].on_index);
    }
    EXPECT_TRUE(synth.sounding().empty());
    EXPECT_EQ(synth.unmatched_note_offs(), 0);
}

TEST_F(KeyboardTest, UnmappedKeysReplayTheLastDegree)
{
    std::string out = at_keyboard("\n\t5\t\xE9\r\nexit\n");
    EXPECT_EQ(out.substr(0, kPlayInstructions.size() + 5), kPlayInstructions + "\t5\t\xE9\r");
    EXPECT_EQ(degrees_heard(heard_notes()), (std::vector<int>{5, 5, 5}));  // nothing before the first degree
}

TEST_F(KeyboardTest, CaseAndSharedRows)
{
    at_keyboard("\naA-\\_\xAC\r\nexit\n");
    std::vector<HeardNote> notes = heard_notes();
    ASSERT_EQ(notes.size(), 6u);
    EXPECT_EQ(diatonic_degree(notes[0].frequency), 10);
    EXPECT_EQ(diatonic_degree(notes[1].frequency), 10);
    for (size_t i = 2; i < 6; ++i)
        EXPECT_EQ(diatonic_degree(notes[i].frequency), 37) << i;
}

TEST_F(KeyboardTest, TwoByteKeysArriveAsTwoKeystrokes)
{
    // An arrow key: lead byte 224 (echoed, replays degree 3) then scan code
    // 'H' (not echoed, plays h = degree 17).
    std::string out = at_keyboard("\n3\xE0H\r\nexit\n");
    EXPECT_EQ(out.substr(0, kPlayInstructions.size() + 3), kPlayInstructions + "3\xE0\r");
    EXPECT_EQ(degrees_heard(heard_notes()), (std::vector<int>{3, 3, 17}));
}

TEST_F(KeyboardTest, TypedScalesWithAndWithoutALeadingStop)
{
    at_keyboard(".9/8 5/4\n12\r\n.\n1\r\nexit\n");
    std::vector<HeardNote> notes = heard_notes();
    ASSERT_EQ(notes.size(), 3u);
    EXPECT_NEAR(cents_between(kMiddleC * 9 / 8, notes[0].frequency), 0, BEND_UNIT_CENTS);
    EXPECT_NEAR(cents_between(kMiddleC * 5 / 4, notes[1].frequency), 0, BEND_UNIT_CENTS);
    // A lone stop installs the default twelve-tone scale; the text stays.
    EXPECT_NEAR(cents_between(kMiddleC * std::pow(2, 1.0 / 12), notes[2].frequency), 0, BEND_UNIT_CENTS);
    EXPECT_STREQ(scale_text(), "9/8 5/4");
}

TEST_F(KeyboardTest, ReturnWaitsForALineAndShowsThePromptAfresh)
{
    // Sustain is on when Return comes: the prompt releases everything and
    // starts again with sustain off.
    at_keyboard("\n 12\rx\n34\r\nexit\n");
    ModelSynth synth;
    synth.apply(fake_messages());
    std::vector<HeardNote> notes = synth.notes();
    ASSERT_EQ(degrees_heard(notes), (std::vector<int>{1, 2, 3, 4}));
    EXPECT_GT(notes[0].off_index, notes[1].on_index);  // 1 and 2 held together
    EXPECT_LT(notes[2].off_index, notes[3].on_index);  // sustain off again
    // "x" was the character the wait took; the rest of its line was the next
    // prompt's (empty) line, which installed the preset again.
    EXPECT_TRUE(synth.sounding().empty());
}

TEST_F(KeyboardTest, EndOfInputInTheKeyLoopTakesTheExitPath)
{
    at_keyboard("\n12");
    EXPECT_EQ(fake_close_count(), 1);
    EXPECT_EQ(heard_notes().size(), 2u);
}

TEST_F(PercussionTest, KeysPlayPercussionOnChannelNine)
{
    std::string out = at_percussion("0z-\\A\t \r\n\n");
    EXPECT_EQ(out, "0z-\\A\t \r" + kExitQuestion);
    std::vector<HeardNote> notes = heard_notes();
    EXPECT_EQ(percussion_heard(notes), (std::vector<int>{35, 70, 71, 81, 45, 45}));
    for (size_t i = 0; i + 1 < notes.size(); ++i)
        EXPECT_LT(notes[i].off_index, notes[i + 1].on_index);
    EXPECT_EQ(fake_close_count(), 1);  // Return at the question ended the program
}

TEST_F(PercussionTest, SustainAndTheExitConfirmation)
{
    std::string out = at_percussion(" 12 3\r\n  n  \n4\r\nyes\n");
    EXPECT_EQ(out, " 12 3\r" + kExitQuestion + "4\r" + kExitQuestion);
    ModelSynth synth;
    synth.apply(fake_messages());
    std::vector<HeardNote> notes = synth.notes();
    // 1 and 2 held together; N went on and played n (58) at once.
    EXPECT_EQ(percussion_heard(notes), (std::vector<int>{36, 37, 38, 58, 39}));
    EXPECT_GT(notes[0].off_index, notes[1].on_index);
    EXPECT_TRUE(synth.sounding().empty());
    EXPECT_EQ(synth.unmatched_note_offs(), 0);
    EXPECT_EQ(fake_close_count(), 1);
}

TEST_F(PercussionTest, NothingBeforeTheFirstSoundAndNoBends)
{
    at_percussion("\t\t5\r\n\n");
    std::vector<HeardNote> notes = heard_notes();
    EXPECT_EQ(percussion_heard(notes), (std::vector<int>{40}));
    for (const FakeMessage& m : fake_messages())
        EXPECT_FALSE(m.status == 0xE0 && m.channel == 9);
}

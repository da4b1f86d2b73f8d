// Scala files at the scale prompts, run as a user would: a file plays exactly
// what its pitches typed would, a refused file changes nothing, and the ways
// a path is typed or dragged in.
#include "test_support.h"

#include "app/reset.h"
#include "console/console.h"
#include "expected_texts.h"
#include "model_synth.h"
#include "tuning/scala_file.h"
#include "tuning/scale.h"

#include <cmath>
#include <cstdio>
#include <cstring>

using namespace expected;

namespace {

const std::string kToChord = "\n";
const std::string kToScale = "\nnext\n";
const std::string kToKeyboard = "\nnext\nnext\nnext\n";

// Runs the program on one port with the given input; returns its output.
std::string run(const std::string& input)
{
    if (platform_midi_port_count() == 0)
        fake_add_port("Port One");
    EXPECT_EQ(run_dialogue(input), 0);
    return fake_console_output();
}

// A freshly started program on the same machine: files, home and port stay.
void restart()
{
    program_reset();
    fake_clear_console_output();
    fake_clear_messages();
}

// The log with the virtual time of each message.
std::string timed_log()
{
    std::string text;
    for (const FakeMessage& m : fake_messages())
        text += std::to_string(m.time_ms) + " " + describe(m) + "\n";
    return text;
}

const size_t kOpeningMessages = port_opening(0).size() + 15;

}  // namespace

using ScaleFiles = VarentaTest;

TEST_F(ScaleFiles, AFileSoundsExactlyAsItsPitchesTyped)
{
    const std::string file = "! t.scl\r\n!\r\nSeptimal test\r\n 4\r\n 7/6\t! minor third\r\n 386.3137\r\n!\r\n 3/2\r\n 2/1";
    const std::string typed = "7/6 386.3137 3/2 2/1";
    const std::string announcement = "Scale file ~/t.scl, 4 pitches: Septimal test\n";
    const struct {
        std::string to_prompt, after;
        int notes;
    } prompts[] = {{kToChord, "\nexit\n", 5},
                   {kToScale, "\n-9\nexit\n", 9},
                   {kToKeyboard, "\n0123456789abc\r\nexit\n", 13}};
    for (const auto& p : prompts) {
        reset_all();
        std::string by_hand = run(p.to_prompt + typed + p.after);
        std::string log_by_hand = timed_log();

        reset_all();
        fake_set_home("/home/me");
        fake_add_file("/home/me/t.scl", file);
        std::string from_file = run(p.to_prompt + "'~/t.scl'" + p.after);
        size_t at = from_file.find(announcement);
        ASSERT_NE(at, std::string::npos) << p.to_prompt;
        EXPECT_EQ(from_file.erase(at, announcement.size()), by_hand);
        EXPECT_EQ(timed_log(), log_by_hand);
        ModelSynth synth;
        synth.apply(fake_messages(), kOpeningMessages);
        EXPECT_EQ(static_cast<int>(synth.notes().size()), p.notes);
    }
}

TEST_F(ScaleFiles, ThreeHundredPitchesAreUsedWholeBeyondTheLineLimit)
{
    std::string file = "300 steps of 4 cents\n300\n";
    for (int i = 1; i <= 300; ++i) {
        char pitch[64];
        std::snprintf(pitch, sizeof pitch, "%.36f\n", 4.0 * i);
        file += pitch;
    }
    fake_add_file("/s/big.scl", file);
    std::string out = run(kToScale + "/s/big.scl\n301\nexit\n");
    EXPECT_NE(out.find("Scale file /s/big.scl, 300 pitches: 300 steps of 4 cents\n"), std::string::npos);
    EXPECT_GT(std::strlen(scala_file().scale_text), static_cast<size_t>(LINE_BUFFER_SIZE));
    EXPECT_EQ(scale_size(), 301);
    ModelSynth synth;
    synth.apply(fake_messages(), kOpeningMessages);
    ASSERT_EQ(synth.notes().size(), 301u);
    for (int i = 0; i <= 300; ++i)
        EXPECT_NEAR(cents_between(261.6255653005986, synth.notes()[i].frequency), 4.0 * i, BEND_UNIT_CENTS) << i;
}

TEST_F(ScaleFiles, ALongerFilePlaysTheFirstPitchesThatFitAndSaysSo)
{
    std::string pitches;
    for (int i = 1; i <= 1100; ++i)
        pitches += std::to_string(i) + ".0\n";
    fake_add_file("/s/long.scl", "1100 steps\n1100\n" + pitches);
    fake_add_file("/s/bad-tail.scl", "d\n1101\n" + pitches + "x\n");  // pitches past those used are still checked
    std::string out = run(kToScale + "/s/long.scl\n0\n/s/bad-tail.scl\nexit\n");
    EXPECT_NE(out.find("Scale file /s/long.scl, 1100 pitches: 1100 steps\n"
                       "Only its first 1022 pitches fit a scale, so it repeats at pitch 1022, not at pitch 1100.\n"
                       "Enter the number of notes"),
              std::string::npos);
    EXPECT_NE(out.find("/s/bad-tail.scl: line 1103: \"x\" is neither cents nor a ratio.\n"), std::string::npos);
    EXPECT_EQ(scale_size(), SCALA_MAX_PITCHES + 1);
    EXPECT_DOUBLE_EQ(current_degree_ratio(SCALA_MAX_PITCHES), std::pow(2.0, 1022.0 / 1200));
}

TEST_F(ScaleFiles, ARefusedFileSendsNothingAndShowsThePromptAgain)
{
    fake_add_file("/s/dir.scl", "", FakeFile::Folder);
    fake_add_file("/s/locked.scl", "", FakeFile::Unreadable);
    fake_add_file("/s/huge.scl", std::string(SCALA_FILE_CAPACITY + 1, '!'));
    const struct {
        std::string bytes;
        const char* reason;
    } formats[] = {
        {"! c\n", "line 2: the file ends before the pitch count."},
        {"d\ntwelve\n", "line 2: the pitch count \"twelve\" is not a whole number above 0."},
        {"d\n3\n5/4\n", "line 4: the file ends after 1 of its 3 pitches."},
        {"d\n2\n5/4\n   \n", "line 4: there is no pitch on the line."},
        {"d\n1\n" + std::string(121, '1') + "\n", "line 3: the pitch is longer than 120 characters."},
        {"d\n1\n3/0\n", "line 3: the ratio \"3/0\" has a zero denominator."},
    };
    std::vector<std::pair<std::string, std::string>> cases = {
        {"nothing.scl", "there is no such file."},
        {"\"/s/dir.scl\"", "it is a folder."},
        {"/s/locked.scl", "it can't be read."},
        {"/s/huge.scl", "it is larger than 1048576 bytes."},
        {"~/x.scl", "the home folder is not known."},
    };
    for (size_t i = 0; i < sizeof formats / sizeof formats[0]; ++i) {
        std::string path = "/s/bad" + std::to_string(i) + ".scl";
        fake_add_file(path, formats[i].bytes);
        cases.push_back({path, formats[i].reason});
    }
    for (const auto& c : cases) {
        restart();
        std::string out = run(kToChord + c.first + "\nexit\n");
        std::string named = c.first[0] == '"' ? c.first.substr(1, c.first.size() - 2) : c.first;
        EXPECT_EQ(out.substr(out.find(chord_prompt(true)) + chord_prompt(true).size()),
                  "Can't use the scale file " + named + ": " + c.second + "\n" + chord_prompt(false));
        EXPECT_EQ(fake_messages().size(), kOpeningMessages) << c.first;
    }

    // At the scale prompt the preset variant stays; at the keyboard prompt
    // nothing plays and the prompt comes back.
    restart();
    std::string out = run(kToScale + "missing.scl\nexit\n");
    EXPECT_NE(out.find("there is no such file.\n\n\n****Scale test****"), std::string::npos);
    EXPECT_NE(out.find("Just press return for preset of the just intonation diatonic",
                       out.find("there is no such file.")), std::string::npos);
    restart();
    out = run(kToKeyboard + "missing.scl\nexit\n");
    EXPECT_NE(out.find("there is no such file.\n\n\n****Play from p.c. keyboard test****"), std::string::npos);
    ModelSynth synth;
    synth.apply(fake_messages());
    EXPECT_TRUE(synth.notes().empty());
}

TEST_F(ScaleFiles, QuotedHomeAndCaseFormsOfAPath)
{
    fake_add_file("/home/me/a.scl", "one\n1\n2/1\n");
    fake_add_file("/home/me/B.SCL", "one\n1\n2/1\n");
    const struct {
        const char* home;
        const char* line;
        const char* shown;  // the name the program shows; nullptr: no file, a typed scale
        bool found;
    } cases[] = {
        {"/home/me", "~/a.scl", "~/a.scl", true},
        {"/home/me", "\"~/a.scl\"", "~/a.scl", true},
        {"/home/me", "'/home/me/B.SCL'", "/home/me/B.SCL", true},
        {"/", "~/home/me/a.scl", "~/home/me/a.scl", true},
        {"/home/me", "'/home/me/a.scl", "'/home/me/a.scl", false},    // one quote is part of the name
        {"/home/me", "'\"/home/me/a.scl\"'", nullptr, false},  // only one pair comes off: it ends in a quote
    };
    for (const auto& c : cases) {
        restart();
        fake_set_home(c.home);
        std::string out = run(kToChord + c.line + "\nexit\n");
        if (c.shown == nullptr) {
            EXPECT_EQ(out.find("cale file"), std::string::npos) << c.line;
            EXPECT_NE(out.find("You should now hear your chord"), std::string::npos) << c.line;
            continue;
        }
        std::string expected = c.found ? std::string("Scale file ") + c.shown + ", 1 pitch: one\n"
                                       : std::string("Can't use the scale file ") + c.shown + ": there is no such file.\n";
        EXPECT_NE(out.find(expected), std::string::npos) << c.line;
    }
}

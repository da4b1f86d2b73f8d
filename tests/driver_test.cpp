// The start-up dialogue: the device menu, the choice, the failure exits, the
// prompt step's words and the ways the program ends, run on the scripted
// console with every printed byte and every MIDI message checked.
#include "test_support.h"

#include "expected_texts.h"
#include "midi/bridge.h"
#include "midi/channel.h"
#include "midi/device.h"

#include <regex>

using namespace expected;

namespace {

// The install message, its two web addresses being any single lines.
const std::string kInstallMessagePattern = [] {
    auto quote = [](const std::string& text) {
        return std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\/])"), R"(\$&)");
    };
    return quote(kInstallMessageStart) + "https?://[^\n]+" + quote(kInstallMessageMiddle) + "https?://[^\n]+\n";
}();

void add_bridge(int init_result = 1)
{
    FakeBridgeOptions options;
    options.init_result = init_result;
    fake_add_library(BRIDGE_RUNTIME_LIBRARY);
    fake_add_bridge(BRIDGE_LIBRARY, options);
}

std::string menu(const std::vector<std::string>& entries)
{
    std::string text = kMenuHeader;
    for (size_t i = 0; i < entries.size(); ++i)
        text += std::string(1, static_cast<char>('A' + i)) + " - " + entries[i] + "\n";
    return text;
}

}  // namespace

using DeviceMenu = VarentaTest;
using FailureExits = VarentaTest;
using PromptWords = VarentaTest;
using EndOfInput = VarentaTest;
using BendRangeTest = VarentaTest;

TEST_F(DeviceMenu, PortsThenTheInstallLineWhenThereIsNoBridge)
{
    fake_add_port("Port One");
    fake_add_port("Port Two");
    EXPECT_EQ(run_dialogue("b\nexit\n"), 0);
    EXPECT_EQ(fake_console_output(), kBanner + menu({"Port One", "Port Two"}) + install_line('C') +
                                         selected('B', "Port Two") + chord_prompt(true));
    EXPECT_EQ(fake_open_device_id(), -100);  // closed by "exit"
    EXPECT_EQ(fake_close_count(), 1);
}

TEST_F(DeviceMenu, MapperFirstAndTheBridgeLast)
{
    fake_set_default_synth(true);
    fake_add_port("Port One");
    add_bridge();
    EXPECT_EQ(run_dialogue("a\nexit\n"), 0);
    EXPECT_EQ(fake_console_output(), kBanner + menu({"Standard Device - Midi Mapper", "Port One", "QuickTime"}) +
                                         selected('A', "Standard Device - Midi Mapper") + chord_prompt(true));
}

TEST_F(DeviceMenu, ReturnChoosesTheFirstEntryAndProgramSixFollows)
{
    fake_add_port("Port One");
    fake_add_port("Port Two");
    EXPECT_EQ(run_dialogue("\nexit\n"), 0);
    EXPECT_NE(fake_console_output().find(selected('A', "Port One")), std::string::npos);
    std::vector<std::string> expected = port_opening(0);
    for (const std::string& change : program_changes(6))
        expected.push_back(change);
    EXPECT_EQ(describe_log(), lines(expected));
    for (const FakeMessage& m : fake_messages())
        EXPECT_EQ(m.device_id, 0);
}

TEST_F(DeviceMenu, OnlyTheTrimmedFirstCharacterCountsInAnyCase)
{
    for (const char* answer : {"  c  \n", "C\n", "cx\n", "\tcb a\n"}) {
        reset_all();
        for (const char* name : {"One", "Two", "Three"})
            fake_add_port(name);
        EXPECT_EQ(run_dialogue(std::string(answer) + "exit\n"), 0);
        EXPECT_NE(fake_console_output().find(selected('C', "Three")), std::string::npos) << answer;
        EXPECT_EQ(fake_open_count(), 1);
    }
}

TEST_F(DeviceMenu, LettersGoOnPastZ)
{
    for (int i = 0; i < 28; ++i)
        fake_add_port(("P" + std::to_string(i)).c_str());
    EXPECT_EQ(run_dialogue("[\nexit\n"), 0);
    const std::string& out = fake_console_output();
    EXPECT_NE(out.find("Z - P25\n[ - P26\n\\ - P27\n] - How to install"), std::string::npos);
    EXPECT_NE(out.find(selected('[', "P26")), std::string::npos);
    EXPECT_EQ(fake_open_device_id(), -100);
    EXPECT_EQ(describe(fake_messages().front()), "B0 101 0");
}

TEST_F(DeviceMenu, EmptyCatalogueOffersOnlyTheInstallHelp)
{
    EXPECT_EQ(run_dialogue("\n\n"), 0);
    const std::string& out = fake_console_output();
    const std::string start = kBanner + kMenuHeader + install_line('A');
    ASSERT_EQ(out.substr(0, start.size()), start);
    EXPECT_TRUE(std::regex_match(out.substr(start.size()), std::regex(kInstallMessagePattern + kPressReturn)));
    EXPECT_EQ(fake_console_pending(), 0u);  // the wait for Return took the second line
}

TEST_F(DeviceMenu, StartKeepsTheDeviceOpenAndSendsProgramSixAgain)
{
    fake_add_port("Port One");
    fake_add_port("Port Two");
    EXPECT_EQ(run_dialogue("a\n START \nb\nexit\n"), 0);
    EXPECT_EQ(fake_console_output(), kBanner + menu({"Port One", "Port Two"}) + install_line('C') +
                                         selected('A', "Port One") + chord_prompt(true) +
                                         menu({"Port One", "Port Two"}) + install_line('C') +
                                         selected('B', "Port Two") + chord_prompt(false));
    EXPECT_EQ(fake_open_count(), 1);
    std::vector<std::string> expected = port_opening(0);
    for (int round = 0; round < 2; ++round) {
        for (const std::string& change : program_changes(6))
            expected.push_back(change);
    }
    EXPECT_EQ(describe_log(), lines(expected));
    for (const FakeMessage& m : fake_messages())
        EXPECT_EQ(m.device_id, 0);  // still the first device
}

TEST_F(DeviceMenu, AfterStartALetterNamingNoEntryGoesOn)
{
    fake_add_port("Port One");
    EXPECT_EQ(run_dialogue("a\nstart\nq\nexit\n"), 0);
    EXPECT_NE(fake_console_output().find(selected('Q', "") + chord_prompt(false)), std::string::npos);
}

TEST_F(DeviceMenu, AfterStartTheInstallLetterStillEnds)
{
    fake_add_port("Port One");
    EXPECT_EQ(run_dialogue("a\nstart\nb\n\n"), 0);
    const std::string& out = fake_console_output();
    EXPECT_EQ(out.substr(out.size() - kPressReturn.size()), kPressReturn);
    EXPECT_EQ(fake_close_count(), 0);  // no device is closed on this path
}

TEST_F(DeviceMenu, QuickTimeIsAnnouncedAndTakesThirtyTwoChannels)
{
    add_bridge();
    EXPECT_EQ(run_dialogue("a\nexit\n"), 0);
    EXPECT_EQ(fake_console_output(),
              kBanner + menu({"QuickTime"}) + selected('A', "QuickTime") + kInitialising + kInitialised + chord_prompt(true));
    std::vector<std::string> expected;
    for (int ch = 0; ch < 32; ++ch) {
        if (ch != 9)
            expected.push_back("bridge E0 " + std::to_string(ch) + " 0 64");
    }
    for (int program : {0, 6}) {
        for (const std::string& change : program_changes(program, 32, true))
            expected.push_back(change);
    }
    // "exit" closes the device: the centring bends still reach the bridge.
    for (int ch = 0; ch < 32; ++ch) {
        if (ch != 9)
            expected.push_back("bridge E0 " + std::to_string(ch) + " 0 64");
    }
    EXPECT_EQ(describe_log(), lines(expected));
    EXPECT_EQ(fake_bridge_init_calls(), 1);
}

TEST_F(FailureExits, PortThatWillNotOpen)
{
    fake_add_port("Busy", PLATFORM_OK, false);
    EXPECT_EQ(run_dialogue("\n\n"), 0);
    EXPECT_EQ(fake_console_output(),
              kBanner + menu({"Busy"}) + install_line('B') + selected('A', "Busy") + kCouldNotOpen);
    EXPECT_TRUE(fake_messages().empty());
}

TEST_F(FailureExits, LetterBeyondTheListWithTheBridgeAvailable)
{
    fake_add_port("Port One");
    add_bridge();
    EXPECT_EQ(run_dialogue("c\n\n"), 0);
    EXPECT_EQ(fake_console_output(),
              kBanner + menu({"Port One", "QuickTime"}) + selected('C', "") + kCouldNotOpen);
}

TEST_F(FailureExits, CharactersBelowAAndHighBytesNameNoEntry)
{
    for (const char* answer : {"@\n", "1\n", "\xE9\n"}) {
        reset_all();
        fake_add_port("Port One");
        EXPECT_EQ(run_dialogue(std::string(answer) + "\n"), 0);
        std::string letter(1, answer[0]);
        EXPECT_EQ(fake_console_output(),
                  kBanner + menu({"Port One"}) + install_line('B') + "Device selected:\n" + letter + " - \n" + kCouldNotOpen)
            << answer;
        EXPECT_EQ(fake_open_count(), 0);
        EXPECT_EQ(fake_bridge_init_calls(), 0);
    }
}

TEST_F(FailureExits, QuickTimeThatCannotStart)
{
    add_bridge(0);
    EXPECT_EQ(run_dialogue("\n\n"), 0);
    const std::string& out = fake_console_output();
    const std::string start = kBanner + menu({"QuickTime"}) + selected('A', "QuickTime") + kInitialising + kCouldNotStart;
    ASSERT_EQ(out.substr(0, start.size()), start);
    EXPECT_TRUE(std::regex_match(out.substr(start.size()), std::regex(kInstallMessagePattern + kPressReturn)));
    EXPECT_TRUE(bridge_active());
}

TEST_F(FailureExits, TheWaitTakesOneCharacterOfTheLine)
{
    fake_add_port("Busy", PLATFORM_OK, false);
    EXPECT_EQ(run_dialogue("\nxyz\nmore\n"), 0);
    EXPECT_EQ(fake_console_pending(), 8u);  // "yz\nmore\n" stays unread
}

TEST_F(PromptWords, ExitInAnyCaseAndWithSpaces)
{
    for (const char* word : {"exit", "EXIT", "  eXiT\t"}) {
        reset_all();
        fake_add_port("Port One");
        EXPECT_EQ(run_dialogue(std::string("\n") + word + "\nnever read\n"), 0) << word;
        EXPECT_EQ(fake_close_count(), 1);
        EXPECT_EQ(fake_console_pending(), 11u);
    }
}

// How often text occurs in the console output.
size_t occurrences(const std::string& text)
{
    const std::string& out = fake_console_output();
    size_t count = 0;
    for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1))
        ++count;
    return count;
}

const std::string kChordPlayed = "You should now hear your chord as a broken chord\n\n";

TEST_F(PromptWords, OtherLinesAreTheTestsOwnAndThePromptComesBackWithoutTheTail)
{
    fake_add_port("Port One");
    EXPECT_EQ(run_dialogue("\nexits\n\nexit\n"), 0);
    const std::string& out = fake_console_output();
    EXPECT_EQ(occurrences(chord_prompt(true)), 1u);
    EXPECT_EQ(occurrences(chord_prompt(false)), 3u);  // the first prompt holds it too, before its tail
    EXPECT_EQ(occurrences(kChordPlayed), 2u);
    EXPECT_EQ(out.substr(out.size() - chord_prompt(false).size()), chord_prompt(false));
}

TEST_F(PromptWords, OverlongLineIsCutAndItsRestDropped)
{
    fake_add_port("Port One");
    // 20000 characters ending in "exit": the cut keeps only x's, and the rest
    // of the line must not come back as a line of its own.
    EXPECT_EQ(run_dialogue("\n" + std::string(19996, 'x') + "exit\nexit\n"), 0);
    EXPECT_EQ(occurrences(kChordPlayed), 1u);
    EXPECT_EQ(occurrences(chord_prompt(false)), 2u);
    EXPECT_EQ(fake_close_count(), 1);
    EXPECT_EQ(fake_console_pending(), 0u);
}

TEST_F(EndOfInput, AtTheMenuEndsQuietly)
{
    fake_add_port("Port One");
    EXPECT_EQ(run_dialogue(""), 0);
    EXPECT_EQ(fake_console_output(), kBanner + menu({"Port One"}) + install_line('B'));
    EXPECT_EQ(fake_open_count(), 0);
}

TEST_F(EndOfInput, AtAPromptTakesTheExitPath)
{
    fake_add_port("Port One");
    EXPECT_EQ(run_dialogue("\n"), 0);
    EXPECT_EQ(fake_close_count(), 1);
    const std::string& out = fake_console_output();
    EXPECT_EQ(out.substr(out.size() - chord_prompt(true).size()), chord_prompt(true));
}

TEST_F(EndOfInput, DuringTheWaitForReturn)
{
    fake_add_port("Busy", PLATFORM_OK, false);
    EXPECT_EQ(run_dialogue("\n"), 0);
    const std::string& out = fake_console_output();
    EXPECT_EQ(out.substr(out.size() - kCouldNotOpen.size()), kCouldNotOpen);
}

TEST_F(BendRangeTest, PassGoesOnWithoutTheRecommendation)
{
    fake_add_port("Port One");
    EXPECT_EQ(run_dialogue("\ntest\n y\nexit\n"), 0);
    const std::string& out = fake_console_output();
    EXPECT_EQ(out.substr(out.size() - (kBendTestStart + chord_prompt(false)).size()), kBendTestStart + chord_prompt(false));
}

TEST_F(BendRangeTest, NotesAreTwoBentNotesOnChannelsZeroAndOne)
{
    fake_add_port("Port One");
    EXPECT_EQ(run_dialogue("\ntest\n\nexit\n"), 0);
    const auto& log = fake_messages();
    std::string sent;
    uint32_t start = 0;
    for (const FakeMessage& m : log) {
        if (m.status == 0xE0 && m.channel == 0 && m.data2 == 0)
            start = m.time_ms;
    }
    std::vector<std::string> notes;
    for (size_t i = port_opening(0).size() + 15; i < log.size(); ++i)
        notes.push_back(describe(log[i]) + " @" + std::to_string(log[i].time_ms - start));
    EXPECT_EQ(lines(notes), "E0 0 0 @0\n90 62 127 @500\n80 62 127 @1500\n"
                            "E1 127 127 @1500\n91 58 127 @2000\n81 58 127 @3000\n");
    EXPECT_EQ(channel_state(0).bend, 8192.0);  // "exit" closed and re-centred
}

TEST_F(BendRangeTest, TryAgainBringsTheRecommendationBack)
{
    fake_add_port("Port One");
    EXPECT_EQ(run_dialogue("\ntest\nn\nn\nexit\n"), 0);
    const std::string& out = fake_console_output();
    const std::string end = kBendTestStart + kBendTestHelp + kBendTestAgain + chord_prompt(true);
    EXPECT_EQ(out.substr(out.size() - end.size()), end);
}

TEST_F(BendRangeTest, HelpThenReturnEndsTheProgram)
{
    fake_add_port("Port One");
    EXPECT_EQ(run_dialogue("\n TEST \n  N\n\nnever read\n"), 0);
    const std::string& out = fake_console_output();
    EXPECT_EQ(out.substr(out.size() - kBendTestHelp.size()), kBendTestHelp);
    EXPECT_EQ(fake_close_count(), 1);
    EXPECT_EQ(fake_console_pending(), 11u);
}

TEST_F(BendRangeTest, LeadingSpaceAtTheSecondQuestionIsNotAnN)
{
    fake_add_port("Port One");
    EXPECT_EQ(run_dialogue("\ntest\nn\n n\nexit\n"), 0);
    EXPECT_EQ(fake_close_count(), 1);
    EXPECT_EQ(fake_console_pending(), 5u);  // "exit\n" never read
}

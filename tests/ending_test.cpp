// Every way the program ends leaves no note sounding: requests to end (Ctrl-C,
// SIGTERM, a hang-up, SIGQUIT) arriving in a pause, a chord, a drift, a key
// loop with sustain on or a long computation, end of input in the key loops,
// and drifts with typed counts of any sign. Requests are delivered through
// the test platform at a virtual time, an input position or a check.
#include "test_support.h"

#include "midi/bridge.h"
#include "midi/channel.h"
#include "model_synth.h"

#include <map>
#include <utility>

namespace {

const std::string kToHarmonic = "\nnext\nnext\n";
const std::string kToKeyboard = "\nnext\nnext\nnext\n";
const std::string kToPercussion = kToKeyboard + "next\n";

// Note-ons and note-offs balance for every channel and note, and no note-off
// came without its note-on: what a synthesizer needs to fall silent.
void expect_every_note_ended()
{
    std::map<std::pair<int, int>, int> balance;
    for (const FakeMessage& m : fake_messages()) {
        if (m.status == 0x90)
            ++balance[{m.channel, m.data1}];
        else if (m.status == 0x80)
            --balance[{m.channel, m.data1}];
    }
    for (const auto& entry : balance)
        EXPECT_EQ(entry.second, 0) << "channel " << entry.first.first << " note " << entry.first.second;
    ModelSynth synth;
    synth.apply(fake_messages());
    EXPECT_TRUE(synth.sounding().empty());
    EXPECT_EQ(synth.unmatched_note_offs(), 0);
}

// The messages sent from index first on, which an ending sends: note-offs only.
void expect_only_note_offs_from(size_t first)
{
    const auto& log = fake_messages();
    for (size_t i = first; i < log.size(); ++i)
        EXPECT_EQ(log[i].status, 0x80) << describe(log[i]);
}

size_t notes_on_before(uint32_t ms)
{
    size_t n = 0;
    for (const FakeMessage& m : fake_messages())
        n += m.status == 0x90 && m.time_ms < ms;
    return n;
}

size_t first_message_at_or_after(uint32_t ms)
{
    const auto& log = fake_messages();
    for (size_t i = 0; i < log.size(); ++i) {
        if (log[i].time_ms >= ms)
            return i;
    }
    return log.size();
}

}  // namespace

using EndRequest = VarentaTest;
using EndOfInputNotes = VarentaTest;
using DriftCounts = VarentaTest;

TEST_F(EndRequest, CtrlCMidChordEndsItsNotesThenClosesAndDiesOfTheSignal)
{
    fake_add_port("Port One");
    fake_request_end_at_time(PLATFORM_REQUEST_INTERRUPT, 3000);  // three of the four chord notes sound
    EXPECT_EQ(run_dialogue("\n\nexit\n"), 128 + PLATFORM_REQUEST_INTERRUPT);
    EXPECT_TRUE(fake_watching_end_requests());
    EXPECT_EQ(notes_on_before(3000), 3u);
    size_t ending = first_message_at_or_after(3000);
    EXPECT_EQ(describe_log(ending), "80 60 127\n81 63 127\n82 67 127\n");
    expect_every_note_ended();
    EXPECT_EQ(fake_close_count(), 1);
    // Nothing is printed after the request, and the rest of the input is not read.
    const std::string& out = fake_console_output();
    EXPECT_EQ(out.substr(out.size() - 50), "You should now hear your chord as a broken chord\n\n");
    EXPECT_GT(fake_console_pending(), 0u);
}

TEST_F(EndRequest, SigtermTwelveSecondsIntoTheDriftOnTheBridge)
{
    fake_add_library(BRIDGE_RUNTIME_LIBRARY);
    fake_add_bridge(BRIDGE_LIBRARY);
    fake_request_end_at_time(PLATFORM_REQUEST_TERMINATE, 12000);
    EXPECT_EQ(run_dialogue(kToHarmonic + "\nexit\n"), 128 + PLATFORM_REQUEST_TERMINATE);
    size_t ending = first_message_at_or_after(12000);
    EXPECT_GE(notes_on_before(12000), 11u);
    expect_every_note_ended();
    // The note-offs, then the bridge's closing: a centring bend on 31 channels.
    const auto& log = fake_messages();
    size_t offs = 0;
    while (ending + offs < log.size() && log[ending + offs].status == 0x80)
        ++offs;
    EXPECT_EQ(offs, 11u);  // ten notes, and the step's new one: the oldest ends after the pause
    EXPECT_EQ(log.size() - ending - offs, 31u);
    for (size_t i = ending + offs; i < log.size(); ++i)
        EXPECT_EQ(describe(log[i]).substr(0, 10), "bridge E0 ");
}

TEST_F(EndRequest, HangUpInTheKeyLoopWithSustainOn)
{
    fake_add_port("Port One");
    const std::string input = kToKeyboard + "\n" + " 135";
    fake_request_end_at_input(PLATFORM_REQUEST_HANGUP, input.size());
    EXPECT_EQ(run_dialogue(input + "79\n"), 128 + PLATFORM_REQUEST_HANGUP);
    expect_every_note_ended();
    size_t ons = 0;
    for (const FakeMessage& m : fake_messages())
        ons += m.status == 0x90;
    EXPECT_EQ(ons, 3u);  // sustain held all three until the end
}

TEST_F(EndRequest, QuitWhileThePitchBendTestHoldsItsNote)
{
    fake_add_port("Port One");
    // "test" at the first prompt: the first test note sounds from 500 ms to 1500 ms.
    fake_request_end_at_time(PLATFORM_REQUEST_QUIT, 1000);
    EXPECT_EQ(run_dialogue("\ntest\n\n"), 128 + PLATFORM_REQUEST_QUIT);
    size_t ending = first_message_at_or_after(1000);
    EXPECT_EQ(describe_log(ending), "80 62 127\n");
    expect_every_note_ended();
}

TEST_F(EndRequest, EndsALongComputationAtItsNextStep)
{
    fake_add_port("Port One");
    // Two thousand million notes per chord: the drift's way up would pre-tune
    // for hours after its 100 notes.
    const std::string input = kToHarmonic + "2147483647\n";
    fake_request_end_at_check(PLATFORM_REQUEST_INTERRUPT, 5000);
    EXPECT_EQ(run_dialogue(input), 128 + PLATFORM_REQUEST_INTERRUPT);
    // The very check that saw the request stopped the drift; none followed.
    EXPECT_EQ(fake_request_checks(), 5000u);
    expect_every_note_ended();
}

TEST_F(EndRequest, AtTheDeviceMenuSendsNothing)
{
    fake_add_port("Port One");
    fake_request_end_at_input(PLATFORM_REQUEST_INTERRUPT, 0);
    EXPECT_EQ(run_dialogue("\n"), 128 + PLATFORM_REQUEST_INTERRUPT);
    EXPECT_TRUE(fake_messages().empty());
    EXPECT_EQ(fake_open_count(), 0);
}

TEST_F(EndOfInputNotes, KeyLoopAfterKeysWithoutReturn)
{
    fake_add_port("Port One");
    EXPECT_EQ(run_dialogue(kToKeyboard + "\n135"), 0);
    expect_every_note_ended();
    const FakeMessage& last = fake_messages().back();  // degree 5, the 5/3: A over middle C
    EXPECT_EQ(last.status, 0x80);
    EXPECT_EQ(last.data1, 69);
}

TEST_F(EndOfInputNotes, PercussionAfterAKeyAndAfterAnsweringN)
{
    fake_add_port("Port One");
    EXPECT_EQ(run_dialogue(kToPercussion + "0"), 0);
    expect_every_note_ended();

    reset_all();
    fake_add_port("Port One");
    EXPECT_EQ(run_dialogue(kToPercussion + "0\n\nN\n"), 0);  // N plays the sound of n
    expect_every_note_ended();
    EXPECT_EQ(describe_log(fake_messages().size() - 1), "89 58 127\n");
}

TEST_F(EndOfInputNotes, PercussionBeyondTheNotesTableStillEnds)
{
    // With sustain on, sounds past the 2048 the table can hold are sounded
    // but not recorded; the end still silences them.
    fake_add_port("Port One");
    std::string keys = " ";
    for (int i = 0; i < 2100; ++i)
        keys += static_cast<char>('a' + i % 26);
    EXPECT_EQ(run_dialogue(kToPercussion + keys), 0);
    size_t first_off = 0;
    const auto& log = fake_messages();
    while (first_off < log.size() && log[first_off].status != 0x80)
        ++first_off;
    expect_only_note_offs_from(first_off);
    expect_every_note_ended();
    EXPECT_EQ(held_notes(9, 45), 0);
}

TEST_F(DriftCounts, NegativeNoteCountsLeaveNothingSounding)
{
    fake_add_port("Port One");
    EXPECT_EQ(run_dialogue(kToHarmonic + "-5 n 10\nexit\n"), 0);
    expect_every_note_ended();
    // The notes it left end with the drift, before the prompt shows again.
    EXPECT_EQ(fake_close_count(), 1);
}

TEST_F(DriftCounts, AnySignsAndSizesEndEveryNote)
{
    for (int notes : {-17, -3, -1, 1, 2, 16, 17, 40}) {
        for (int chords : {-20, -1, 1, 3, 15, 33}) {
            reset_all();
            fake_add_port("Port One");
            std::string line = std::to_string(notes) + " n " + std::to_string(chords) + "\n";
            EXPECT_EQ(run_dialogue(kToHarmonic + line + "exit\n"), 0);
            SCOPED_TRACE(line);
            expect_every_note_ended();
        }
    }
}

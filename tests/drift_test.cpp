// The harmonic series test: the drifting chord's every note, velocity and
// send time against its schedule, the releases, the pre-tuning, and the line
// forms that set the number of notes and chords.
#include "test_support.h"

#include "expected_texts.h"
#include "model_synth.h"

#include <climits>
#include <cmath>
#include <cstdio>

using namespace expected;

namespace {

const std::string kHarmonicPrompt =
    "\n\n****Harmonic Series test****\n\n"
    "Now, a drifting harmonic series chord, drifting up and then down\n"
    "the harmonic series.\n"
    "Enter the number of notes in the chord.\n"
    "To change the number of chords to play enter \"n 50\" to play 50 chords\n"
    "To change pitch of 1/1 enter frequency followed by \"hz\", or \"0 hz\" to reset to middle c\n"
    "Press return only for preset values of 10 notes and 100 chords\n"
    "\"next\" to move on to next option, \"start\" to start again or \"exit\" to exit.\n";

std::string drifting(int chords, int notes)
{
    return "\nDrifting harmonic series of " + std::to_string(chords) + " chords, " + std::to_string(notes) +
           " notes per chord\n";
}

std::string play_chords(int chords) { return "\n****Play " + std::to_string(chords) + " chords****\n"; }

// Reaches the harmonic series test and types lines there. Returns the output
// after its first prompt.
std::string at_harmonic_prompt(const std::string& input)
{
    fake_add_port("Port One");
    EXPECT_EQ(run_dialogue("\nnext\nnext\n" + input), 0);
    const std::string& out = fake_console_output();
    size_t at = out.find(kHarmonicPrompt);
    EXPECT_NE(at, std::string::npos);
    return at == std::string::npos ? out : out.substr(at + kHarmonicPrompt.size());
}

// When the drift began: half a second before its first note.
uint32_t drift_start(const std::vector<HeardNote>& notes) { return notes.front().on_ms - 500; }

// The note and bend that sound a frequency, worked out independently of the
// program: the nearest note, the bend rounded toward the centre.
void note_and_bend(double hz, int* note, int* bend)
{
    double n = 69 + 12 * std::log2(hz / 440);
    *note = static_cast<int>(std::floor(n + 0.5));
    *bend = 8192 + static_cast<int>(std::trunc(4096 * (n - *note)));
}

// The schedule of one drift with the given settings, as the program should
// keep it on a clock of whole milliseconds: note-on times, degrees and
// velocities, and the time each degree is released on the way up.
struct Scheduled {
    uint32_t time_ms;
    int degree;
    int velocity;
};

struct Schedule {
    std::vector<Scheduled> up, down;
    std::vector<uint32_t> up_release;   // by degree
    std::vector<uint32_t> step_start;   // up: time step i's group of messages is sent (after its pause)
};

Schedule schedule(uint32_t start_ms, int notes, int chords)
{
    Schedule s;
    uint32_t now = start_ms + 500;  // the half-second pause after pre-tuning
    auto pause = [&now](double seconds) {
        if (seconds > 0)
            now += static_cast<uint32_t>(seconds * 1000.0);
    };
    double target = now * 0.001;
    double velocity = 127.0, step = 1.0;
    int total = notes + chords;
    s.up_release.assign(static_cast<size_t>(chords), 0);
    for (int i = 0; i < total; ++i) {
        if (i < chords) {
            s.up.push_back({now, i, static_cast<int>(velocity)});
            double f = std::pow(0.95, i);
            velocity = 127 * f;
            step = f;
            target += f;
            pause(target - now * 0.001);
        }
        s.step_start.push_back(now);
        if (i >= notes)
            s.up_release[static_cast<size_t>(i - notes)] = now;
    }
    for (int k = total - 1; k >= 0; --k) {
        if (k >= notes) {
            s.down.push_back({now, k - notes, static_cast<int>(velocity)});
            double f = std::pow(0.95, k);
            velocity = 127 * f;
            step = f;
            target += f;
            pause(target - now * 0.001);
        }
        pause(step);
    }
    return s;
}

// Harmonic d + 1 of a 55 Hz fundamental.
double harmonic_hz(int degree) { return 55.0 * (degree + 1); }

}  // namespace

using HarmonicDrift = VarentaTest;
using HarmonicLines = VarentaTest;

TEST_F(HarmonicDrift, DefaultDriftFollowsItsSchedule)
{
    std::string out = at_harmonic_prompt("\nexit\n");
    EXPECT_EQ(out, drifting(100, 10) + kHarmonicPrompt);
    // The 1/1 moved to 55 Hz on entry, with its message.
    EXPECT_NE(fake_console_output().find("\n******new 1/1 55 Hz******\n" + kHarmonicPrompt), std::string::npos);

    ModelSynth synth;
    synth.apply(fake_messages());
    const std::vector<HeardNote>& heard = synth.notes();
    ASSERT_EQ(heard.size(), 200u);  // 100 up, 100 down

    Schedule expected = schedule(drift_start(heard), 10, 100);
    ASSERT_EQ(expected.up.size(), 100u);
    ASSERT_EQ(expected.down.size(), 100u);

    for (int i = 0; i < 100; ++i) {
        const HeardNote& up = heard[static_cast<size_t>(i)];
        EXPECT_EQ(up.on_ms, expected.up[i].time_ms) << "up " << i;
        EXPECT_EQ(up.velocity, expected.up[i].velocity) << "up " << i;
        EXPECT_NEAR(cents_between(harmonic_hz(i), up.frequency), 0, BEND_UNIT_CENTS) << "up " << i;
        EXPECT_EQ(up.off_ms, expected.up_release[i]) << "up " << i;

        const HeardNote& down = heard[100 + static_cast<size_t>(i)];
        EXPECT_EQ(down.on_ms, expected.down[i].time_ms) << "down " << i;
        EXPECT_EQ(down.velocity, expected.down[i].velocity) << "down " << i;
        EXPECT_NEAR(cents_between(harmonic_hz(99 - i), down.frequency), 0, BEND_UNIT_CENTS) << "down " << i;
    }
    // Values a listener can check by ear: full velocity twice, then softer by 0.95 a step.
    EXPECT_EQ(heard[0].velocity, 127);
    EXPECT_EQ(heard[1].velocity, 127);
    EXPECT_EQ(heard[2].velocity, 120);
    EXPECT_EQ(heard[3].velocity, 114);
    EXPECT_EQ(heard[4].velocity, 108);
    EXPECT_GT(heard[95].velocity, 0);
    for (int i = 96; i < 100; ++i)
        EXPECT_EQ(heard[i].velocity, 0);
    // Scheduled against the clock: after 99 steps of 0.95^i seconds the error
    // is still below a millisecond, about 19.9 s in all.
    double ideal_ms = 0;
    for (int i = 0; i < 99; ++i)
        ideal_ms += 1000 * std::pow(0.95, i);
    EXPECT_NEAR(heard[99].on_ms - heard[0].on_ms, ideal_ms, 1.0);
    EXPECT_NEAR(heard[99].on_ms - heard[0].on_ms, 19880, 20);

    // Everything ends released, each degree's down note held while the next
    // lower ones follow.
    EXPECT_TRUE(synth.sounding().empty());
    EXPECT_EQ(synth.unmatched_note_offs(), 0);
    for (int i = 0; i < 100; ++i) {
        const HeardNote& down = heard[100 + static_cast<size_t>(i)];
        EXPECT_GT(down.off_ms, down.on_ms) << "down " << i;
    }
}

TEST_F(HarmonicDrift, PreTuningReachesDegreesTwentyToOneHundredThirteen)
{
    at_harmonic_prompt("\nexit\n");
    const auto& log = fake_messages();
    ModelSynth synth;
    synth.apply(log);
    Schedule expected = schedule(drift_start(synth.notes()), 10, 100);
    // A bend that is not the one sent right before its channel's note-on is a
    // pre-tuning. On the way up, step i pre-tunes degree i + 20 at the time of
    // its group, while i < 94.
    int checked = 0;
    for (size_t at = 0; at < log.size(); ++at) {
        const FakeMessage& m = log[at];
        if (m.status != 0xE0)
            continue;
        bool before_note = at + 1 < log.size() && log[at + 1].status == 0x90 && log[at + 1].channel == m.channel;
        if (before_note)
            continue;
        for (int i = 0; i < 99; ++i) {
            if (m.time_ms != expected.step_start[static_cast<size_t>(i)])
                continue;
            ASSERT_LT(i, 94) << "pre-tuning after step 93";
            int note, bend;
            note_and_bend(harmonic_hz(i + 20), &note, &bend);
            EXPECT_EQ(m.data1 + 128 * m.data2, bend) << "step " << i;
            ++checked;
        }
    }
    EXPECT_GT(checked, 20);  // the pre-tuning is seen, not just allowed
}

TEST_F(HarmonicDrift, ShortCustomDrift)
{
    std::string out = at_harmonic_prompt("3 n 5\nexit\n");
    EXPECT_EQ(out, play_chords(5) + drifting(5, 3) + kHarmonicPrompt);
    ModelSynth synth;
    synth.apply(fake_messages());
    std::vector<int> degrees;
    for (const HeardNote& n : synth.notes())
        degrees.push_back(static_cast<int>(std::lround(n.frequency / 55.0)) - 1);
    EXPECT_EQ(degrees, (std::vector<int>{0, 1, 2, 3, 4, 4, 3, 2, 1, 0}));
    Schedule expected = schedule(drift_start(synth.notes()), 3, 5);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(synth.notes()[i].on_ms, expected.up[i].time_ms);
        EXPECT_EQ(synth.notes()[5 + i].on_ms, expected.down[i].time_ms);
        EXPECT_EQ(synth.notes()[5 + i].velocity, expected.down[i].velocity);
    }
    // Up: note 0 ends as note 4 starts, so three notes sound together.
    EXPECT_EQ(synth.notes()[0].off_ms, synth.notes()[4].on_ms);
    EXPECT_TRUE(synth.sounding().empty());
}

TEST_F(HarmonicLines, NotesAndChordsFromTheLine)
{
    struct Case {
        const char* line;
        std::string printed;
    } cases[] = {
        {"12", drifting(100, 12)},
        {"12 n 30", play_chords(30) + drifting(30, 12)},
        {"0", drifting(100, 20)},
        {"n 50", play_chords(50) + drifting(50, 20)},
        {"n 0", play_chords(100) + drifting(100, 20)},
        {"n", play_chords(100) + drifting(100, 20)},
        {"N 7", drifting(100, 20)},  // only a lower-case n sets chords
        {"10 notes", play_chords(100) + drifting(100, 10)},
        {"4 n 6 n 2", play_chords(6) + play_chords(2) + drifting(2, 4)},
        {"-2147483648", drifting(100, INT_MIN)},
        {"99999999999 n -99999999999", play_chords(INT_MIN) + drifting(INT_MIN, INT_MAX)},
    };
    for (const Case& c : cases) {
        reset_all();
        std::string out = at_harmonic_prompt(std::string(c.line) + "\nexit\n");
        EXPECT_EQ(out, c.printed + kHarmonicPrompt) << c.line;
    }
}

TEST_F(HarmonicLines, SettingsStayUntilTheTestIsEnteredAgain)
{
    std::string out = at_harmonic_prompt("2 n 3\n\nstart\n\nnext\nnext\n\nexit\n");
    size_t first = out.find(drifting(3, 2) + kHarmonicPrompt);
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(out.find(drifting(3, 2) + kHarmonicPrompt, first + 1), std::string::npos);  // Return keeps them
    EXPECT_NE(out.find(drifting(100, 10)), std::string::npos);  // re-entered: defaults again
}

TEST_F(HarmonicLines, HzAtThePromptMovesTheFundamental)
{
    std::string out = at_harmonic_prompt("110 hz\n1 n 1\nexit\n");
    EXPECT_EQ(out, "\n******new 1/1 110 Hz******\n" + kHarmonicPrompt + play_chords(1) + drifting(1, 1) + kHarmonicPrompt);
    ModelSynth synth;
    synth.apply(fake_messages());
    ASSERT_EQ(synth.notes().size(), 2u);
    EXPECT_NEAR(cents_between(110.0, synth.notes()[0].frequency), 0, BEND_UNIT_CENTS);
}

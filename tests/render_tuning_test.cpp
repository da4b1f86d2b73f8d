// The bridge's key tunings, heard: a generated SoundFont whose looped sine
// samples are deliberately off their stated pitch is rendered through the
// bridge offline, and every note is measured against the pitch asked for.
#include "bridge/first_measuring.h"
#include "pitch_render.h"
#include "sine_soundfont.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

// Whole-cent rounding leaves half a cent; the measurement adds far less.
const double kInTuneCents = 0.51;

double cents_of(double hz) { return 1200.0 * std::log2(hz / 8.175798915643707); }

// Program 0: the flat C (-5.01 cents) up to key 59, a two-cycle loop
// (+3.45) for 60..65, a four-cycle loop whose header and fine tune correct it
// wrongly (+2.76) for 66..71, an unlooped 441 Hz A (+3.93, measured over its
// steady part) above. Program 1:
// the flat C everywhere with a fine tune of +10 (+4.99). Program 2: the flat
// C stated 30 cents sharp, half a cent per key (scale tuning 50). The
// percussion bank plays the flat C.
SineSoundFont mistuned_soundfont()
{
    SineSample flat_c{24000, 92, 1, 60, 0, true};
    SineSample sharp_fs{38000, 205, 2, 66, 0, true};
    SineSample c6{40000, 306, 4, 72, 7, true};
    SineSample unlooped_a{44100, 100, 1, 69, 0, false};
    SineSample flat_c_stated_sharp{24000, 92, 1, 60, -30, true};
    SineZone corrected{66, 71, 2};
    corrected.fine_tune = -3;
    SineZone fine{0, 127, 0};
    fine.fine_tune = 10;
    SineZone half{0, 127, 4};
    half.scale_tuning = 50;
    return SineSoundFont{{flat_c, sharp_fs, c6, unlooped_a, flat_c_stated_sharp},
                         {SinePreset{0, 0, {SineZone{0, 59, 0}, SineZone{60, 65, 1}, corrected, {72, 127, 3}}},
                          SinePreset{0, 1, {fine}},
                          SinePreset{0, 2, {half}},
                          SinePreset{128, 0, {SineZone{0, 127, 0}}}}};
}

class RenderTuning : public ::testing::Test {
protected:
    void SetUp() override
    {
        path_ = ::testing::TempDir() + "varenta-mistuned-" + std::to_string(getpid()) + ".sf2";
        ASSERT_TRUE(write_sine_soundfont(path_, mistuned_soundfont()));
    }
    void TearDown() override { std::remove(path_.c_str()); }

    std::vector<MeasuredNote> render(const std::vector<BridgeEvent>& events, bool in_tune, double search_cents = 60)
    {
        RenderSettings settings;
        settings.library_path = SONVEX_OFFLINE_LIBRARY_PATH;
        settings.soundfont_path = path_;
        settings.in_tune = in_tune;
        settings.search_cents = search_cents;
        return render_and_measure(events, settings);
    }

    std::string path_;
};

void add_program(std::vector<BridgeEvent>& events, double time_ms, int channel, int program)
{
    events.push_back(BridgeEvent{time_ms, 0xC0, channel, program, 0});
}

// The pitch a note asks for, cents above MIDI key 0.
double asked_cents(const MeasuredNote& n) { return 100.0 * n.key + 200.0 * (n.bend - 8192) / 8192.0; }

}  // namespace

TEST_F(RenderTuning, MistunedSamplesPlayInTuneAtKeyRangeBoundaries)
{
    std::vector<BridgeEvent> events;
    double time_ms = 100.0;
    const int keys[] = {59, 60, 65, 66, 71};
    for (int key : keys) {
        for (int bend : {8192, 9192, 5000}) {
            add_note(events, time_ms, time_ms + 300.0, (key + bend) % 8, key, bend);
            time_ms += 350.0;
        }
    }
    for (int key : {72, 84}) {  // the unlooped A, at and above its root
        add_note(events, time_ms, time_ms + 300.0, 0, key, 9192);
        time_ms += 350.0;
    }
    std::vector<MeasuredNote> tuned = render(events, true);
    std::vector<MeasuredNote> untuned = render(events, false);
    ASSERT_EQ(tuned.size(), 17u);
    ASSERT_EQ(untuned.size(), 17u);
    double worst_before = 0.0, worst_after = 0.0;
    for (size_t i = 0; i < tuned.size(); ++i) {
        double before = cents_of(untuned[i].frequency_hz) - asked_cents(untuned[i]);
        double after = cents_of(tuned[i].frequency_hz) - asked_cents(tuned[i]);
        EXPECT_LE(std::fabs(after), kInTuneCents) << "key " << tuned[i].key << " bend " << tuned[i].bend;
        worst_before = std::fmax(worst_before, std::fabs(before));
        worst_after = std::fmax(worst_after, std::fabs(after));
    }
    std::printf("mistuned samples: worst %.3f cents off before the tuning, %.3f after\n", worst_before, worst_after);
    EXPECT_GT(worst_before, 5.0);
    const MeasuredNote& a = untuned.back();
    EXPECT_NEAR(cents_above(a.frequency_hz, fluidsynth_pitch_hz(a.key, a.bend) * 441.0 / 440.0), 0.0, 0.01);
}

TEST_F(RenderTuning, TuningsWorkedOutInTheBackgroundReachChannelsAlreadyPlayingAndAreKept)
{
    const std::string cache = ::testing::TempDir() + "varenta-tunings-" + std::to_string(getpid());
    OfflineBridge bridge(SONVEX_OFFLINE_LIBRARY_PATH);
    auto wait_for_tunings = [&]() {
        // The three melodic presets; the work takes milliseconds here.
        for (int i = 0; i < 6000 && bridge.tuned_presets() < 3; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return bridge.tuned_presets();
    };
    auto flat_c_cents = [&]() {
        // Program 1 (the flat C with its fine tune, +4.99 cents) on channel
        // 3, chosen before the tunings may have arrived.
        std::vector<float> mix;
        EXPECT_TRUE(bridge.send(0x90, 3, 55, 127));
        EXPECT_TRUE(bridge.render(22050, mix));
        EXPECT_TRUE(bridge.send(0x80, 3, 55, 0));
        EXPECT_TRUE(bridge.render(8820, mix));
        const size_t skip = 4410;
        return cents_of(measure_frequency(mix.data() + skip, 22050 - skip, 44100.0, 196.0, 60.0));
    };

    bridge.set_tuning_cache(cache);
    ASSERT_TRUE(bridge.start_tuning_in_background(path_, 44100));
    EXPECT_TRUE(bridge.send(0xC0, 3, 1, 0));
    EXPECT_EQ(wait_for_tunings(), 3);
    EXPECT_NEAR(flat_c_cents(), 5500.0, kInTuneCents);

    // A later start finds them in the cache: tuned before it returns.
    ASSERT_TRUE(bridge.start_tuning_in_background(path_, 44100));
    EXPECT_EQ(bridge.tuned_presets(), 3);
    EXPECT_TRUE(bridge.send(0xC0, 3, 1, 0));
    EXPECT_NEAR(flat_c_cents(), 5500.0, kInTuneCents);
    ASSERT_TRUE(bridge.start_from_cache(path_, 44100));
    EXPECT_EQ(bridge.tuned_presets(), 3);

    // Untuned, for comparison; then cleaning up at once stops the work.
    ASSERT_TRUE(bridge.start(path_, 44100, false));
    EXPECT_TRUE(bridge.send(0xC0, 3, 1, 0));
    EXPECT_NEAR(flat_c_cents() - 5500.0, cents_of(24000.0 / 92) - 6000.0 + 10.0, 0.02);
    bridge.set_tuning_cache("");
    ASSERT_TRUE(bridge.start_tuning_in_background(path_, 44100));
    bridge.cleanup();
    EXPECT_EQ(bridge.tuned_presets(), 0);
    // Without a cache the measuring's start works nothing out (here the work
    // would take milliseconds).
    ASSERT_TRUE(bridge.start_from_cache(path_, 44100));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(bridge.tuned_presets(), 0);
    std::string command = "rm -r '" + cache + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
}

TEST_F(RenderTuning, TheProgramEndsCleanlyWhileTheTuningsAreStillBeingWorkedOut)
{
    // The program never cleans the bridge up: it ends with the library
    // loaded, possibly while the first start's measuring still runs. A
    // fresh process (re-run, not forked: FluidSynth's threads do not survive
    // a fork) starts the measuring and ends at once.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            OfflineBridge bridge(SONVEX_OFFLINE_LIBRARY_PATH);
            bridge.set_tuning_cache("");
            if (!bridge.start_tuning_in_background(path_, 44100))
                std::_Exit(2);
            std::remove(path_.c_str());
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "^$");
}

TEST_F(RenderTuning, EachProgramChangeSwitchesTheChannelsTuning)
{
    // One channel through programs 1, 0, 1 on the same key, the scaled
    // program around its root, and the percussion channel beside them.
    std::vector<BridgeEvent> events;
    double time_ms = 100.0;
    for (int program : {1, 0, 1}) {
        add_program(events, time_ms - 50.0, 3, program);
        add_note(events, time_ms, time_ms + 300.0, 3, 55, 8192);
        time_ms += 400.0;
    }
    add_program(events, time_ms - 50.0, 3, 2);
    for (int key : {59, 60, 61}) {
        add_note(events, time_ms, time_ms + 300.0, 3, key, 8192);
        time_ms += 400.0;
    }
    add_program(events, time_ms - 50.0, 9, 0);  // the drum bank's program: never tuned
    add_note(events, time_ms, time_ms + 300.0, 9, 55, 8192);
    std::vector<MeasuredNote> notes = render(events, true, 100.0);
    ASSERT_EQ(notes.size(), 7u);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_NEAR(cents_of(notes[i].frequency_hz), 5500.0, kInTuneCents) << "note " << i;
    for (size_t i = 3; i < 6; ++i) {
        // Scale tuning 50 around a root stated at 6030 cents.
        double asked = 0.5 * (100.0 * notes[i].key - 6030.0) + 6030.0;
        EXPECT_NEAR(cents_of(notes[i].frequency_hz), asked, kInTuneCents) << "key " << notes[i].key;
    }
    // Drums sound the flat C as the SoundFont states it: 5.01 cents flat.
    EXPECT_NEAR(cents_of(notes[6].frequency_hz) - 5500.0, cents_of(24000.0 / 92) - 6000.0, 0.01);
}

// A loop reached two seconds into the note, after a lead-in 4 cents below
// it: the sample data leaves the key as stated, the rendered note is tuned
// for the held loop. The same sample under a vibrato spreads each partial
// into side lines: tuned for its mean where they stay weak, else as stated.
TEST(HeardTuning, ALateLoopIsTunedForHowItSoundsHeld)
{
    SineSample late{24000, 92, 1, 60, 0, true, 48000, -4.0};  // C4 -5.01 cents, looped from 2 s
    SineZone vibrato{0, 127, 0};
    vibrato.vibrato_cents = 20;
    const std::string path = ::testing::TempDir() + "varenta-late-" + std::to_string(getpid()) + ".sf2";
    ASSERT_TRUE(write_sine_soundfont(path, SineSoundFont{{late}, {SinePreset{0, 0, {SineZone{0, 127, 0}}},
                                                                  SinePreset{0, 1, {vibrato}}}}));
    std::vector<PresetTuning> data_only, heard;
    ASSERT_TRUE(soundfont_tunings_cached(path.c_str(), 0.5, "", &data_only));
    ASSERT_TRUE(soundfont_tunings_cached(path.c_str(), 0.5, "", &heard, nullptr, measure_soundfont));
    ASSERT_EQ(heard.size(), 2u);
    const double loop_cents = cents_of(24000.0 / 92) - 6000.0;
    for (int key : {40, 60, 80}) {
        EXPECT_EQ(data_only[0].corrected[key], key > 70) << key;  // reached within 1.5 s above
        EXPECT_TRUE(heard[0].corrected[key]) << key;
        EXPECT_EQ(heard[0].heard[key], key < 70) << key;  // a single cycle heard from its loop on: as measured
        EXPECT_NEAR(heard[0].offset_cents[key], loop_cents, 0.05) << key;
        EXPECT_NEAR(heard[0].key_cents[key], 100.0 * key + 0.5 - loop_cents, 0.05) << key;
        // The vibrato's mean: its lines' mean.
        EXPECT_TRUE(heard[1].corrected[key]) << key;
        EXPECT_NEAR(heard[1].offset_cents[key], loop_cents, 0.1) << key;
    }
    std::atomic<bool> stop{true};
    EXPECT_FALSE(measure_soundfont(path.c_str(), &data_only, &stop));

    // Held past its loop through the bridge, which works the same out.
    std::vector<BridgeEvent> events;
    add_note(events, 100.0, 4600.0, 0, 60, 8192);
    add_note(events, 5000.0, 9500.0, 0, 67, 9192);
    RenderSettings settings;
    settings.library_path = SONVEX_OFFLINE_LIBRARY_PATH;
    settings.soundfont_path = path;
    settings.settle_ms = 2200.0;
    settings.max_window_ms = 2000.0;
    std::vector<MeasuredNote> notes = render_and_measure(events, settings);
    std::remove(path.c_str());
    ASSERT_EQ(notes.size(), 2u);
    for (const MeasuredNote& n : notes)
        EXPECT_NEAR(cents_of(n.frequency_hz), asked_cents(n), kInTuneCents) << "key " << n.key;
}

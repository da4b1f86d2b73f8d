// The bridge library's sound, measured: libsonvex.so started offline with a
// generated sine SoundFont renders timed channel messages, and the pitch of
// every note is measured from the audio and compared with the ideal
// frequency and with FluidSynth's own pitch rule.
#include "pitch_render.h"
#include "sine_soundfont.h"

#include <fluidsynth.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

const double kMiddleC = 261.6255653;  // Hz, the 1/1 of the chord and the scale
const double kPi = std::acos(-1.0);

// Every test here shares one generated SoundFont.
class Render : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        soundfont_ = new std::string(::testing::TempDir() + "varenta-sine-" + std::to_string(getpid()) + ".sf2");
        ASSERT_TRUE(write_sine_soundfont(*soundfont_));
    }
    static void TearDownTestSuite()
    {
        std::remove(soundfont_->c_str());
        delete soundfont_;
        soundfont_ = nullptr;
    }

    static RenderSettings settings()
    {
        RenderSettings s;
        s.library_path = SONVEX_OFFLINE_LIBRARY_PATH;
        s.soundfont_path = *soundfont_;
        return s;
    }
    static const std::string& soundfont() { return *soundfont_; }

private:
    static std::string* soundfont_;
};

std::string* Render::soundfont_ = nullptr;

// A note as the retuning sends it: the nearest MIDI note, and a bend of
// 8192 + trunc(4096 * (n - note)), n the fractional MIDI note of hz.
struct Planned {
    double hz;
    int channel;
    double on_ms;
    double off_ms;
};

struct Sent {
    int key;
    int bend;
};

Sent note_and_bend(double hz)
{
    double n = 69.0 + 12.0 * std::log2(hz / 440.0);
    int key = static_cast<int>(std::lround(n));
    return Sent{key, 8192 + static_cast<int>(std::trunc(4096.0 * (n - key)))};
}

// What the program sends when it opens the bridge: centring bends, then
// programs 0 and 6, on every channel but 9.
std::vector<BridgeEvent> opening()
{
    std::vector<BridgeEvent> events;
    for (int channel = 0; channel < 32; ++channel) {
        if (channel != 9)
            add_bend(events, 0.0, channel, 8192);
    }
    for (int program : {0, 6}) {
        for (int channel = 0; channel < 32; ++channel) {
            if (channel != 9)
                events.push_back(BridgeEvent{0.0, 0xC0, channel, program, 0});
        }
    }
    return events;
}

std::string describe(const MeasuredNote& n)
{
    char text[128];
    std::snprintf(text, sizeof text, "channel %d key %d bend %d at %.0f ms (%.6f Hz)", n.channel, n.key, n.bend,
                  n.on_ms, n.frequency_hz);
    return text;
}

// Samples of a sum of sines, each (hz, amplitude, decay per second).
std::vector<float> tones(const std::vector<std::vector<double>>& parts, double rate, size_t count)
{
    std::vector<float> out(count);
    for (size_t i = 0; i < count; ++i) {
        double t = static_cast<double>(i) / rate;
        double sum = 0.0;
        for (const auto& p : parts)
            sum += p[1] * std::exp(-p[2] * t) * std::sin(2.0 * kPi * p[0] * t + 0.3);
        out[i] = static_cast<float>(sum);
    }
    return out;
}

// Whatever the process writes to standard output and error meanwhile.
class CapturedOutput {
public:
    CapturedOutput()
    {
        path_ = ::testing::TempDir() + "varenta-captured-" + std::to_string(getpid()) + ".txt";
        std::fflush(stdout);
        std::fflush(stderr);
        FILE* file = std::fopen(path_.c_str(), "w");
        saved_out_ = dup(1);
        saved_err_ = dup(2);
        dup2(fileno(file), 1);
        dup2(fileno(file), 2);
        std::fclose(file);
    }
    std::string finish()
    {
        std::fflush(stdout);
        std::fflush(stderr);
        dup2(saved_out_, 1);
        dup2(saved_err_, 2);
        close(saved_out_);
        close(saved_err_);
        std::ifstream in(path_);
        std::stringstream text;
        text << in.rdbuf();
        std::remove(path_.c_str());
        return text.str();
    }

private:
    std::string path_;
    int saved_out_;
    int saved_err_;
};

}  // namespace

TEST(PitchMeasurement, FindsEachToneOfAMixtureFarBelowOneBin)
{
    const double rate = 44100.0;
    // A chord-like mixture with decays, measured over 0.4 s (bins of 2.5 Hz).
    std::vector<float> samples = tones(
        {{261.6255653, 0.3, 0.5}, {305.2298262, 0.25, 1.0}, {392.4383480, 0.2, 0.0}, {523.2511306, 0.1, 2.0}}, rate,
        17640);
    for (double hz : {261.6255653, 305.2298262, 392.4383480, 523.2511306}) {
        double guess = hz * std::pow(2.0, 30.0 / 1200.0);  // 30 cents off
        double amplitude = 0.0;
        double measured = measure_frequency(samples.data(), samples.size(), rate, guess, 60.0, &amplitude);
        EXPECT_NEAR(cents_above(measured, hz), 0.0, 0.001) << hz;
        EXPECT_GT(amplitude, 0.05) << hz;
    }
}

TEST(PitchMeasurement, FundamentalOfHarmonicTonesEvenWithoutTheFundamental)
{
    const double rate = 44100.0;
    for (double f0 : {110.0, 261.6255653, 1046.502261}) {
        // Eight harmonics of falling strength; then the same with the
        // fundamental and the second harmonic missing, under a second tone
        // a fifth up at a tenth of the strength.
        std::vector<std::vector<double>> full, hollow;
        for (int h = 1; h <= 8; ++h) {
            full.push_back({h * f0, 0.3 / h, 0.5});
            if (h > 2)
                hollow.push_back({h * f0, 0.3 / h, 0.5});
        }
        hollow.push_back({1.5 * f0, 0.01, 0.0});
        for (const auto& parts : {full, hollow}) {
            std::vector<float> samples = tones(parts, rate, 22050);
            double amplitude = 0.0;
            double measured = measure_fundamental(samples.data(), samples.size(), rate, f0 * std::pow(2.0, -0.3 / 12),
                                                  60.0, 8, &amplitude);
            EXPECT_NEAR(cents_above(measured, f0), 0.0, 0.001) << f0 << " with " << parts.size() << " tones";
            EXPECT_GT(amplitude, 0.05);
        }
    }
    std::vector<float> silence(22050, 0.0f);
    EXPECT_TRUE(std::isnan(measure_fundamental(silence.data(), silence.size(), rate, 440.0, 60.0, 8)));
}

TEST(PitchMeasurement, NoToneInRangeGivesNoFrequency)
{
    std::vector<float> samples = tones({{440.0, 0.5, 0.0}}, 44100.0, 22050);
    EXPECT_TRUE(std::isnan(measure_frequency(samples.data(), samples.size(), 44100.0, 600.0, 60.0)));
    std::vector<float> silence(22050, 0.0f);
    double amplitude = 1.0;
    measure_frequency(silence.data(), silence.size(), 44100.0, 440.0, 60.0, &amplitude);
    EXPECT_EQ(amplitude, 0.0);
}

TEST(PitchMeasurement, FluidSynthRuleCutsPitchDownToWholeCents)
{
    EXPECT_DOUBLE_EQ(fluidsynth_pitch_hz(69, 8192), 440.0);
    EXPECT_DOUBLE_EQ(fluidsynth_pitch_hz(69, 0), 440.0 * std::pow(2.0, -2.0 / 12.0));
    // 8191 is 0.0244 cents below the key: cut down to a whole cent lower.
    EXPECT_NEAR(cents_above(fluidsynth_pitch_hz(69, 8191), 440.0), -1.0, 1e-9);
    // 16383 is 199.9756 cents up: 199.
    EXPECT_NEAR(cents_above(fluidsynth_pitch_hz(69, 16383), 440.0), 199.0, 1e-9);
    // The standard FluidSynth range of 12700 * 2 / 128 cents: 0 gives -198.4375, so -199.
    EXPECT_NEAR(cents_above(fluidsynth_pitch_hz(69, 0, 198.4375), 440.0), -199.0, 1e-9);
    // The bridge's half-cent raise rounds instead: 8191 to the key, 8212
    // (+0.4883 cents) to the key too, 8213 (+0.5127 cents) to one cent up.
    EXPECT_NEAR(cents_above(bridge_pitch_hz(69, 8191), 440.0), 0.0, 1e-9);
    EXPECT_NEAR(cents_above(bridge_pitch_hz(69, 8212), 440.0), 0.0, 1e-9);
    EXPECT_NEAR(cents_above(bridge_pitch_hz(69, 8213), 440.0), 1.0, 1e-9);
}

TEST(PitchMeasurement, BridgeEventsComeFromTheBridgeRouteOfTheLog)
{
    std::vector<FakeMessage> log(3);
    log[0] = FakeMessage{1500, FakeRoute::Bridge, -100, 0, 0x90, 25, 60, 127, 2};
    log[1] = FakeMessage{1600, FakeRoute::Port, 0, 0x007F3C93, 0x90, 3, 60, 127, 2};
    log[2] = FakeMessage{2500, FakeRoute::Bridge, -100, 0, 0xE0, 17, 0, 64, 2};
    std::vector<BridgeEvent> events = bridge_events(log);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].time_ms, 1500.0);
    EXPECT_EQ(events[0].status, 0x90);
    EXPECT_EQ(events[0].channel, 25);
    EXPECT_EQ(events[0].data1, 60);
    EXPECT_EQ(events[0].data2, 127);
    EXPECT_EQ(events[1].time_ms, 2500.0);
    EXPECT_EQ(events[1].status, 0xE0);
    EXPECT_EQ(events[1].channel, 17);
}

// The premise of the bridge's correction: FluidSynth as it comes makes a full
// bend down 198.4375 cents, cut to -199, and a full bend up 198.
TEST_F(Render, StandardFluidSynthFallsShortOfTwoSemitones)
{
    for (int level = FLUID_PANIC; level <= FLUID_DBG; ++level)
        fluid_set_log_function(level, nullptr, nullptr);
    fluid_settings_t* fluid_settings = new_fluid_settings();
    fluid_synth_t* synth = new_fluid_synth(fluid_settings);
    ASSERT_NE(fluid_synth_sfload(synth, soundfont().c_str(), 1), FLUID_FAILED);
    double measured_cents[2];
    int bends[2] = {0, 16383};
    for (int i = 0; i < 2; ++i) {
        fluid_synth_pitch_bend(synth, 0, bends[i]);
        fluid_synth_noteon(synth, 0, 69, 127);
        std::vector<float> left(22050), right(22050);
        fluid_synth_write_float(synth, 22050, left.data(), 0, 1, right.data(), 0, 1);
        double hz = measure_frequency(left.data() + 2205, 19845, 44100.0,
                                      440.0 * std::pow(2.0, (bends[i] - 8192) / 4096.0 / 12.0), 60.0);
        measured_cents[i] = cents_above(hz, 440.0);
        fluid_synth_all_sounds_off(synth, 0);
    }
    delete_fluid_synth(synth);
    delete_fluid_settings(fluid_settings);
    std::printf("standard FluidSynth: bend 0 -> %+.4f cents, bend 16383 -> %+.4f cents\n", measured_cents[0],
                measured_cents[1]);
    EXPECT_NEAR(measured_cents[0], -199.0, 0.01);
    EXPECT_NEAR(measured_cents[1], 198.0, 0.01);
}

TEST_F(Render, FullBendsAreTwoSemitones)
{
    std::vector<BridgeEvent> events = opening();
    add_note(events, 100.0, 900.0, 0, 69, 0);
    add_note(events, 1000.0, 1800.0, 17, 69, 16383);
    add_note(events, 1900.0, 2700.0, 25, 60, 0);
    add_note(events, 2800.0, 3600.0, 31, 72, 16383);
    std::vector<MeasuredNote> notes = render_and_measure(events, settings());
    ASSERT_EQ(notes.size(), 4u);
    // 16383 is 199.9756 cents: FluidSynth alone cuts it to 199, the bridge's
    // half-cent raise rounds it to 200.
    const double expected_cents[] = {-200.0, 200.0, -200.0, 200.0};
    for (size_t i = 0; i < notes.size(); ++i) {
        double cents = cents_above(notes[i].frequency_hz, SINE_ROOT_HZ * std::pow(2.0, (notes[i].key - 69) / 12.0));
        std::printf("bridge: %s -> %+.4f cents from the key\n", describe(notes[i]).c_str(), cents);
        EXPECT_NEAR(cents, expected_cents[i], 0.01) << describe(notes[i]);
    }
}

TEST_F(Render, PitchFollowsFluidSynthsRuleOnEveryChannel)
{
    // Bends at the edges and around the centre, where cutting to whole cents
    // shows, then a spread of others; keys over five octaves; every melodic channel.
    std::vector<int> bends = {0, 1, 2, 4095, 4096, 8191, 8192, 8193, 8194, 12287, 12288, 16382, 16383};
    uint32_t seed = 12345;
    while (bends.size() < 40) {
        seed = seed * 1664525u + 1013904223u;
        bends.push_back(static_cast<int>((seed >> 8) % 16384));
    }
    std::vector<BridgeEvent> events = opening();
    double time_ms = 100.0;
    int channel = 0;
    for (size_t i = 0; i < bends.size(); ++i) {
        int key = 36 + static_cast<int>((i * 7) % 61);
        add_note(events, time_ms, time_ms + 250.0, channel, key, bends[i]);
        time_ms += 300.0;
        channel = (channel + 1) % 32;
        if (channel == 9)
            channel = 10;
    }
    std::vector<MeasuredNote> notes = render_and_measure(events, settings());
    ASSERT_EQ(notes.size(), bends.size());
    double worst = 0.0;
    for (const MeasuredNote& n : notes) {
        double error = cents_above(n.frequency_hz, bridge_pitch_hz(n.key, n.bend));
        EXPECT_NEAR(error, 0.0, 0.01) << describe(n);
        worst = std::max(worst, std::fabs(error));
    }
    std::printf("worst distance from the bridge's rule over %zu notes: %.6f cents\n", notes.size(), worst);
}

TEST_F(Render, ChordAndFarFromEqualScaleAreInTune)
{
    std::vector<BridgeEvent> events = opening();
    std::vector<Planned> planned;
    // The chord 1/1 7/6 3/2 2/1 as the chord test plays it: half a second of
    // silence, the notes a second apart, all four held one second more.
    const double chord[] = {1.0, 7.0 / 6.0, 3.0 / 2.0, 2.0};
    const int chord_channels[] = {16, 25, 3, 31};
    for (int i = 0; i < 4; ++i)
        planned.push_back(Planned{kMiddleC * chord[i], chord_channels[i], 500.0 + 1000.0 * i, 4500.0});
    // A scale far from equal temperament: seven equal steps to the octave,
    // then 11/8 and 13/8, one after another, over low and high channels.
    std::vector<double> scale;
    for (int step = 0; step <= 7; ++step)
        scale.push_back(std::pow(2.0, step / 7.0));
    scale.push_back(11.0 / 8.0);
    scale.push_back(13.0 / 8.0);
    const int scale_channels[] = {0, 17, 25, 30, 5, 21, 12, 28, 25, 19};
    for (size_t i = 0; i < scale.size(); ++i) {
        double on = 5000.0 + 600.0 * i;
        planned.push_back(Planned{kMiddleC * scale[i], scale_channels[i], on, on + 500.0});
    }
    std::vector<Sent> sent;
    for (const Planned& p : planned) {
        Sent s = note_and_bend(p.hz);
        sent.push_back(s);
        add_note(events, p.on_ms, p.off_ms, p.channel, s.key, s.bend);
    }

    std::vector<MeasuredNote> notes = render_and_measure(events, settings());
    ASSERT_EQ(notes.size(), planned.size());
    double worst_ideal = 0.0, worst_rule = 0.0;
    for (size_t i = 0; i < notes.size(); ++i) {
        const MeasuredNote& n = notes[i];
        ASSERT_EQ(n.channel, planned[i].channel);
        ASSERT_EQ(n.key, sent[i].key);
        ASSERT_EQ(n.bend, sent[i].bend);
        EXPECT_GT(n.amplitude, 0.01) << describe(n);
        double to_ideal = cents_above(n.frequency_hz, planned[i].hz);
        double to_rule = cents_above(n.frequency_hz, bridge_pitch_hz(n.key, n.bend));
        // Rounding to whole cents, plus a bend step of 0.0244 cents.
        EXPECT_LE(std::fabs(to_ideal), 0.53) << describe(n) << " ideal " << planned[i].hz;
        EXPECT_LE(std::fabs(to_rule), 0.01) << describe(n);
        worst_ideal = std::max(worst_ideal, std::fabs(to_ideal));
        worst_rule = std::max(worst_rule, std::fabs(to_rule));
        std::printf("%-48s ideal %11.6f Hz  %+8.4f cents from ideal  %+.6f from rule\n", describe(n).c_str(),
                    planned[i].hz, to_ideal, to_rule);
    }
    std::printf("worst: %.4f cents from ideal, %.6f cents from the bridge's rule\n", worst_ideal, worst_rule);
}

TEST_F(Render, OnlyChannelNineIsPercussion)
{
    // The sine SoundFont has no percussion bank: a percussion channel stays
    // silent, a melodic one sounds the sine.
    std::vector<BridgeEvent> events = opening();
    for (int channel = 0; channel < 32; ++channel)
        add_note(events, 100.0 + 200.0 * channel, 250.0 + 200.0 * channel, channel, 69, 8192);
    std::vector<MeasuredNote> notes = render_and_measure(events, settings());
    ASSERT_EQ(notes.size(), 32u);
    for (const MeasuredNote& n : notes) {
        if (n.channel == 9) {
            EXPECT_LT(n.amplitude, 1e-4) << describe(n);
        } else {
            EXPECT_GT(n.amplitude, 0.01) << describe(n);
            EXPECT_NEAR(cents_above(n.frequency_hz, 440.0), 0.0, 0.01) << describe(n);
        }
    }
}

TEST_F(Render, InitialiseAgainKeepsTheSynthesizerAndCleanUpIsRepeatable)
{
    OfflineBridge bridge(SONVEX_OFFLINE_LIBRARY_PATH);
    ASSERT_TRUE(bridge.start(soundfont(), 44100));
    EXPECT_TRUE(bridge.send(0x90, 25, 69, 127));
    std::vector<float> mix;
    ASSERT_TRUE(bridge.render(4410, mix));
    EXPECT_EQ(bridge.initialise(), 1);  // already started: the same synthesizer goes on
    mix.clear();
    ASSERT_TRUE(bridge.render(22050, mix));
    double amplitude = 0.0;
    double hz = measure_frequency(mix.data(), mix.size(), 44100.0, 440.0, 60.0, &amplitude);
    EXPECT_GT(amplitude, 0.01);
    EXPECT_NEAR(cents_above(hz, 440.0), 0.0, 0.01);
    bridge.cleanup();
    bridge.cleanup();
    EXPECT_FALSE(bridge.render(64, mix));
    EXPECT_FALSE(bridge.send(0x90, 0, 60, 100));
}

TEST_F(Render, SendTakesTheFiveStatusesOnChannelsZeroToThirtyOne)
{
    OfflineBridge bridge(SONVEX_OFFLINE_LIBRARY_PATH);
    ASSERT_TRUE(bridge.start(soundfont(), 44100));
    EXPECT_TRUE(bridge.send(0xC0, 31, 6, 0));
    EXPECT_TRUE(bridge.send(0xB0, 0, 7, 100));
    EXPECT_TRUE(bridge.send(0xE0, 16, 0, 64));
    EXPECT_TRUE(bridge.send(0x90, 0, 60, 100));
    EXPECT_TRUE(bridge.send(0x80, 0, 60, 0));
    EXPECT_FALSE(bridge.send(0x90, 32, 60, 100));
    EXPECT_FALSE(bridge.send(0x90, -1, 60, 100));
    EXPECT_FALSE(bridge.send(0xA0, 0, 60, 100));  // key pressure: not taken
    EXPECT_FALSE(bridge.send(0x93, 0, 60, 100));  // a channel inside the status: not taken
}

TEST_F(Render, AMissingSoundFontFailsQuietly)
{
    OfflineBridge bridge(SONVEX_OFFLINE_LIBRARY_PATH);
    const std::string missing = ::testing::TempDir() + "varenta-no-such-soundfont.sf2";
    CapturedOutput captured;
    bool started = bridge.start(missing, 44100);
    std::string output = captured.finish();
    EXPECT_FALSE(started);
    EXPECT_EQ(output, "");
    std::vector<float> mix;
    EXPECT_FALSE(bridge.render(64, mix));
}

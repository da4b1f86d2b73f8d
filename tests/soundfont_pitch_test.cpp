// The bridge's reading of a SoundFont's sample tuning: samples whose true
// pitch is known (held loops, unlooped sounds, ensembles, noise), generated
// SoundFonts, and damaged preset data.
#include "bridge/soundfont_pitch.h"
#include "sine_soundfont.h"
#include "tests/fuzz/fuzz_targets.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <functional>
#include <cstdlib>
#include <cstring>
#include <random>

namespace {

// Cents of hz above MIDI key 0.
double cents_of(double hz) { return 1200.0 * std::log2(hz / 8.175798915643707); }

// A SoundFont with one preset (bank 0, program 0) of the given zones.
SineSoundFont one_preset(const std::vector<SineSample>& samples, const std::vector<SineZone>& zones)
{
    return SineSoundFont{samples, {SinePreset{0, 0, zones}}};
}

// The tunings of font, read back from a file.
std::vector<PresetTuning> tunings_of(const SineSoundFont& font, double raise_cents = 0.0)
{
    std::string path = ::testing::TempDir() + "varenta-pitch-" + std::to_string(getpid()) + ".sf2";
    EXPECT_TRUE(write_sine_soundfont(path, font));
    std::vector<PresetTuning> tunings;
    EXPECT_TRUE(soundfont_tunings_from_file(path.c_str(), raise_cents, &tunings));
    std::remove(path.c_str());
    return tunings;
}

// The pdta list's body inside a whole file.
std::vector<uint8_t> pdta_of(const std::vector<uint8_t>& file)
{
    for (size_t i = 0; i + 12 <= file.size(); ++i) {
        if (std::memcmp(&file[i], "LIST", 4) == 0 && std::memcmp(&file[i + 8], "pdta", 4) == 0)
            return std::vector<uint8_t>(file.begin() + i + 12, file.end());
    }
    return {};
}

// A single-cycle loop of 92 frames at 24 kHz: 260.87 Hz, 5.01 cents below
// middle C.
const SineSample kFlatC{24000, 92, 1, 60, 0, true};
const double kFlatCOffset = cents_of(24000.0 / 92) - 6000.0;

const double kPi = std::acos(-1.0);

// frames samples of wave(t), t in seconds at rate_hz.
std::vector<float> sampled(size_t frames, double rate_hz, const std::function<double(double)>& wave)
{
    std::vector<float> out(frames);
    for (size_t n = 0; n < frames; ++n)
        out[n] = static_cast<float>(wave(n / rate_hz));
    return out;
}

// A tone of five harmonics, the h-th at 0.3 / h, at hz; phase_cycles
// (a function of time) is added to the fundamental's phase.
double five_harmonics(double hz, double t, double phase_cycles = 0.0)
{
    double x = 0.0;
    for (int h = 1; h <= 5; ++h)
        x += 0.3 / h * std::sin(2.0 * kPi * h * (hz * t + phase_cycles) + h);
    return x;
}

}  // namespace

TEST(SamplePitch, HeldLoopsAreMeasuredAndWholeCyclesGiveTheExactFigure)
{
    double offset = 123.0, settled = 123.0;
    // One cycle of a sine: the loop's length is the figure.
    std::vector<float> flat_c = sampled(92, 24000, [](double t) { return 0.5 * std::sin(2.0 * kPi * t * 24000 / 92); });
    ASSERT_TRUE(looped_sample_offset(flat_c.data(), 0, flat_c.size(), 24000, 6000.0, &offset, &settled));
    EXPECT_NEAR(offset, kFlatCOffset, 1e-9);
    EXPECT_EQ(settled, 0.0);  // nothing before the loop
    // Seven cycles of a harmonic tone in 1201 frames: 257.04 Hz, 30.6 cents
    // below the stated middle C; the same against a stated pitch moved by a
    // fine tune of -10 cents.
    const double hz = 7.0 * 44100 / 1201;
    std::vector<float> seven = sampled(1201, 44100, [&](double t) { return five_harmonics(hz, t); });
    ASSERT_TRUE(looped_sample_offset(seven.data(), 0, seven.size(), 44100, 6000.0, &offset, &settled));
    EXPECT_NEAR(offset, cents_of(hz) - 6000.0, 1e-9);
    ASSERT_TRUE(looped_sample_offset(seven.data(), 0, seven.size(), 44100, 6000.0 + 10.0, &offset, &settled));
    EXPECT_NEAR(offset, cents_of(hz) - 6010.0, 1e-9);
    EXPECT_NEAR(offset, -40.64, 0.01);
    // Forty cycles of A5 (880 Hz) in 2000 frames at 44 kHz, stated 40 cents
    // sharp: 41 cycles lie nearer the stated pitch, but the sound says 40.
    std::vector<float> a5 = sampled(2000, 44000, [](double t) { return five_harmonics(880.0, t); });
    ASSERT_TRUE(loop_pitch_offset(2000, 44000, 8140.0, &offset));
    EXPECT_NEAR(offset, 2.75, 0.01);
    ASSERT_TRUE(looped_sample_offset(a5.data(), 0, a5.size(), 44000, 8140.0, &offset, &settled));
    EXPECT_NEAR(offset, -40.0, 0.002);
    // The same loop after a second and a half of the recording it was cut
    // from: the note sounds so from its onset on.
    std::vector<float> recorded = sampled(66000 + 2000, 44000, [](double t) { return five_harmonics(880.0, t); });
    ASSERT_TRUE(looped_sample_offset(recorded.data(), 66000, recorded.size(), 44000, 8140.0, &offset, &settled));
    EXPECT_NEAR(offset, -40.0, 0.002);
    EXPECT_NEAR(settled, MEASURE_ONSET_SECONDS, 1e-9);
    // A steady vibrato of 5 Hz, 10 cents deep, around 442.5 Hz (177 cycles)
    // in a loop of 0.4 seconds: heard at its centre, 9.8 cents sharp of A4
    // (where 176 cycles would lie nearest the stated pitch). A window of a
    // few of its cycles weighs their phases a little unevenly: a hundredth
    // of a cent.
    const double centre_hz = 442.5;
    std::vector<float> vibrato = sampled(17640, 44100, [&](double t) {
        const double depth_hz = centre_hz * (std::exp2(10.0 / 1200) - 1.0);
        return five_harmonics(centre_hz, t, depth_hz / (2.0 * kPi * 5.0) * std::sin(2.0 * kPi * 5.0 * t));
    });
    ASSERT_TRUE(looped_sample_offset(vibrato.data(), 0, vibrato.size(), 44100, 6900.0, &offset, &settled));
    EXPECT_NEAR(offset, cents_of(442.5) - 6900.0, 0.015);
}

TEST(SamplePitch, UnsteadyNoisyOrFarOffLoopsAreNotTakenForAPitch)
{
    double offset = 123.0, settled = 123.0;
    // An ensemble: 440 and 441 Hz in a loop of one second, beating once a
    // second; each window hears a different blend.
    std::vector<float> ensemble = sampled(44100, 44100, [](double t) {
        return five_harmonics(440.0, t) + 0.7 * five_harmonics(441.0, t);
    });
    EXPECT_FALSE(looped_sample_offset(ensemble.data(), 0, ensemble.size(), 44100, 6900.0, &offset, &settled));
    // A recording that sounds 2 cents flat for its first second and a half,
    // then settles into a loop of 44 cycles of A4: in tune from the loop on.
    const double flat_hz = 440.0 * std::exp2(-2.0 / 1200);
    std::vector<float> settling = sampled(66150 + 4410, 44100, [&](double t) {
        return t < 1.5 ? five_harmonics(flat_hz, t) : five_harmonics(440.0, t);
    });
    ASSERT_TRUE(looped_sample_offset(settling.data(), 66150, settling.size(), 44100, 6900.0, &offset, &settled));
    EXPECT_NEAR(offset, 0.0, 1e-9);
    EXPECT_NEAR(settled, 1.5, 1e-9);
    // Within half a cent of the loop, the recording before it sounds as the
    // loop does; one too short to measure is not taken to.
    const double near_hz = 440.0 * std::exp2(-0.3 / 1200);
    std::vector<float> near = sampled(66150 + 4410, 44100, [&](double t) {
        return t < 1.5 ? five_harmonics(near_hz, t) : five_harmonics(440.0, t);
    });
    ASSERT_TRUE(looped_sample_offset(near.data(), 66150, near.size(), 44100, 6900.0, &offset, &settled));
    EXPECT_NEAR(settled, MEASURE_ONSET_SECONDS, 1e-9);
    ASSERT_TRUE(looped_sample_offset(near.data() + 66150 - 22050, 22050, 22050 + 4410, 44100, 6900.0, &offset,
                                     &settled));
    EXPECT_NEAR(settled, 0.5, 1e-9);
    offset = settled = 123.0;
    // Noise.
    std::mt19937 random(5);
    std::normal_distribution<float> gauss(0.0f, 0.2f);
    std::vector<float> noise(20000);
    for (float& x : noise)
        x = gauss(random);
    EXPECT_FALSE(looped_sample_offset(noise.data(), 0, noise.size(), 44100, 6900.0, &offset, &settled));
    // A clear tone, but a semitone from the stated pitch.
    std::vector<float> b4 = sampled(4410, 44100, [](double t) { return five_harmonics(490.0, t); });
    EXPECT_FALSE(looped_sample_offset(b4.data(), 0, b4.size(), 44100, 6900.0, &offset, &settled));
    EXPECT_FALSE(looped_sample_offset(b4.data(), 10, 10, 44100, 6900.0, &offset, &settled));
    EXPECT_FALSE(looped_sample_offset(b4.data(), 0, b4.size(), 0, 6900.0, &offset, &settled));
    EXPECT_EQ(offset, 123.0);
    EXPECT_EQ(settled, 123.0);
}

TEST(SamplePitch, UnloopedSamplesAreMeasuredOverTheirSteadyPart)
{
    double offset = 123.0;
    // A struck tone at 441 Hz: a tenth of a second of noisy attack, then a
    // decay to a tenth in two seconds.
    std::mt19937 random(9);
    std::uniform_real_distribution<double> click(-0.5, 0.5);
    std::vector<float> struck = sampled(88200, 44100, [&](double t) {
        return (t < 0.1 ? click(random) : 0.0) + std::pow(0.1, t / 2.0) * five_harmonics(441.0, t);
    });
    ASSERT_TRUE(unlooped_sample_offset(struck.data(), struck.size(), 44100, 6900.0, &offset));
    EXPECT_NEAR(offset, cents_of(441.0) - 6900.0, 0.005);
    // The same gliding up by 3 cents a second: the windows disagree.
    const double glide = 3.0 / 1200.0 * std::log(2.0);
    std::vector<float> gliding = sampled(88200, 44100, [&](double t) {
        return five_harmonics(441.0, t, 441.0 * glide * t * t / 2.0);
    });
    double untouched = 123.0;
    EXPECT_FALSE(unlooped_sample_offset(gliding.data(), gliding.size(), 44100, 6900.0, &untouched));
    // Too short for two windows after the attack.
    EXPECT_FALSE(unlooped_sample_offset(struck.data(), 30000, 44100, 6900.0, &untouched));
    EXPECT_EQ(untouched, 123.0);
}

TEST(LoopPitch, WholeCyclesNearestTheStatedPitch)
{
    double offset = 0.0;
    ASSERT_TRUE(loop_pitch_offset(92, 24000, 6000.0, &offset));
    EXPECT_NEAR(offset, -5.0099, 1e-4);
    // Two cycles in 205 frames at 38 kHz against F#5.
    ASSERT_TRUE(loop_pitch_offset(205, 38000, 7800.0 - 1200.0, &offset));
    EXPECT_NEAR(offset, cents_of(2.0 * 38000 / 205) - 6600.0, 1e-9);
    EXPECT_NEAR(offset, 3.45, 0.01);
    // Eleven cycles, the nearest count rather than the one below: 1851
    // frames at 44.1 kHz hold 10.98 cycles of middle C.
    ASSERT_TRUE(loop_pitch_offset(1851, 44100, 6000.0, &offset));
    EXPECT_NEAR(offset, cents_of(11.0 * 44100 / 1851) - 6000.0, 1e-9);
    EXPECT_NEAR(offset, 2.97, 0.01);
    // A stated pitch moved by a fine tune moves the offset with it.
    ASSERT_TRUE(loop_pitch_offset(92, 24000, 6000.0 - 10.0, &offset));
    EXPECT_NEAR(offset, -5.0099 + 10.0, 1e-4);
}

TEST(SoundFontPitch, AKeyIsCorrectedByTheSoundOfItsSampleNotItsLoopsLength)
{
    // A5 stated truly, its loop a second long, reached after a second; and
    // forty cycles of it stated 40 cents sharp (where 41 cycles would lie
    // nearest).
    std::vector<SineSample> samples = {{44000, 44000, 880, 81, 0, true}, {44000, 2000, 40, 81, -40, true}};
    SineSoundFont font{samples, {SinePreset{0, 0, {SineZone{0, 63, 0}, SineZone{64, 127, 1}}}}};
    std::vector<PresetTuning> tunings = tunings_of(font);
    ASSERT_EQ(tunings.size(), 1u);
    EXPECT_TRUE(tunings[0].corrected[60]);
    EXPECT_NEAR(tunings[0].offset_cents[60], 0.0, 1e-9);
    EXPECT_TRUE(tunings[0].corrected[100]);
    EXPECT_NEAR(tunings[0].offset_cents[100], -40.0, 0.002);
    EXPECT_NEAR(tunings[0].key_cents[100], 10000.0 + 40.0, 0.002);
    // Key 40 plays the sample 41 semitones down, ten times slower: its loop
    // comes after ten seconds, and the note is heard as the recording before
    // it (here the same, but not in general).
    EXPECT_NEAR(tunings[0].loop_reached_seconds[40], std::exp2(41.0 / 12), 1e-9);
    EXPECT_FALSE(tunings[0].corrected[40]);
    EXPECT_TRUE(tunings[0].corrected[47]);  // 5.3 seconds
    EXPECT_FALSE(tunings[0].onset_differs[47]);
    // Without the sample data nothing is measured: every key as stated.
    std::vector<uint8_t> pdta = pdta_of(sine_soundfont_bytes(font));
    ASSERT_TRUE(soundfont_tunings_from_pdta(pdta.data(), pdta.size(), 0.5, &tunings));
    for (int key : {60, 100}) {
        EXPECT_FALSE(tunings[0].corrected[key]);
        EXPECT_TRUE(tunings[0].looped[key]);
        EXPECT_NEAR(tunings[0].key_cents[key], 100.0 * key, 1e-5);  // not raised either
    }
}

TEST(SoundFontPitch, AKeyReachingItsLoopLateIsCorrectedOnlyWhereTheRecordingBeforeSoundsAsTheLoop)
{
    // 40 cycles of A5 in 2001 frames (0.86 cents flat), after 1.2 seconds
    // of recording 2 cents above the loop, or 0.3 cents above it.
    SineSample differing{44000, 2001, 40, 81, 0, true, 52800, 2.0};
    SineSample agreeing = differing;
    agreeing.lead_cents = 0.3;
    std::vector<PresetTuning> tunings = tunings_of(
        SineSoundFont{{differing, agreeing}, {SinePreset{0, 0, {SineZone{0, 127, 0}}}, SinePreset{0, 1, {SineZone{0, 127, 1}}}}},
        0.5);
    ASSERT_EQ(tunings.size(), 2u);
    const double loop_offset = cents_of(40.0 * 44000 / 2001) - 8100.0;
    // At the root the loop comes after 1.2 seconds: soon enough, whatever
    // came before. An octave down it comes after 2.4: only the recording
    // that sounds as the loop does lets the key be corrected.
    for (const PresetTuning& t : tunings) {
        EXPECT_TRUE(t.corrected[81]) << "program " << t.program;
        EXPECT_NEAR(t.key_cents[81], 8100.0 + 0.5 - loop_offset, 1e-9);
        EXPECT_NEAR(t.loop_reached_seconds[69], 2.4, 1e-9);
        EXPECT_EQ(t.corrected[69], t.program == 1) << "program " << t.program;
        EXPECT_EQ(t.onset_differs[69], t.program == 0) << "program " << t.program;
        EXPECT_FALSE(t.corrected[40]);  // its loop comes after 12.7 seconds
    }
    EXPECT_NEAR(tunings[0].key_cents[69], 6900.0, 1e-5);  // as stated, not raised either
}

TEST(LoopPitch, NoUsableLoopLeavesTheOffsetAlone)
{
    double offset = 123.0;
    // 150 frames at 44.1 kHz: one cycle is 294 Hz, two 588 Hz, neither near A4.
    EXPECT_FALSE(loop_pitch_offset(150, 44100, 6900.0, &offset));
    EXPECT_FALSE(loop_pitch_offset(0, 44100, 6900.0, &offset));
    EXPECT_FALSE(loop_pitch_offset(100, 0, 6900.0, &offset));
    EXPECT_FALSE(loop_pitch_offset(100, 44100, NAN, &offset));
    EXPECT_EQ(offset, 123.0);
}

TEST(SoundFontPitch, ZonesAreReadAsFluidSynthPlaysThem)
{
    std::vector<SineSample> samples = {
        kFlatC,
        {38000, 205, 2, 66, 0, true},  // +3.45 cents
        {40000, 306, 4, 72, 7, true},  // -1.24 cents from C6, stated 7 cents flat by its header
        {44100, 100, 1, 69, 0, false},  // 441 Hz, unlooped: +3.93 cents
        {24000, 92, 1, 61, 0, true},    // the flat C stated as C#
    };
    SineZone low{0, 47, 0};
    SineZone multi{48, 59, 1};
    SineZone corrected{60, 71, 2};
    corrected.fine_tune = -3;
    SineZone unlooped{72, 83, 3};
    SineZone overridden{84, 95, 4};
    overridden.root_override = 60;
    SineZone shortened{96, 127, 0};
    shortened.loop_end_offset = -1;  // 91 frames
    std::vector<PresetTuning> tunings =
        tunings_of(one_preset(samples, {low, multi, corrected, unlooped, overridden, shortened}), 0.5);
    ASSERT_EQ(tunings.size(), 1u);
    const PresetTuning& t = tunings[0];
    EXPECT_EQ(t.bank, 0);
    EXPECT_EQ(t.program, 0);

    const double flat_c = kFlatCOffset;
    const double multi_offset = cents_of(2.0 * 38000 / 205) - 6600.0;
    // Header correction +7: stated 7193 cents; fine tune -3 makes it 7196.
    const double corrected_offset = cents_of(4.0 * 40000 / 306) - 7196.0;
    const double shortened_offset = cents_of(24000.0 / 91) - 6000.0;
    const double unlooped_offset = cents_of(441.0) - 6900.0;
    struct Expected {
        int key;
        bool looped;
        double offset;
        double within;  // exact for a loop's whole cycles, a measurement's precision otherwise
    } expected[] = {{0, true, flat_c, 1e-9},
                    {47, true, flat_c, 1e-9},
                    {48, true, multi_offset, 1e-9},
                    {59, true, multi_offset, 1e-9},
                    {60, true, corrected_offset, 1e-9},
                    {71, true, corrected_offset, 1e-9},
                    {72, false, unlooped_offset, 0.002},
                    {83, false, unlooped_offset, 0.002},
                    {84, true, flat_c, 1e-9},
                    {95, true, flat_c, 1e-9},
                    {96, true, shortened_offset, 1e-9},
                    {127, true, shortened_offset, 1e-9}};
    for (const Expected& e : expected) {
        EXPECT_TRUE(t.corrected[e.key]) << "key " << e.key;
        EXPECT_EQ(t.looped[e.key], e.looped) << "key " << e.key;
        EXPECT_NEAR(t.offset_cents[e.key], e.offset, e.within) << "key " << e.key;
        EXPECT_NEAR(t.key_cents[e.key], 100.0 * e.key + 0.5 - e.offset, e.within) << "key " << e.key;
    }
    EXPECT_NEAR(corrected_offset, 2.76, 0.01);
    // The loop starts loop_frames in: 92 frames at 24 kHz, played 20
    // semitones below the root, take 2^(20/12) times as long.
    EXPECT_NEAR(t.loop_reached_seconds[40], 92.0 / 24000 * std::exp2(20.0 / 12), 1e-9);
    EXPECT_EQ(t.loop_reached_seconds[72], 0.0);
}

TEST(SoundFontPitch, VelocityLayersScaleTuningAndPercussion)
{
    std::vector<SineSample> samples = {kFlatC, {38000, 205, 2, 66, 0, true}, {24000, 92, 1, 60, -30, true}};
    // Keys 0..63: the loud layer is the sharp sample; keys 64..100 have no
    // layer reaching 127, so their loudest (up to 90) counts.
    SineZone soft{0, 63, 0, 0, 100};
    SineZone loud{0, 63, 1, 101, 127};
    loud.root_override = 66;
    SineZone quiet{64, 127, 0, 0, 90};
    // Half a cent per key around a root stated 30 cents sharp (anchor 60).
    SineZone half{0, 127, 2};
    half.scale_tuning = 50;
    // A vibrato above key 100: no one settled pitch, left as stated.
    SineZone vibrato{101, 127, 0};
    vibrato.vibrato_cents = 10;
    quiet.key_high = 100;
    // Two layers on every key, 8.5 cents apart: a chorus, left as stated.
    SineZone chorus{0, 127, 0};
    SineZone chorus_sharp = loud;
    chorus_sharp.key_low = 0;
    chorus_sharp.key_high = 127;
    chorus_sharp.velocity_low = 0;
    SineSoundFont font{samples,
                       {SinePreset{0, 5, {soft, loud, quiet, vibrato}}, SinePreset{8, 5, {half}},
                        SinePreset{128, 0, {soft}},
                        SinePreset{0, 6, {chorus, chorus_sharp}}}};
    std::vector<PresetTuning> tunings = tunings_of(font);
    ASSERT_EQ(tunings.size(), 3u);  // the percussion bank is left alone
    for (int key : {0, 64, 127}) {
        EXPECT_FALSE(tunings[2].corrected[key]);
        EXPECT_NEAR(tunings[2].key_cents[key], 100.0 * key, 1e-5);
    }
    const PresetTuning& layered = tunings[0];
    EXPECT_EQ(layered.program, 5);
    EXPECT_NEAR(layered.offset_cents[10], cents_of(2.0 * 38000 / 205) - 6600.0, 1e-9);
    EXPECT_NEAR(layered.offset_cents[100], kFlatCOffset, 1e-9);
    EXPECT_TRUE(layered.corrected[100]);
    EXPECT_FALSE(layered.corrected[101]);
    EXPECT_NEAR(layered.key_cents[101], 10100.0, 1e-5);

    // With scale tuning s and root key r, FluidSynth plays key k of a tuned
    // channel at s/100 (t[k] - t[r]) + t[r]; untuned at s/100 (100 k - root)
    // + root, root = 6030 here. The tuning must give the untuned pitch less
    // the sample's offset at every key.
    const PresetTuning& scaled = tunings[1];
    EXPECT_EQ(scaled.bank, 8);
    const double offset = cents_of(24000.0 / 92) - 6030.0;
    EXPECT_NEAR(scaled.offset_cents[60], offset, 1e-9);
    for (int key : {0, 59, 60, 61, 127}) {
        double tuned = 0.5 * (scaled.key_cents[key] - scaled.key_cents[60]) + scaled.key_cents[60];
        double untuned = 0.5 * (100.0 * key - 6030.0) + 6030.0;
        EXPECT_NEAR(tuned, untuned - offset, 1e-9) << "key " << key;
    }
}

TEST(SoundFontPitch, DamagedDataGivesNoTuningsAndReadsNothingOutside)
{
    std::vector<uint8_t> file = sine_soundfont_bytes(
        one_preset({kFlatC, {44100, 100, 1, 69, 0, false}}, {SineZone{0, 59, 0}, SineZone{60, 127, 1}}));
    std::vector<uint8_t> pdta = pdta_of(file);
    ASSERT_FALSE(pdta.empty());
    std::vector<PresetTuning> tunings;
    ASSERT_TRUE(soundfont_tunings_from_pdta(pdta.data(), pdta.size(), 0.0, &tunings));
    ASSERT_EQ(tunings.size(), 1u);

    // Cut anywhere: a chunk runs past the end or a table is missing. Each
    // prefix is copied so that the sanitizers catch any read beyond it.
    for (size_t size = 0; size < pdta.size(); ++size) {
        std::vector<uint8_t> cut(pdta.begin(), pdta.begin() + size);
        EXPECT_FALSE(soundfont_tunings_from_pdta(cut.data(), cut.size(), 0.0, &tunings)) << size;
        EXPECT_TRUE(tunings.empty());
    }
    // Garbled bytes: indices out of range are skipped, never followed.
    std::mt19937 random(7);
    for (int round = 0; round < 2000; ++round) {
        std::vector<uint8_t> garbled = pdta;
        for (int i = 0; i < 4; ++i)
            garbled[random() % garbled.size()] = static_cast<uint8_t>(random());
        if (soundfont_tunings_from_pdta(garbled.data(), garbled.size(), 0.0, &tunings)) {
            EXPECT_LE(tunings.size(), 1u);  // a longer preset table would swallow the tables after it
        }
    }

    // Files: not a SoundFont, missing, cut before the preset data.
    std::string path = ::testing::TempDir() + "varenta-damaged-" + std::to_string(getpid()) + ".sf2";
    for (size_t size : {size_t{0}, size_t{12}, file.size() - pdta.size()}) {
        std::FILE* out = std::fopen(path.c_str(), "wb");
        ASSERT_NE(out, nullptr);
        std::fwrite(file.data(), 1, size, out);
        std::fclose(out);
        EXPECT_FALSE(soundfont_tunings_from_file(path.c_str(), 0.0, &tunings)) << size;
    }
    std::remove(path.c_str());
    EXPECT_FALSE(soundfont_tunings_from_file(path.c_str(), 0.0, &tunings));
    EXPECT_FALSE(soundfont_tunings_from_file(nullptr, 0.0, &tunings));
}

TEST(SoundFontPitch, TheCacheIsKeptPerFileAndRenewedWhenTheFileChanges)
{
    const std::string base = ::testing::TempDir() + "varenta-cache-" + std::to_string(getpid());
    const std::string path = base + ".sf2", cache = base + "/varenta";
    SineSample sharp{38000, 205, 2, 66, 0, true};
    ASSERT_TRUE(write_sine_soundfont(path, one_preset({kFlatC}, {SineZone{0, 127, 0}})));
    std::vector<PresetTuning> first, again;
    ASSERT_TRUE(soundfont_tunings_cached(path.c_str(), 0.5, cache, &first));  // creates both folders
    ASSERT_EQ(first.size(), 1u);
    EXPECT_NEAR(first[0].offset_cents[60], kFlatCOffset, 1e-9);
    EXPECT_NEAR(first[0].key_cents[60], 6000.5 - kFlatCOffset, 1e-9);
    ASSERT_TRUE(soundfont_tunings_cached(path.c_str(), 0.5, cache, &again));
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(std::memcmp(&first[0], &again[0], sizeof(PresetTuning)), 0);
    // Read back with another raise: every key moves by the difference.
    ASSERT_TRUE(soundfont_tunings_from_cache(path.c_str(), 0.0, cache, &again));
    ASSERT_EQ(again.size(), 1u);
    EXPECT_NEAR(again[0].key_cents[60], 6000.0 - kFlatCOffset, 1e-9);

    // Another SoundFont under the same name (another size): not in the
    // cache, so worked out anew.
    ASSERT_TRUE(write_sine_soundfont(path, one_preset({kFlatC, sharp}, {SineZone{0, 127, 1}})));
    EXPECT_FALSE(soundfont_tunings_from_cache(path.c_str(), 0.5, cache, &again));
    EXPECT_TRUE(again.empty());
    ASSERT_TRUE(soundfont_tunings_cached(path.c_str(), 0.5, cache, &again));
    ASSERT_EQ(again.size(), 1u);
    EXPECT_NEAR(again[0].offset_cents[60], cents_of(2.0 * 38000 / 205) - 6600.0, 1e-9);
    // A cache folder that cannot be made costs only the work.
    ASSERT_TRUE(soundfont_tunings_cached(path.c_str(), 0.5, path + "/not-a-folder", &again));
    EXPECT_EQ(again.size(), 1u);

    std::remove(path.c_str());
    EXPECT_FALSE(soundfont_tunings_cached(path.c_str(), 0.5, cache, &again));
    EXPECT_TRUE(again.empty());
    std::string command = "rm -r '" + base + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
}

TEST(SoundFontPitch, WorkToldToStopGivesUpAndKeepsNothing)
{
    std::atomic<bool> stop{true};
    double offset = 123.0, settled = 123.0;
    std::vector<float> flat_c = sampled(92, 24000, [](double t) { return 0.5 * std::sin(2.0 * kPi * t * 24000 / 92); });
    EXPECT_FALSE(looped_sample_offset(flat_c.data(), 0, flat_c.size(), 24000, 6000.0, &offset, &settled, &stop));
    std::vector<float> steady = sampled(44100, 44100, [](double t) { return five_harmonics(441.0, t); });
    EXPECT_FALSE(unlooped_sample_offset(steady.data(), steady.size(), 44100, 6900.0, &offset, &stop));
    EXPECT_EQ(offset, 123.0);

    const SineSoundFont font = one_preset({kFlatC}, {SineZone{0, 127, 0}});
    std::vector<uint8_t> bytes = sine_soundfont_bytes(font);
    std::vector<PresetTuning> tunings;
    EXPECT_FALSE(soundfont_tunings_from_bytes(bytes.data(), bytes.size(), 0.5, &tunings, &stop));
    EXPECT_TRUE(tunings.empty());
    const std::string base = ::testing::TempDir() + "varenta-stop-" + std::to_string(getpid());
    ASSERT_TRUE(write_sine_soundfont(base + ".sf2", font));
    EXPECT_FALSE(soundfont_tunings_cached((base + ".sf2").c_str(), 0.5, base, &tunings, &stop));
    EXPECT_FALSE(soundfont_tunings_from_cache((base + ".sf2").c_str(), 0.5, base, &tunings));
    stop = false;
    EXPECT_TRUE(soundfont_tunings_cached((base + ".sf2").c_str(), 0.5, base, &tunings, &stop));
    EXPECT_TRUE(tunings[0].corrected[60]);
    std::remove((base + ".sf2").c_str());
    std::string command = "rm -r '" + base + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
}

// The SoundFont reader's fuzzing seeds and every input that once failed it.
TEST(FuzzCorpora, TheSoundFontReaderReplaysItsSeedsAndRegressions)
{
    EXPECT_GT(fuzz_replay_corpus("soundfont", fuzz_soundfont), 0);
}

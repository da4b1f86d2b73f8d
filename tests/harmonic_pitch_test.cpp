// The harmonic pitch estimator on signals whose pitch is known exactly:
// harmonic tones off the FFT's bins, a missing fundamental, tones out of
// range, noise and silence.
#include "bridge/harmonic_pitch.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

const double kPi = std::acos(-1.0);
constexpr double kRate = 44100.0;

// count samples of harmonics first..last of hz, the h-th at amplitude
// 0.5 / h, each at a phase of its own.
std::vector<float> harmonic_tone(double hz, int first, int last, size_t count)
{
    std::vector<float> out(count);
    std::mt19937 random(3);
    std::uniform_real_distribution<double> phase(0.0, 2.0 * kPi);
    for (int h = first; h <= last; ++h) {
        const double p = phase(random);
        for (size_t n = 0; n < count; ++n)
            out[n] += static_cast<float>(0.5 / h * std::sin(2.0 * kPi * h * hz * n / kRate + p));
    }
    return out;
}

double cents(double hz, double reference_hz) { return 1200.0 * std::log2(hz / reference_hz); }

}  // namespace

TEST(HarmonicPitch, FindsTheFundamentalOfAHarmonicToneBetweenBins)
{
    for (double hz : {82.41, 261.7, 1046.5 * 1.0013}) {
        std::vector<float> tone = harmonic_tone(hz, 1, 8, 44100);
        // Guessed up to 40 cents off either way.
        for (double guess : {hz, hz * std::exp2(40.0 / 1200), hz * std::exp2(-40.0 / 1200)}) {
            HarmonicPitch p = harmonic_pitch(tone.data(), tone.size(), kRate, guess, 60.0, 8, 0.05);
            EXPECT_NEAR(cents(p.frequency_hz, hz), 0.0, 0.002) << hz << " guessed " << guess;
            EXPECT_EQ(p.harmonics, 8) << hz;
            EXPECT_LT(p.side_ratio, 1e-3);
        }
    }
}

TEST(HarmonicPitch, AMissingFundamentalIsStillTheFundamental)
{
    std::vector<float> tone = harmonic_tone(110.3, 2, 8, 30000);
    HarmonicPitch p = harmonic_pitch(tone.data(), tone.size(), kRate, 110.0, 60.0, 8, 0.05);
    EXPECT_NEAR(cents(p.frequency_hz, 110.3), 0.0, 0.002);
    EXPECT_EQ(p.harmonics, 7);
    // Counting only the first harmonic, the second is its nearest: one
    // octave is not within the range searched.
    p = harmonic_pitch(tone.data(), tone.size(), kRate, 110.0, 60.0, 1, 0.05);
    EXPECT_TRUE(std::isnan(p.frequency_hz));
}

TEST(HarmonicPitch, WeakHarmonicsAreLeftOutAndStrongOnesWeighByTheirEnergy)
{
    // A fundamental at 200 Hz with a second "harmonic" 3 cents sharp at a
    // third of its amplitude: the result lies a tenth of the way (energies
    // 9 : 1) towards the sharp one's pitch.
    std::vector<float> tone(44100);
    const double sharp = 400.0 * std::exp2(3.0 / 1200);
    for (size_t n = 0; n < tone.size(); ++n)
        tone[n] = static_cast<float>(0.3 * std::sin(2.0 * kPi * 200.0 * n / kRate) +
                                     0.1 * std::sin(2.0 * kPi * sharp * n / kRate) +
                                     0.009 * std::sin(2.0 * kPi * 600.0 * n / kRate));
    HarmonicPitch p = harmonic_pitch(tone.data(), tone.size(), kRate, 200.0, 60.0, 8, 0.05);
    const double expected = (0.09 * 200.0 + 0.01 * sharp / 2.0) / 0.1;
    EXPECT_NEAR(cents(p.frequency_hz, expected), 0.0, 0.002);
    EXPECT_EQ(p.harmonics, 2);  // the third is below a thirtieth of the strongest
    EXPECT_NEAR(p.amplitude, std::sqrt(0.3 * 0.3 + 0.1 * 0.1), 0.01);
}

TEST(HarmonicPitch, APartialSplitIntoLinesIsTheirPowerWeightedMeanAndMovesWithTheTuning)
{
    // Each of three harmonics of 440 Hz split into two lines 20 cents
    // apart, the upper at 0.8 of the lower's amplitude, as a loop of many
    // cycles sounds: either line alone is 8 cents or more off their mean.
    // Retuned by 3 cents, the reading moves by exactly that.
    auto split = [](double hz) {
        std::vector<float> tone(2 * 44100);
        const double upper = std::exp2(20.0 / 1200);
        for (size_t n = 0; n < tone.size(); ++n) {
            double x = 0.0;
            for (int h = 1; h <= 3; ++h)
                x += (0.3 * std::sin(2.0 * kPi * h * hz * n / kRate + h) +
                      0.24 * std::sin(2.0 * kPi * h * hz * upper * n / kRate)) / h;
            tone[n] = static_cast<float>(x);
        }
        return tone;
    };
    const double mean_hz = 440.0 * (1.0 + 0.64 * std::exp2(20.0 / 1200)) / 1.64;
    std::vector<float> tone = split(440.0);
    HarmonicPitch p = harmonic_pitch(tone.data(), tone.size(), kRate, 440.0, 60.0, 8, 0.5);
    EXPECT_NEAR(cents(p.frequency_hz, mean_hz), 0.0, 0.002);
    EXPECT_EQ(p.harmonics, 3);
    tone = split(440.0 * std::exp2(3.0 / 1200));
    HarmonicPitch tuned = harmonic_pitch(tone.data(), tone.size(), kRate, 440.0, 60.0, 8, 0.5);
    EXPECT_NEAR(cents(tuned.frequency_hz, p.frequency_hz), 3.0, 0.002);
}

TEST(HarmonicPitch, NoPitchWithoutAClearPeakInRange)
{
    std::vector<float> tone = harmonic_tone(440.0, 1, 1, 22050);
    // 100 cents from the guess: outside the 60 searched.
    EXPECT_TRUE(std::isnan(harmonic_pitch(tone.data(), tone.size(), kRate, 415.3, 60.0, 1, 0.05).frequency_hz));
    std::vector<float> noise(22050), silence(22050);
    std::mt19937 random(11);
    std::normal_distribution<float> gauss(0.0f, 0.1f);
    for (float& x : noise)
        x = gauss(random);
    HarmonicPitch p = harmonic_pitch(noise.data(), noise.size(), kRate, 440.0, 60.0, 8, 0.05);
    EXPECT_TRUE(std::isnan(p.frequency_hz));
    EXPECT_EQ(p.harmonics, 0);
    EXPECT_TRUE(std::isnan(harmonic_pitch(silence.data(), silence.size(), kRate, 440.0, 60.0, 8, 1.0).frequency_hz));
    // Two tones 12 Hz apart in a quarter second (4 Hz resolution): each
    // stands out, but not clear of the other by 5 resolutions.
    std::vector<float> pair(11025);
    for (size_t n = 0; n < pair.size(); ++n)
        pair[n] = static_cast<float>(std::sin(2.0 * kPi * 440.0 * n / kRate) + std::sin(2.0 * kPi * 452.0 * n / kRate));
    EXPECT_TRUE(std::isnan(harmonic_pitch(pair.data(), pair.size(), kRate, 440.0, 60.0, 1, 0.05).frequency_hz));
    EXPECT_GT(harmonic_pitch(pair.data(), pair.size(), kRate, 440.0, 60.0, 1, 1.01).side_ratio, 0.05);
    // Arguments out of range.
    EXPECT_TRUE(std::isnan(harmonic_pitch(tone.data(), 63, kRate, 440.0, 60.0, 1, 0.05).frequency_hz));
    EXPECT_TRUE(std::isnan(harmonic_pitch(tone.data(), tone.size(), kRate, 440.0, 60.0, 17, 0.05).frequency_hz));
    EXPECT_TRUE(std::isnan(harmonic_pitch(nullptr, tone.size(), kRate, 440.0, 60.0, 1, 0.05).frequency_hz));
}

// The pitch estimator on signals whose pitch is known exactly: harmonic
// tones off the FFT's bins and off the guess, tones of many harmonics with
// random amplitudes, reverberation and noise, a weak or missing fundamental,
// a partial split into lines, tones out of range, noise and silence; and
// what --measure needs around it: the shift between two spectra however far,
// and a buffer's level.
#include "hearing/pitch.h"
#include "pitch/harmonic_pitch.h"
#include "synthetic_notes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <thread>
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

// How far --measure's reading of note lies from its pitch, in cents.
double measured_error_cents(const SyntheticNote& note, double guess_hz, double search_cents = 60.0)
{
    std::vector<float> samples = synthetic_note(note);
    return cents(measured_pitch_hz(samples.data(), samples.size(), note.sample_rate, guess_hz, search_cents),
                 note.frequency_hz);
}

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
    // Low, middle and high keys, pure and of 16 harmonics with random
    // amplitudes, each well off the guess (the nominal key), as --measure
    // weighs them.
    for (double hz : {65.4064 * 1.004, 261.6256 / 1.013, 440.0 * 1.0271, 1975.533 * 0.995}) {
        SyntheticNote pure;
        pure.frequency_hz = hz;
        EXPECT_NEAR(measured_error_cents(pure, hz * 1.01), 0.0, 0.001) << hz;
        SyntheticNote rich = pure;
        rich.harmonics = 16;
        rich.random_amplitudes = true;
        rich.seed = static_cast<uint32_t>(hz);
        EXPECT_NEAR(measured_error_cents(rich, hz / 1.01), 0.0, 0.001) << hz;
    }
}

TEST(HarmonicPitch, HoldsUnderReverberationNoiseAndAWeakFundamental)
{
    SyntheticNote note;
    note.frequency_hz = 97.9989 * std::pow(2.0, 7.3 / 1200.0);
    note.harmonics = 12;
    note.random_amplitudes = true;
    note.reverb_seconds = 0.1;
    note.noise_db = -60.0;
    note.seed = 7;
    EXPECT_NEAR(measured_error_cents(note, 97.9989), 0.0, 0.001);

    // A quarter of a second of a low note, the noise heaviest against its
    // harmonics of sixteen: the harmonics weighed by how finely each fixes
    // the fundamental (by their energy alone, 0.0012 cents off).
    SyntheticNote low;
    low.frequency_hz = 73.4162 * std::pow(2.0, -31.0 / 1200.0);
    low.seconds = 0.25;
    low.harmonics = 16;
    low.random_amplitudes = true;
    low.reverb_seconds = 0.3;
    low.noise_db = -60.0;
    for (uint32_t seed : {38u, 39u, 40u}) {
        low.seed = seed;
        EXPECT_NEAR(measured_error_cents(low, 73.4162), 0.0, 0.001) << seed;
    }

    // Its fundamental 40 dB down: found through the harmonics, not an
    // octave or a fifth away.
    note.fundamental_gain = 0.01;
    EXPECT_NEAR(measured_error_cents(note, 97.9989), 0.0, 0.001);
    std::vector<float> weak = synthetic_note(note);
    HarmonicPitch p = harmonic_pitch(weak.data(), weak.size(), note.sample_rate, 97.9989, 60.0,
                                     MEASURE_PITCH_HARMONICS, MEASURE_PITCH_CLEAR_RATIO);
    EXPECT_GE(p.harmonics, 8);
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

TEST(HarmonicPitch, AWideSearchTakesNoHarmonicForItsNeighbour)
{
    // 45 cents flat of the guess, searched 90 cents either way: the ranges
    // of the upper multiples of the guess reach the next harmonics (the
    // 15th's holds the 16th), and the 16th is by far the strongest.
    const double hz = 200.0 * std::exp2(-45.0 / 1200);
    std::vector<float> tone(22050);
    for (size_t n = 0; n < tone.size(); ++n) {
        double x = 0.0;
        for (int h = 1; h <= 16; ++h)
            x += (h == 16 ? 0.5 : 0.05) * std::sin(2.0 * kPi * h * hz * n / kRate + h);
        tone[n] = static_cast<float>(x);
    }
    HarmonicPitch p = harmonic_pitch(tone.data(), tone.size(), kRate, 200.0, 90.0, 16, 0.5);
    EXPECT_NEAR(cents(p.frequency_hz, hz), 0.0, 0.002);
    EXPECT_EQ(p.harmonics, 16);
}

TEST(HarmonicPitch, AToneNearTheEdgeOfTheRangeIsFoundOneBeyondItIsNot)
{
    for (double off_cents : {58.0, -58.0, 62.0, -62.0}) {
        const double hz = 440.0 * std::exp2(off_cents / 1200);
        std::vector<float> tone = harmonic_tone(hz, 1, 1, 44100);
        HarmonicPitch p = harmonic_pitch(tone.data(), tone.size(), kRate, 440.0, 60.0, 1, 0.05);
        if (std::fabs(off_cents) < 60.0)
            EXPECT_NEAR(cents(p.frequency_hz, hz), 0.0, 0.002) << off_cents;
        else
            EXPECT_TRUE(std::isnan(p.frequency_hz)) << off_cents;
    }
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

TEST(HarmonicPitch, ThreadsMeasuringAtOnceReadAsOneThreadDoes)
{
    // Windows of lengths no other test uses, so that the threads plan their
    // transforms at the same time (two of them of one size).
    std::vector<float> tone = harmonic_tone(261.7, 1, 8, 600000);
    const std::vector<size_t> counts = {150000, 300000, 450000, 600000};
    std::vector<double> at_once(counts.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < counts.size(); ++i) {
        threads.emplace_back([&, i] {
            for (int repeat = 0; repeat < 3; ++repeat)
                at_once[i] = harmonic_pitch(tone.data(), counts[i], kRate, 261.7, 60.0, 8, 0.05).frequency_hz;
        });
    }
    for (std::thread& t : threads)
        t.join();
    for (size_t i = 0; i < counts.size(); ++i) {
        EXPECT_EQ(at_once[i], harmonic_pitch(tone.data(), counts[i], kRate, 261.7, 60.0, 8, 0.05).frequency_hz);
        EXPECT_NEAR(cents(at_once[i], 261.7), 0.0, 0.002) << counts[i];
    }
}

TEST(MeasureLevel, IsTheRmsInDecibelsAndMinusInfinityForSilence)
{
    SyntheticNote note;
    note.seconds = 0.01;
    std::vector<float> short_note = synthetic_note(note);
    EXPECT_NEAR(level_db(short_note.data(), short_note.size()), 20.0 * std::log10(0.25 / std::sqrt(2.0)), 0.2);
    std::vector<float> silence(20000, 0.0f);
    EXPECT_TRUE(std::isinf(level_db(silence.data(), silence.size())));
    EXPECT_TRUE(std::isnan(measured_pitch_hz(silence.data(), silence.size(), 44100.0, 440.0, 60.0)));
}

TEST(PitchShift, FindsABendFarBeyondTheNarrowSearchWithoutOctaveErrors)
{
    SyntheticNote reference;
    reference.frequency_hz = 220.0;
    reference.harmonics = 10;
    reference.random_amplitudes = true;
    reference.seed = 3;
    std::vector<float> a = synthetic_note(reference);
    // A whole octave up (where half the partials line up with the
    // reference's), a fifth down, twelve semitones and a quarter-tone up.
    for (double cents : {1200.0, -700.0, 1250.0, 0.0, -2400.0}) {
        SyntheticNote bent = reference;
        bent.frequency_hz = 220.0 * std::pow(2.0, cents / 1200.0);
        bent.seed = 4;
        std::vector<float> b = synthetic_note(bent);
        double shift = estimate_shift_cents(a.data(), a.size(), b.data(), b.size(), 44100.0, 3000.0);
        EXPECT_NEAR(shift, cents, 5.0) << cents;
    }
    SyntheticNote pure;
    pure.frequency_hz = 440.0;
    std::vector<float> p = synthetic_note(pure);
    pure.frequency_hz = 440.0 * std::pow(2.0, -1390.0 / 1200.0);
    std::vector<float> q = synthetic_note(pure);
    EXPECT_NEAR(estimate_shift_cents(p.data(), p.size(), q.data(), q.size(), 44100.0, 2500.0), -1390.0, 5.0);
    std::vector<float> silence(p.size(), 0.0f);
    EXPECT_TRUE(std::isnan(estimate_shift_cents(p.data(), p.size(), silence.data(), silence.size(), 44100.0, 2500.0)));
}

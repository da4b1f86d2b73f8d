// The pitch estimator on synthetic notes of known pitch: pure tones, tones of
// many harmonics with random amplitudes, a weak or missing fundamental,
// reverberation and noise; and the shift between two spectra, however far.
#include "measure/pitch.h"
#include "synthetic_notes.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

double error_cents(const SyntheticNote& note, double guess_hz, double search_cents = 60.0)
{
    std::vector<float> samples = synthetic_note(note);
    PitchEstimate e = estimate_pitch(samples.data(), samples.size(), note.sample_rate, guess_hz, search_cents);
    return cents_between_hz(note.frequency_hz, e.frequency_hz);
}

TEST(PitchEstimate, FindsTheFundamentalOfPureAndHarmonicTonesOffTheGuess)
{
    // Low, middle and high keys, each well off the guess (the nominal key).
    for (double hz : {65.4064 * 1.004, 261.6256 / 1.013, 440.0 * 1.0271, 1975.533 * 0.995}) {
        SyntheticNote pure;
        pure.frequency_hz = hz;
        EXPECT_LT(std::fabs(error_cents(pure, hz * 1.01)), 0.05) << hz;

        SyntheticNote rich = pure;
        rich.harmonics = 16;
        rich.random_amplitudes = true;
        rich.seed = static_cast<uint32_t>(hz);
        EXPECT_LT(std::fabs(error_cents(rich, hz / 1.01)), 0.05) << hz;
    }
}

TEST(PitchEstimate, HoldsUnderReverberationNoiseAndAWeakFundamental)
{
    SyntheticNote note;
    note.frequency_hz = 97.9989 * std::pow(2.0, 7.3 / 1200.0);
    note.harmonics = 12;
    note.random_amplitudes = true;
    note.reverb_seconds = 0.1;
    note.noise_db = -60.0;
    note.seed = 7;
    EXPECT_LT(std::fabs(error_cents(note, 97.9989)), 0.05);

    // Its fundamental 40 dB down: found through the harmonics, not an
    // octave or a fifth away.
    note.fundamental_gain = 0.01;
    EXPECT_LT(std::fabs(error_cents(note, 97.9989)), 0.05);
    std::vector<float> weak = synthetic_note(note);
    PitchEstimate e = estimate_pitch(weak.data(), weak.size(), note.sample_rate, 97.9989, 60.0);
    EXPECT_GE(e.harmonics, 8);
}

TEST(PitchEstimate, SaysNothingForSilenceOrATooShortBuffer)
{
    std::vector<float> silence(20000, 0.0f);
    PitchEstimate e = estimate_pitch(silence.data(), silence.size(), 44100.0, 440.0, 60.0);
    EXPECT_TRUE(std::isnan(e.frequency_hz));
    EXPECT_EQ(e.harmonics, 0);
    EXPECT_TRUE(std::isinf(e.level_db));

    SyntheticNote note;
    note.seconds = 0.01;
    std::vector<float> short_note = synthetic_note(note);
    EXPECT_TRUE(std::isnan(estimate_pitch(short_note.data(), short_note.size(), 44100.0, 440.0, 60.0).frequency_hz));
    EXPECT_NEAR(level_db(short_note.data(), short_note.size()), 20.0 * std::log10(0.25 / std::sqrt(2.0)), 0.2);
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

}  // namespace

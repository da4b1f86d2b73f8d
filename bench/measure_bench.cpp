// The pitch estimator (pitch/harmonic_pitch.h) on synthetic notes of known
// pitch, as a benchmark: its speed for --measure's 250 ms window and for the
// bridge's 2 s one, and its worst error over keys 36 to 96, as --measure
// asks it, for pure tones, 16-harmonic tones with random amplitudes, and
// those with reverberation and noise at -60 dB (the counter worst_cents; the
// run is marked as an error when it exceeds 0.05 cents).
#include "hearing/pitch.h"
#include "pitch/harmonic_pitch.h"
#include "synthetic_notes.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

constexpr double kLimitCents = 0.05;

enum Kind { PURE, HARMONIC, REVERB_AND_NOISE };

SyntheticNote note_of(Kind kind, double hz, uint32_t seed)
{
    SyntheticNote note;
    note.frequency_hz = hz;
    note.seconds = 0.25;
    note.seed = seed;
    if (kind != PURE) {
        note.harmonics = 16;
        note.random_amplitudes = true;
    }
    if (kind == REVERB_AND_NOISE) {
        note.reverb_seconds = 0.3;
        note.noise_db = -60.0;
    }
    return note;
}

// Every key from 36 to 96, each detuned at random within +-50 cents and
// looked for around its nominal pitch.
void Accuracy(benchmark::State& state)
{
    const Kind kind = static_cast<Kind>(state.range(0));
    std::mt19937 random(11);
    std::uniform_real_distribution<double> detune(-50.0, 50.0);
    std::vector<std::vector<float>> notes;
    std::vector<double> truth, guess;
    for (int key = 36; key <= 96; ++key) {
        double nominal = 440.0 * std::pow(2.0, (key - 69) / 12.0);
        double hz = nominal * std::pow(2.0, detune(random) / 1200.0);
        notes.push_back(synthetic_note(note_of(kind, hz, static_cast<uint32_t>(key))));
        truth.push_back(hz);
        guess.push_back(nominal);
    }
    double worst = 0.0;
    for (auto _ : state) {
        for (size_t i = 0; i < notes.size(); ++i) {
            double hz = measured_pitch_hz(notes[i].data(), notes[i].size(), 44100.0, guess[i], 90.0);
            double error = std::fabs(cents_between_hz(truth[i], hz));
            worst = std::isnan(error) ? INFINITY : std::max(worst, error);
        }
    }
    state.counters["worst_cents"] = worst;
    state.counters["notes"] = static_cast<double>(notes.size());
    if (!(worst <= kLimitCents))
        state.SkipWithError("the estimator is off by more than 0.05 cents");
}
BENCHMARK(Accuracy)->Arg(PURE)->Arg(HARMONIC)->Arg(REVERB_AND_NOISE)->Unit(benchmark::kMillisecond)->Iterations(1);

// One estimate of a 16-harmonic note from a 250 ms window, as --measure makes it.
void EstimateSpeed(benchmark::State& state)
{
    std::vector<float> samples = synthetic_note(note_of(HARMONIC, 261.63, 5));
    for (auto _ : state)
        benchmark::DoNotOptimize(measured_pitch_hz(samples.data(), samples.size(), 44100.0, 261.63, 90.0));
}
BENCHMARK(EstimateSpeed)->Unit(benchmark::kMillisecond);

// One measurement as the bridge makes it: a 16-harmonic note over a 2 s
// window, eight harmonics.
void BridgeWindowSpeed(benchmark::State& state)
{
    SyntheticNote note = note_of(HARMONIC, 261.63, 5);
    note.seconds = 2.0;
    std::vector<float> samples = synthetic_note(note);
    for (auto _ : state)
        benchmark::DoNotOptimize(harmonic_pitch(samples.data(), samples.size(), 44100.0, 261.63, 60.0, 8, 0.5));
}
BENCHMARK(BridgeWindowSpeed)->Unit(benchmark::kMillisecond);

// The shift search of a far bend.
void ShiftSpeed(benchmark::State& state)
{
    std::vector<float> a = synthetic_note(note_of(HARMONIC, 261.63, 5));
    std::vector<float> b = synthetic_note(note_of(HARMONIC, 261.63 * 2.0, 6));
    for (auto _ : state)
        benchmark::DoNotOptimize(estimate_shift_cents(a.data(), a.size(), b.data(), b.size(), 44100.0, 3000.0));
}
BENCHMARK(ShiftSpeed)->Unit(benchmark::kMillisecond);

}  // namespace

// Synthetic notes of known pitch; see synthetic_notes.h.
#include "synthetic_notes.h"

#include <cmath>
#include <random>

std::vector<float> synthetic_note(const SyntheticNote& note)
{
    const double pi = std::acos(-1.0);
    std::mt19937 random(note.seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> amplitude(note.harmonics), phase(note.harmonics);
    for (int k = 0; k < note.harmonics; ++k) {
        amplitude[k] = note.level * (note.random_amplitudes && k > 0 ? 0.05 + 0.95 * unit(random) : 1.0);
        phase[k] = 2.0 * pi * unit(random);
    }
    amplitude[0] *= note.fundamental_gain;
    // The reverberation needs the note from before the buffer starts.
    const size_t tail = static_cast<size_t>(note.reverb_seconds * note.sample_rate);
    const size_t count = static_cast<size_t>(note.seconds * note.sample_rate);
    std::vector<double> dry(tail + count);
    for (size_t n = 0; n < dry.size(); ++n) {
        double t = static_cast<double>(n) / note.sample_rate;
        double sum = 0.0;
        for (int k = 0; k < note.harmonics; ++k) {
            double f = (k + 1) * note.frequency_hz;
            if (f < 0.5 * note.sample_rate)
                sum += amplitude[k] * std::sin(2.0 * pi * f * t + phase[k]);
        }
        dry[n] = sum;
    }
    std::vector<double> wet(count, 0.0);
    if (tail > 0) {
        std::normal_distribution<double> gauss(0.0, 1.0);
        std::vector<double> response(tail);
        double energy = 0.0;
        for (size_t i = 0; i < tail; ++i) {
            response[i] = gauss(random) * std::pow(10.0, -3.0 * static_cast<double>(i) / static_cast<double>(tail));
            energy += response[i] * response[i];
        }
        for (double& r : response)
            r *= 0.5 / std::sqrt(energy);
        for (size_t n = 0; n < count; ++n) {
            double sum = 0.0;
            for (size_t i = 0; i < tail; ++i)
                sum += response[i] * dry[tail + n - i];
            wet[n] = sum;
        }
    }
    double power = 0.0;
    for (size_t n = 0; n < count; ++n)
        power += dry[tail + n] * dry[tail + n];
    const double noise_rms = std::sqrt(power / static_cast<double>(count)) * std::pow(10.0, note.noise_db / 20.0);
    std::normal_distribution<double> noise(0.0, noise_rms);
    std::vector<float> samples(count);
    for (size_t n = 0; n < count; ++n)
        samples[n] = static_cast<float>(dry[tail + n] + wet[n] + noise(random));
    return samples;
}

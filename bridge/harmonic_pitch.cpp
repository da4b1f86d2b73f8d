// The fundamental of a harmonic sound from its harmonics; see
// harmonic_pitch.h.
//
// The spectrum is computed once by FFT to find the peaks; each peak is then
// located by evaluating the windowed signal's transform at any frequency and
// fitting a parabola to the logarithm of its magnitude, twice, ever closer
// around the peak: a few evaluations instead of a search, each exact.
#include "bridge/harmonic_pitch.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <vector>

namespace {

const double kPi = std::acos(-1.0);
constexpr double kHarmonicFloor = 1.0 / 30.0;  // weaker harmonics weigh less than a thousandth
constexpr double kTopFraction = 0.45;   // of the sample rate: harmonics above are left out
constexpr size_t kLeastSamples = 64;

// The samples under a four-term Blackman-Harris window; sum receives the
// window's sum.
std::vector<double> windowed(const float* samples, size_t count, double* sum)
{
    std::vector<double> signal(count);
    const double a0 = 0.35875, a1 = 0.48829, a2 = 0.14128, a3 = 0.01168;
    *sum = 0.0;
    for (size_t n = 0; n < count; ++n) {
        const double x = 2.0 * kPi * static_cast<double>(n) / static_cast<double>(count - 1);
        const double w = a0 - a1 * std::cos(x) + a2 * std::cos(2.0 * x) - a3 * std::cos(3.0 * x);
        signal[n] = w * samples[n];
        *sum += w;
    }
    return signal;
}

// |DFT| of signal zero-padded to size (a power of two), bins 0 .. size / 2.
std::vector<double> magnitudes(const std::vector<double>& signal, size_t size)
{
    std::vector<std::complex<double>> x(size);
    for (size_t n = 0; n < signal.size() && n < size; ++n)
        x[n] = signal[n];
    for (size_t i = 1, j = 0; i < size; ++i) {  // bit-reversed order
        size_t bit = size >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j)
            std::swap(x[i], x[j]);
    }
    for (size_t length = 2; length <= size; length <<= 1) {
        const size_t half = length / 2;
        std::vector<std::complex<double>> twiddle(half);
        for (size_t k = 0; k < half; ++k)
            twiddle[k] = std::polar(1.0, -2.0 * kPi * static_cast<double>(k) / static_cast<double>(length));
        for (size_t i = 0; i < size; i += length) {
            for (size_t k = 0; k < half; ++k) {
                const std::complex<double> u = x[i + k], v = x[i + k + half] * twiddle[k];
                x[i + k] = u + v;
                x[i + k + half] = u - v;
            }
        }
    }
    std::vector<double> out(size / 2 + 1);
    for (size_t k = 0; k < out.size(); ++k)
        out[k] = std::abs(x[k]);
    return out;
}

// |sum of signal[n] * exp(-i 2 pi f n / rate)|, the phasor kept exact by
// starting it afresh every few thousand steps.
double magnitude_at(const std::vector<double>& signal, double rate, double frequency)
{
    const double step = -2.0 * kPi * frequency / rate;
    const std::complex<double> rotation = std::polar(1.0, step);
    std::complex<double> sum = 0.0;
    std::complex<double> phasor = 1.0;
    for (size_t n = 0; n < signal.size(); ++n) {
        if (n % 2048 == 0)
            phasor = std::polar(1.0, step * static_cast<double>(n));
        sum += signal[n] * phasor;
        phasor *= rotation;
    }
    return std::abs(sum);
}

// The strongest bin within [low_hz, high_hz] (bins bin_hz apart); -1 when
// the range holds none or its strongest bin lies at its edge.
long strongest_bin(const std::vector<double>& bins, double bin_hz, double low_hz, double high_hz)
{
    const long first = static_cast<long>(std::ceil(low_hz / bin_hz));
    const long last = std::min(static_cast<long>(std::floor(high_hz / bin_hz)), static_cast<long>(bins.size()) - 2);
    if (first < 1 || last <= first)
        return -1;
    long best = first;
    for (long k = first; k <= last; ++k) {
        if (bins[k] > bins[best])
            best = k;
    }
    return best == first || best == last ? -1 : best;
}

// The vertex of the parabola through (-1, a), (0, b), (1, c), as an offset
// in -1..1; 0 where the three points do not bend down.
double vertex(double a, double b, double c)
{
    const double bend = a - 2.0 * b + c;
    if (!(bend < 0.0))
        return 0.0;
    return std::clamp(0.5 * (a - c) / bend, -1.0, 1.0);
}

// The peak near bin k (bin_hz wide) located to far below one resolution
// (resolution_hz): a parabola through the logarithms of the magnitudes of
// bins k - 1 .. k + 1, then through exact magnitudes a twentieth and a
// five-hundredth of a resolution either side of each new estimate. magnitude
// receives the magnitude at the peak.
double locate_peak(const std::vector<double>& signal, const std::vector<double>& bins, long k, double bin_hz,
                   double rate, double resolution_hz, double* magnitude)
{
    auto log_of = [](double m) { return std::log(std::max(m, 1e-300)); };
    double f = bin_hz * (k + vertex(log_of(bins[k - 1]), log_of(bins[k]), log_of(bins[k + 1])));
    for (double step : {0.05 * resolution_hz, 0.002 * resolution_hz}) {
        const double below = log_of(magnitude_at(signal, rate, f - step));
        const double here = log_of(magnitude_at(signal, rate, f));
        const double above = log_of(magnitude_at(signal, rate, f + step));
        f += step * vertex(below, here, above);
    }
    *magnitude = magnitude_at(signal, rate, f);
    return f;
}

}  // namespace

HarmonicPitch harmonic_pitch(const float* samples, size_t count, double sample_rate_hz, double guess_hz,
                             double search_cents, int harmonics, double clear_ratio)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const HarmonicPitch none{nan, 0.0, 0, nan};
    if (samples == nullptr || count < kLeastSamples || !(sample_rate_hz > 0.0) || !(guess_hz > 0.0) ||
        !(search_cents > 0.0) || harmonics < 1 || harmonics > HARMONIC_PITCH_MAX_HARMONICS)
        return none;
    double window_sum = 0.0;
    const std::vector<double> signal = windowed(samples, count, &window_sum);
    size_t size = 1;  // the strongest bin lies within half a bin of its peak: no padding needed
    while (size < count)
        size <<= 1;
    const std::vector<double> bins = magnitudes(signal, size);
    const double bin_hz = sample_rate_hz / static_cast<double>(size);
    const double resolution_hz = sample_rate_hz / static_cast<double>(count);
    const double top_hz = kTopFraction * sample_rate_hz;
    const double spread = std::exp2(search_cents / 1200.0);

    // The strongest harmonic near its multiple of the guess gives the pitch.
    long loudest = -1;
    int loudest_number = 0;
    for (int h = 1; h <= harmonics && h * guess_hz * spread < top_hz; ++h) {
        const long k = strongest_bin(bins, bin_hz, h * guess_hz / spread, h * guess_hz * spread);
        if (k >= 0 && (loudest < 0 || bins[k] > bins[loudest])) {
            loudest = k;
            loudest_number = h;
        }
    }
    if (loudest < 0)
        return none;
    double peak = 0.0;
    const double loudest_hz = locate_peak(signal, bins, loudest, bin_hz, sample_rate_hz, resolution_hz, &peak);
    double side_ratio = 0.0;
    for (double side : {-5.0 * resolution_hz, 5.0 * resolution_hz})
        side_ratio = std::max(side_ratio, magnitude_at(signal, sample_rate_hz, loudest_hz + side) / peak);
    if (!(side_ratio < clear_ratio))
        return none;
    const double f0 = loudest_hz / loudest_number;

    double weighted = 0.0, energy = 0.0;
    int found = 0;
    for (int h = 1; h <= harmonics && h * f0 + 2.0 * resolution_hz < top_hz; ++h) {
        const long k = strongest_bin(bins, bin_hz, h * f0 - 2.0 * resolution_hz, h * f0 + 2.0 * resolution_hz);
        if (k < 0 || !(bins[k] > kHarmonicFloor * bins[loudest]))
            continue;
        double a = 0.0;
        const double f = locate_peak(signal, bins, k, bin_hz, sample_rate_hz, resolution_hz, &a);
        weighted += a * a * f / h;
        energy += a * a;
        ++found;
    }
    if (!(energy > 0.0))
        return none;
    return HarmonicPitch{weighted / energy, 2.0 * std::sqrt(energy) / window_sum, found, side_ratio};
}

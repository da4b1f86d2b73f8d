// What --measure needs besides the pitch estimator; see pitch.h.
#include "hearing/pitch.h"

#include "pitch/fourier.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr size_t kMinSamples = 1024;
constexpr int kPadding = 4;                 // the FFT is this many times longer than the buffer, at least
constexpr double kHighestFraction = 0.45;   // spectra compared up to this fraction of the sample rate
constexpr double kShiftStepCents = 5.0;     // grid of the logarithmic spectra
constexpr double kShiftLowestHz = 30.0;     // lowest frequency the shift search compares
constexpr double kShiftHighestHz = 12000.0; // highest, below the fraction above

// A windowed buffer's zero-padded magnitude spectrum.
struct Spectrum {
    std::vector<double> magnitude;  // |X| at bins 0 .. padded / 2
    double bin_hz;                  // spacing of the bins
};

size_t padded_length(size_t count)
{
    size_t length = 1;
    while (length < kPadding * count)
        length <<= 1;
    return length;
}

Spectrum spectrum_of(const float* samples, size_t count, double sample_rate)
{
    std::vector<double> signal;
    blackman_harris_window(count, signal);
    for (size_t n = 0; n < count; ++n)
        signal[n] *= samples[n];
    const size_t length = padded_length(count);
    Spectrum s;
    magnitude_spectrum(signal.data(), count, length, s.magnitude);
    s.bin_hz = sample_rate / static_cast<double>(length);
    return s;
}

// The bin of the largest magnitude in [first, last] (clipped to the spectrum).
size_t largest_bin(const Spectrum& s, long first, long last)
{
    const long top = static_cast<long>(s.magnitude.size()) - 1;
    first = std::max(first, 1L);
    last = std::min(last, top - 1);
    size_t best = static_cast<size_t>(first);
    for (long b = first; b <= last; ++b) {
        if (s.magnitude[static_cast<size_t>(b)] > s.magnitude[best])
            best = static_cast<size_t>(b);
    }
    return best;
}

// The magnitude spectrum on a logarithmic grid of kShiftStepCents from
// kShiftLowestHz, each point the largest magnitude among the bins it covers
// (or the nearest bin where the grid is finer than the bins), square-rooted
// so that weaker partials count too.
std::vector<double> log_spectrum(const Spectrum& s, double highest_hz, size_t points)
{
    std::vector<double> grid(points, 0.0);
    const double step = std::pow(2.0, kShiftStepCents / 1200.0);
    for (size_t i = 0; i < points; ++i) {
        double low = kShiftLowestHz * std::pow(step, static_cast<double>(i) - 0.5);
        double high = std::min(low * step, highest_hz);
        long first = std::lround(low / s.bin_hz);
        long last = std::max(first, std::lround(high / s.bin_hz));
        grid[i] = std::sqrt(s.magnitude[largest_bin(s, first, last)]);
    }
    return grid;
}

}  // namespace

double measured_pitch_hz(const float* samples, size_t count, double sample_rate, double guess_hz,
                         double search_cents)
{
    return harmonic_pitch(samples, count, sample_rate, guess_hz, search_cents, MEASURE_PITCH_HARMONICS,
                          MEASURE_PITCH_CLEAR_RATIO, WEIGH_BY_PRECISION)
        .frequency_hz;
}

double level_db(const float* samples, size_t count)
{
    double sum = 0.0;
    for (size_t n = 0; n < count; ++n)
        sum += static_cast<double>(samples[n]) * samples[n];
    if (count == 0 || sum <= 0.0)
        return -std::numeric_limits<double>::infinity();
    return 10.0 * std::log10(sum / static_cast<double>(count));
}

double cents_between_hz(double reference_hz, double hz) { return 1200.0 * std::log2(hz / reference_hz); }

double estimate_shift_cents(const float* reference, size_t reference_count, const float* samples, size_t count,
                            double sample_rate, double max_shift_cents)
{
    if (reference_count < kMinSamples || count < kMinSamples || !(max_shift_cents >= 0.0))
        return kNaN;
    const Spectrum r = spectrum_of(reference, reference_count, sample_rate);
    const Spectrum t = spectrum_of(samples, count, sample_rate);
    const double highest = std::min(kShiftHighestHz, kHighestFraction * sample_rate);
    const size_t points = static_cast<size_t>(1200.0 * std::log2(highest / kShiftLowestHz) / kShiftStepCents);
    const std::vector<double> a = log_spectrum(r, highest, points);
    const std::vector<double> b = log_spectrum(t, highest, points);
    const long reach = static_cast<long>(max_shift_cents / kShiftStepCents);
    double best = 0.0;
    long best_shift = 0;
    bool any = false;
    for (long shift = -reach; shift <= reach; ++shift) {
        double sum = 0.0;
        for (long i = std::max(0L, -shift); i < static_cast<long>(points) && i + shift < static_cast<long>(points);
             ++i)
            sum += a[static_cast<size_t>(i)] * b[static_cast<size_t>(i + shift)];
        if (sum > best) {
            best = sum;
            best_shift = shift;
            any = true;
        }
    }
    return any ? best_shift * kShiftStepCents : kNaN;
}

// Pitch of a steady note from its sound; see pitch.h.
#include "measure/pitch.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <vector>

namespace {

const double kPi = std::acos(-1.0);
const double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr size_t kMinSamples = 1024;
constexpr int kPadding = 4;                 // the FFT is this many times longer than the buffer, at least
constexpr double kHarmonicFloor = 3.16e-3;  // harmonics more than 50 dB below the strongest are left out
constexpr double kHighestFraction = 0.45;   // harmonics up to this fraction of the sample rate
constexpr int kNewtonSteps = 4;             // refinement steps per peak
constexpr double kShiftStepCents = 5.0;     // grid of the logarithmic spectra
constexpr double kShiftLowestHz = 30.0;     // lowest frequency the shift search compares
constexpr double kShiftHighestHz = 12000.0; // highest, below the fraction above

// A windowed buffer and its zero-padded magnitude spectrum.
struct Spectrum {
    std::vector<double> windowed;   // samples times the window
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
    Spectrum s;
    std::vector<double> window = blackman_harris_window(count);
    s.windowed.resize(count);
    for (size_t n = 0; n < count; ++n)
        s.windowed[n] = window[n] * samples[n];
    const size_t length = padded_length(count);
    double* in = static_cast<double*>(fftw_malloc(sizeof(double) * length));
    fftw_complex* out = static_cast<fftw_complex*>(fftw_malloc(sizeof(fftw_complex) * (length / 2 + 1)));
    fftw_plan plan = fftw_plan_dft_r2c_1d(static_cast<int>(length), in, out, FFTW_ESTIMATE);
    std::copy(s.windowed.begin(), s.windowed.end(), in);
    std::fill(in + count, in + length, 0.0);
    fftw_execute(plan);
    s.magnitude.resize(length / 2 + 1);
    for (size_t b = 0; b <= length / 2; ++b)
        s.magnitude[b] = std::hypot(out[b][0], out[b][1]);
    fftw_destroy_plan(plan);
    fftw_free(in);
    fftw_free(out);
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

// The peak's position in bins, between its neighbours, from a parabola
// through the logarithms of the three magnitudes.
double interpolated_bin(const Spectrum& s, size_t bin)
{
    const double tiny = 1e-300;
    double a = std::log(s.magnitude[bin - 1] + tiny);
    double b = std::log(s.magnitude[bin] + tiny);
    double c = std::log(s.magnitude[bin + 1] + tiny);
    double curve = a - 2.0 * b + c;
    if (!(curve < 0.0))
        return static_cast<double>(bin);
    return static_cast<double>(bin) + 0.5 * (a - c) / curve;
}

// Newton steps towards the maximum of |X(w)|^2, the windowed buffer's
// spectrum at angular frequency w (radians per sample), from a start within
// a fraction of a bin. The sums run over n measured from the buffer's middle,
// which keeps them well conditioned. Steps larger than max_step end the
// refinement where it was.
double refine_peak(const std::vector<double>& windowed, double omega, double max_step)
{
    const double middle = 0.5 * static_cast<double>(windowed.size() - 1);
    for (int step = 0; step < kNewtonSteps; ++step) {
        std::complex<double> x0 = 0.0, x1 = 0.0, x2 = 0.0;
        const std::complex<double> rotation = std::polar(1.0, -omega);
        std::complex<double> phasor;
        for (size_t n = 0; n < windowed.size(); ++n) {
            const double t = static_cast<double>(n) - middle;
            if (n % 1024 == 0)
                phasor = std::polar(1.0, -omega * t);  // afresh now and then: no drift
            const std::complex<double> term = windowed[n] * phasor;
            x0 += term;
            x1 += t * term;
            x2 += t * t * term;
            phasor *= rotation;
        }
        // X = x0, X' = -i x1, X'' = -x2.
        const std::complex<double> d1 = std::complex<double>(0.0, -1.0) * x1;
        const double slope = 2.0 * std::real(std::conj(x0) * d1);
        const double curve = 2.0 * (std::norm(d1) - std::real(std::conj(x0) * x2));
        if (!(curve < 0.0))
            break;
        const double change = -slope / curve;
        if (!(std::fabs(change) <= max_step))
            break;
        omega += change;
        if (std::fabs(change) < 1e-12)
            break;
    }
    return omega;
}

// The strength of a candidate fundamental: the spectrum summed at its
// harmonics (each the largest magnitude within the candidate's uncertainty).
double harmonic_sum(const Spectrum& s, double f, double tolerance_bins, int harmonics)
{
    double sum = 0.0;
    for (int k = 1; k <= harmonics; ++k) {
        double centre = k * f / s.bin_hz;
        long spread = static_cast<long>(std::ceil(k * tolerance_bins));
        sum += s.magnitude[largest_bin(s, std::lround(centre) - spread, std::lround(centre) + spread)];
    }
    return sum;
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

std::vector<double> blackman_harris_window(size_t count)
{
    std::vector<double> window(count);
    const double a0 = 0.35875, a1 = 0.48829, a2 = 0.14128, a3 = 0.01168;
    for (size_t n = 0; n < count; ++n) {
        double x = 2.0 * kPi * static_cast<double>(n) / static_cast<double>(count - 1);
        window[n] = a0 - a1 * std::cos(x) + a2 * std::cos(2.0 * x) - a3 * std::cos(3.0 * x);
    }
    return window;
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

PitchEstimate estimate_pitch(const float* samples, size_t count, double sample_rate, double guess_hz,
                             double search_cents)
{
    PitchEstimate result = {kNaN, level_db(samples, count), 0};
    const double highest = kHighestFraction * sample_rate;
    if (count < kMinSamples || !(guess_hz > 0.0) || !(search_cents > 0.0) || !(guess_hz < highest))
        return result;
    const Spectrum s = spectrum_of(samples, count, sample_rate);
    const double low = guess_hz * std::pow(2.0, -search_cents / 1200.0);
    const double high = std::min(guess_hz * std::pow(2.0, search_cents / 1200.0), highest);
    const int harmonics = std::max(1, std::min(PITCH_MAX_HARMONICS, static_cast<int>(highest / high)));

    // The candidate whose harmonics hold the most, on a grid fine enough that
    // even the highest harmonic moves by less than a bin from one to the next.
    const double grid_hz = 0.5 * s.bin_hz / harmonics;
    const double tolerance_bins = grid_hz / s.bin_hz;
    double best_f = low, best_sum = -1.0;
    for (double f = low; f <= high; f += grid_hz) {
        double sum = harmonic_sum(s, f, tolerance_bins, harmonics);
        if (sum > best_sum) {
            best_sum = sum;
            best_f = f;
        }
    }
    if (!(best_sum > 0.0))
        return result;

    // Each harmonic's peak, refined; then those clear of the noise combined.
    struct Partial {
        double frequency_hz;
        double magnitude;
        int k;
    };
    Partial partials[PITCH_MAX_HARMONICS];
    int found = 0;
    double strongest = 0.0;
    for (int k = 1; k <= harmonics; ++k) {
        const double centre = k * best_f / s.bin_hz;
        const long spread = 2 + static_cast<long>(std::ceil(k * tolerance_bins));
        const size_t bin = largest_bin(s, std::lround(centre) - spread, std::lround(centre) + spread);
        if (bin <= 1 || bin + 1 >= s.magnitude.size() || s.magnitude[bin] < s.magnitude[bin - 1] ||
            s.magnitude[bin] < s.magnitude[bin + 1])
            continue;  // no peak of its own: the edge of a neighbour's lobe
        const double bin_omega = 2.0 * kPi * s.bin_hz / sample_rate;
        const double omega = refine_peak(s.windowed, interpolated_bin(s, bin) * bin_omega, bin_omega);
        partials[found++] = Partial{omega * sample_rate / (2.0 * kPi), s.magnitude[bin], k};
        strongest = std::max(strongest, s.magnitude[bin]);
    }
    double weighted = 0.0, weights = 0.0;
    for (int i = 0; i < found; ++i) {
        const Partial& p = partials[i];
        if (p.magnitude < kHarmonicFloor * strongest)
            continue;
        const double weight = (p.magnitude * p.k) * (p.magnitude * p.k);
        weighted += weight * p.frequency_hz / p.k;
        weights += weight;
        ++result.harmonics;
    }
    if (weights > 0.0)
        result.frequency_hz = weighted / weights;
    return result;
}

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

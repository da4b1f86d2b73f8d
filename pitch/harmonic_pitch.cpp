// The fundamental of a harmonic sound from its harmonics; see
// harmonic_pitch.h.
//
// The spectrum is computed once, by FFTW (fourier.h). The loudest
// harmonic's peak is located by evaluating the windowed signal's transform
// at any frequency and fitting a parabola to the logarithm of its
// magnitude, twice, ever closer around the peak: a few evaluations instead
// of a search, each exact. Each harmonic's frequency is then the
// power-weighted mean of the bins around it, which for a lone line is exact
// too.
#include "pitch/harmonic_pitch.h"

#include "pitch/fourier.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace {

const double kPi = std::acos(-1.0);
constexpr double kHarmonicFloor = 1.0 / 30.0;  // weaker harmonics weigh less than a thousandth
constexpr double kLobeResolutions = 5.0;  // the window's main lobe ends four resolutions either side
constexpr double kBinFloor = 1e-5;  // of a band's strongest power: 50 dB down
constexpr double kTopFraction = 0.45;   // of the sample rate: harmonics above are left out
constexpr size_t kLeastSamples = 64;
constexpr double kLeastRangeBins = 4.0;  // bins the first harmonic's search range holds at least
constexpr size_t kMostPaddedSize = size_t{1} << 21;  // 16 MB of spectrum: no padding beyond

// A window function made for one length of buffer.
struct Window {
    size_t count = 0;
    std::vector<double> values;
    double power = 0.0;  // the sum of the window's squares
};

// Buffers one thread's measurements reuse: a measurement of a two-second
// window needs megabytes, which, freed and taken again for every window,
// cost more in page faults and clearing than the transform itself. The
// windows of the last few lengths are kept: the bridge measures windows of
// a handful of lengths (a held note whole and without its first quarter, a
// loop over one, two and four seconds), thousands of times each, and making
// one costs as much as the measurement.
struct Scratch {
    static constexpr size_t kWindowsKept = 8;
    std::vector<Window> windows;  // the most recently used last
    std::vector<double> signal, bins;

    const Window& window_of(size_t count)
    {
        auto kept = std::find_if(windows.begin(), windows.end(), [&](const Window& w) { return w.count == count; });
        if (kept == windows.end()) {
            if (windows.size() == kWindowsKept)
                windows.erase(windows.begin());
            windows.emplace_back();
            windows.back().count = count;
            windows.back().power = blackman_harris_window(count, windows.back().values);
        } else {
            std::rotate(kept, kept + 1, windows.end());
        }
        return windows.back();
    }
};

Scratch& scratch()
{
    thread_local Scratch buffers;
    return buffers;
}

// |sum of signal[n] * exp(-i 2 pi f n / rate)| for each f of frequency
// (Hz), into magnitude: Goertzel's recurrence over the two halves of the
// signal side by side, every frequency in the same pass. Each recurrence
// waits on its own last step, so the more of them run at once, the less the
// pass waits: this is most of a measurement's time. The halves' sums are
// joined with the phase the second starts at.
template <size_t K>
void dtft_magnitudes(const std::vector<double>& signal, double rate, const double (&frequency)[K],
                     double (&magnitude)[K])
{
    const size_t count = signal.size(), half = count / 2;
    double w[K], c[K], pa[K], qa[K], pb[K], qb[K];  // s[n - 1], s[n - 2] of each half
    for (size_t j = 0; j < K; ++j) {
        w[j] = 2.0 * kPi * frequency[j] / rate;
        c[j] = 2.0 * std::cos(w[j]);
        pa[j] = qa[j] = pb[j] = qb[j] = 0.0;
    }
    const double* a = signal.data();
    const double* b = a + half;
    for (size_t n = 0; n < half; ++n) {
        for (size_t j = 0; j < K; ++j) {
            const double sa = a[n] + c[j] * pa[j] - qa[j];
            const double sb = b[n] + c[j] * pb[j] - qb[j];
            qa[j] = pa[j];
            pa[j] = sa;
            qb[j] = pb[j];
            pb[j] = sb;
        }
    }
    for (size_t n = half; n < count - half; ++n) {  // the second half's odd sample out
        for (size_t j = 0; j < K; ++j) {
            const double sb = b[n] + c[j] * pb[j] - qb[j];
            qb[j] = pb[j];
            pb[j] = sb;
        }
    }
    for (size_t j = 0; j < K; ++j) {
        // A half of length L sums to exp(-i w (L - 1)) (s[L-1] - exp(-i w) s[L-2]).
        const double cw = std::cos(w[j]), sw = std::sin(w[j]);
        const double ar = pa[j] - cw * qa[j], ai = sw * qa[j];
        const double br = pb[j] - cw * qb[j], bi = sw * qb[j];
        const double shift = w[j] * static_cast<double>(count - half);
        const double cs = std::cos(shift), ss = std::sin(shift);
        const double re = ar + cs * br + ss * bi, im = ai + cs * bi - ss * br;
        magnitude[j] = std::sqrt(re * re + im * im);
    }
}

// The transform's length for count samples: the least even length of
// count or more whose factors are all 2, 3, 5 or 7, which FFTW transforms
// about as fast per point as a power of two (a two-second window of 88,200
// samples in 58 % of the time of 131,072). The bins are at least as many as
// the samples, which is all the band means ask for.
size_t transform_size(size_t count)
{
    for (size_t size = count + (count & 1);; size += 2) {
        size_t rest = size;
        for (size_t factor : {2, 3, 5, 7}) {
            while (rest % factor == 0)
                rest /= factor;
        }
        if (rest == 1)
            return size;
    }
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
// receives the magnitude at the last estimate but one, which lies within a
// fiftieth of a resolution of the peak (less than a millionth below it).
double locate_peak(const std::vector<double>& signal, const std::vector<double>& bins, long k, double bin_hz,
                   double rate, double resolution_hz, double* magnitude)
{
    auto log_of = [](double m) { return std::log(std::max(m, 1e-300)); };
    double f = bin_hz * (k + vertex(log_of(bins[k - 1]), log_of(bins[k]), log_of(bins[k + 1])));
    for (double step : {0.05 * resolution_hz, 0.002 * resolution_hz}) {
        double m[3];
        dtft_magnitudes(signal, rate, {f - step, f, f + step}, m);
        f += step * vertex(log_of(m[0]), log_of(m[1]), log_of(m[2]));
        *magnitude = m[1];
    }
    return f;
}

// The strongest of bins (bin_hz apart) within [low_hz, high_hz], leaving out
// bin 0 and the last; -1 when the range holds none or its strongest bin lies
// at its edge and the bin beyond is stronger still (a peak outside the
// range, rising into it). A peak within half a bin of the edge counts: its
// strongest bin is the edge's.
long strongest_dft_bin(const std::vector<double>& bins, double bin_hz, double low_hz, double high_hz)
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
    const bool rising_in = (best == first && !(bins[first - 1] < bins[first])) ||
                           (best == last && !(bins[last + 1] < bins[last]));
    return rising_in ? -1 : best;
}

// What the harmonics of f0_hz hold together.
struct Bands {
    double fundamental_hz;  // each band's mean frequency over its number, weighed as HarmonicWeights says
    double energy;          // of the bands weighed in, as their magnitudes squared
    int found;              // how many were weighed in
};

// The harmonics 1 .. harmonics of f0_hz below top_hz, each the bins within
// (spread - 1) times its frequency of it, or the window's main lobe
// (lobe_hz) where that is wider, and no further than half-way to its
// neighbours, as the power-weighted mean of their frequencies: a lone
// line's own frequency (a window's power spectrum is symmetric about its
// line, and the bins, at least as many as the samples, sum it exactly), and
// for a partial split into lines (a loop's repetition, a vibrato, layers)
// the mean of its lines, which moves exactly as the whole sound is tuned.
// Bins below kBinFloor of the band's strongest are left out (noise between
// the harmonics), and so are bands below kHarmonicFloor of the strongest in
// magnitude.
Bands harmonic_bands(const std::vector<double>& bins, double bin_hz, double f0_hz, int harmonics, double spread,
                     double lobe_hz, double top_hz, HarmonicWeights weights)
{
    double energy[HARMONIC_PITCH_MAX_HARMONICS + 1] = {};
    double mean_hz[HARMONIC_PITCH_MAX_HARMONICS + 1] = {};
    double strongest = 0.0;
    const long last_bin = static_cast<long>(bins.size()) - 1;
    for (int h = 1; h <= harmonics && h * f0_hz * spread < top_hz; ++h) {
        const double half_hz = std::min(0.5 * f0_hz, std::max(h * f0_hz * (spread - 1.0), lobe_hz));
        const long first = std::max(1L, static_cast<long>(std::ceil((h * f0_hz - half_hz) / bin_hz)));
        const long last = std::min(last_bin, static_cast<long>(std::floor((h * f0_hz + half_hz) / bin_hz)));
        double peak = 0.0;
        for (long k = first; k <= last; ++k)
            peak = std::max(peak, bins[k] * bins[k]);
        double sum = 0.0, moment = 0.0;
        for (long k = first; k <= last; ++k) {
            const double power = bins[k] * bins[k];
            if (power > kBinFloor * peak) {
                sum += power;
                moment += power * static_cast<double>(k);
            }
        }
        if (sum > 0.0) {
            energy[h] = sum;
            mean_hz[h] = bin_hz * moment / sum;
            strongest = std::max(strongest, sum);
        }
    }
    Bands bands{0.0, 0.0, 0};
    double weighted = 0.0, weight_sum = 0.0;
    for (int h = 1; h <= harmonics; ++h) {
        if (energy[h] > 0.0 && energy[h] > kHarmonicFloor * kHarmonicFloor * strongest) {
            const double weight = weights == WEIGH_BY_PRECISION ? energy[h] * h * h : energy[h];
            weighted += weight * mean_hz[h] / h;
            weight_sum += weight;
            bands.energy += energy[h];
            ++bands.found;
        }
    }
    bands.fundamental_hz = weight_sum > 0.0 ? weighted / weight_sum : 0.0;
    return bands;
}

}  // namespace

HarmonicPitch harmonic_pitch(const float* samples, size_t count, double sample_rate_hz, double guess_hz,
                             double search_cents, int harmonics, double clear_ratio, HarmonicWeights weights)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const HarmonicPitch none{nan, 0.0, 0, nan};
    if (samples == nullptr || count < kLeastSamples || !(sample_rate_hz > 0.0) || !(guess_hz > 0.0) ||
        !(search_cents > 0.0) || harmonics < 1 || harmonics > HARMONIC_PITCH_MAX_HARMONICS)
        return none;
    Scratch& buffers = scratch();
    const Window& window = buffers.window_of(count);
    const double window_power = window.power;
    buffers.signal.resize(count);
    for (size_t n = 0; n < count; ++n)
        buffers.signal[n] = window.values[n] * samples[n];
    const std::vector<double>& signal = buffers.signal;
    const double spread = std::exp2(search_cents / 1200.0);
    // The strongest bin lies within half a bin of its peak, so padding is
    // needed only where the bins are too coarse for the range searched: the
    // first harmonic's must hold kLeastRangeBins of them, or a peak near its
    // edge reads as one outside (a short window of a low note; a long window
    // needs none down to a few tens of hertz).
    const double range_hz = guess_hz * (spread - 1.0 / spread);
    size_t size = transform_size(count);
    auto too_coarse = [&](size_t n) { return sample_rate_hz / static_cast<double>(n) * kLeastRangeBins > range_hz; };
    while (size < kMostPaddedSize && too_coarse(size))
        size <<= 1;
    magnitude_spectrum(signal.data(), count, size, buffers.bins);
    const std::vector<double>& bins = buffers.bins;
    const double bin_hz = sample_rate_hz / static_cast<double>(size);
    const double resolution_hz = sample_rate_hz / static_cast<double>(count);
    const double top_hz = kTopFraction * sample_rate_hz;

    // The strongest harmonic near its multiple of the guess gives the pitch,
    // among those whose ranges stay apart (h * spread < (h + 1) / spread):
    // further up, a range reaches its neighbours' harmonics, and the
    // strongest line in it could be taken for the wrong multiple.
    long loudest = -1;
    int loudest_number = 0;
    const int apart = std::max(1, static_cast<int>(std::ceil(1.0 / (spread * spread - 1.0))) - 1);
    for (int h = 1; h <= std::min(harmonics, apart) && h * guess_hz * spread < top_hz; ++h) {
        const long k = strongest_dft_bin(bins, bin_hz, h * guess_hz / spread, h * guess_hz * spread);
        if (k >= 0 && (loudest < 0 || bins[k] > bins[loudest])) {
            loudest = k;
            loudest_number = h;
        }
    }
    if (loudest < 0)
        return none;
    double peak = 0.0;
    const double loudest_hz = locate_peak(signal, bins, loudest, bin_hz, sample_rate_hz, resolution_hz, &peak);
    double sides[2];
    dtft_magnitudes(signal, sample_rate_hz, {loudest_hz - 5.0 * resolution_hz, loudest_hz + 5.0 * resolution_hz},
                    sides);
    const double side_ratio = std::max(sides[0], sides[1]) / peak;
    if (!(side_ratio < clear_ratio))
        return none;
    // The harmonics' bands, taken twice: around the loudest line's
    // multiples, then around the mean those give.
    double f0 = loudest_hz / loudest_number;
    Bands bands{};
    for (int pass = 0; pass < 2; ++pass) {
        bands = harmonic_bands(bins, bin_hz, f0, harmonics, spread, kLobeResolutions * resolution_hz, top_hz, weights);
        if (!(bands.energy > 0.0))
            return none;
        f0 = bands.fundamental_hz;
    }
    // The bins' power is the windowed signal's energy times size (Parseval),
    // half of it on the positive side: a sine of amplitude A brings
    // size * A^2 / 4 times the window's power.
    const double amplitude = 2.0 * std::sqrt(bands.energy / (static_cast<double>(size) * window_power));
    return HarmonicPitch{f0, amplitude, bands.found, side_ratio};
}

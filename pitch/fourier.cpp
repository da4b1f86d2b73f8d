// The windowed spectrum by FFTW; see fourier.h.
//
// FFTW's planner keeps global state and is not thread-safe: it is made safe
// once with fftw_make_planner_thread_safe (which guards it with a lock of
// FFTW's own, so that every copy of this code in a process, the program's and
// the bridge library's, shares one), and the plans, made with FFTW_ESTIMATE
// (nothing timed at run time), are kept per size for the life of the
// process. Executing a plan is thread-safe on buffers of one's own: each
// thread keeps its own, as large as it last needed, since a two-second
// window needs megabytes, which, freed and taken again for every window,
// cost more in page faults than the transform itself.
#include "pitch/fourier.h"

#include <fftw3.h>

#include <cmath>
#include <map>
#include <mutex>

namespace {

const double kPi = std::acos(-1.0);

// The plans made so far, by size. Allocated once and never freed, so that
// they stay reachable (and unreported by a leak checker) to the end.
struct Plans {
    std::mutex lock;
    std::map<size_t, fftw_plan> by_size;
};

Plans& plans()
{
    static Plans* all = new Plans;
    return *all;
}

// One thread's transform buffers, aligned as FFTW's plans expect.
struct Buffers {
    double* in = nullptr;
    fftw_complex* out = nullptr;
    size_t size = 0;  // the transform size they hold
    ~Buffers()
    {
        fftw_free(in);
        fftw_free(out);
    }
    void reserve(size_t wanted)
    {
        if (size >= wanted)
            return;
        fftw_free(in);
        fftw_free(out);
        in = static_cast<double*>(fftw_malloc(sizeof(double) * wanted));
        out = static_cast<fftw_complex*>(fftw_malloc(sizeof(fftw_complex) * (wanted / 2 + 1)));
        size = wanted;
    }
};

// The real-to-complex plan of size points, made on first use. in and out
// only show the planner the alignment of the buffers it will run on
// (FFTW_ESTIMATE leaves them untouched).
fftw_plan plan_of(size_t size, double* in, fftw_complex* out)
{
    static std::once_flag made_safe;
    std::call_once(made_safe, fftw_make_planner_thread_safe);
    Plans& all = plans();
    std::lock_guard<std::mutex> hold(all.lock);
    fftw_plan& plan = all.by_size[size];
    if (plan == nullptr)
        plan = fftw_plan_dft_r2c_1d(static_cast<int>(size), in, out, FFTW_ESTIMATE);
    return plan;
}

}  // namespace

double blackman_harris_window(size_t count, std::vector<double>& window)
{
    window.resize(count);
    const double a0 = 0.35875, a1 = 0.48829, a2 = 0.14128, a3 = 0.01168;
    double power = 0.0;
    for (size_t n = 0; n < count; ++n) {
        const double c = std::cos(2.0 * kPi * static_cast<double>(n) / static_cast<double>(count - 1));
        // cos 2x and cos 3x from cos x.
        window[n] = a0 - a1 * c + a2 * (2.0 * c * c - 1.0) - a3 * c * (4.0 * c * c - 3.0);
        power += window[n] * window[n];
    }
    return power;
}

void magnitude_spectrum(const double* signal, size_t count, size_t size, std::vector<double>& magnitudes)
{
    thread_local Buffers buffers;
    buffers.reserve(size);
    const fftw_plan plan = plan_of(size, buffers.in, buffers.out);
    for (size_t n = 0; n < size; ++n)
        buffers.in[n] = n < count ? signal[n] : 0.0;
    fftw_execute_dft_r2c(plan, buffers.in, buffers.out);
    magnitudes.resize(size / 2 + 1);
    for (size_t k = 0; k < magnitudes.size(); ++k)
        magnitudes[k] = std::sqrt(buffers.out[k][0] * buffers.out[k][0] + buffers.out[k][1] * buffers.out[k][1]);
}

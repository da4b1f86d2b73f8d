// The spectrum a pitch is measured from: a buffer under the four-term
// Blackman-Harris window (side lobes below -92 dB), transformed by FFTW.
// Safe to call from any number of threads at once: the bridge measures its
// SoundFont's keys on one thread per core.
#pragma once

#include <cstddef>
#include <vector>

// The four-term Blackman-Harris window of count (>= 2) points into window;
// returns the sum of its squares (its power).
double blackman_harris_window(size_t count, std::vector<double>& window);

// |X[k]| for k = 0 .. size / 2, the discrete Fourier transform of
// signal[0 .. count) zero-padded to size points (size even, >= count), into
// magnitudes.
void magnitude_spectrum(const double* signal, size_t count, size_t size, std::vector<double>& magnitudes);

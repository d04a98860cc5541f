// A plain radix-2 FFT for the registration's correlations: single precision, one fixed order of
// operations, twiddles rounded once from double, so every run and thread gives the same bits.
#pragma once

#include <cstdint>
#include <vector>

namespace engine {

struct Complex {
  float re, im;
};

// Twiddles and bit reversal for transforms of n points (a power of two).
struct FftPlan {
  int32_t n = 0;
  std::vector<Complex> twiddle;  // e^{-2 pi i k / n}, k < n / 2
  std::vector<int32_t> reversed;
};
FftPlan makeFftPlan(int32_t n);

// In place over an nx x ny array, rows of nx; `inverse` conjugates the twiddles and leaves the
// result unscaled (n-point sums). `scratch` holds ny points.
void fft2d(Complex* data, const FftPlan& rows, const FftPlan& columns, bool inverse, Complex* scratch);

// The smallest power of two at least n.
int32_t fftSize(int32_t n);

}  // namespace engine

#include "engine/content_fft.h"

#include <cmath>

namespace engine {

FftPlan makeFftPlan(int32_t n) {
  FftPlan plan;
  plan.n = n;
  plan.twiddle.resize(size_t(n / 2));
  for (int32_t k = 0; k < n / 2; ++k) {
    const double a = -6.283185307179586 * double(k) / double(n);
    plan.twiddle[size_t(k)] = {float(std::cos(a)), float(std::sin(a))};
  }
  plan.reversed.resize(size_t(n));
  int32_t bits = 0;
  while ((1 << bits) < n) ++bits;
  for (int32_t i = 0; i < n; ++i) {
    int32_t r = 0;
    for (int32_t b = 0; b < bits; ++b) r |= ((i >> b) & 1) << (bits - 1 - b);
    plan.reversed[size_t(i)] = r;
  }
  return plan;
}

int32_t fftSize(int32_t n) {
  int32_t size = 1;
  while (size < n) size *= 2;
  return size;
}

namespace {

// One transform of `plan.n` points spaced `stride` apart.
void fft1d(Complex* x, int64_t stride, const FftPlan& plan, bool inverse) {
  const int32_t n = plan.n;
  for (int32_t i = 0; i < n; ++i) {
    const int32_t r = plan.reversed[size_t(i)];
    if (r > i) {
      const Complex t = x[i * stride];
      x[i * stride] = x[r * stride];
      x[r * stride] = t;
    }
  }
  for (int32_t half = 1; half < n; half *= 2) {
    const int32_t step = n / (2 * half);
    for (int32_t start = 0; start < n; start += 2 * half)
      for (int32_t k = 0; k < half; ++k) {
        Complex w = plan.twiddle[size_t(k * step)];
        if (inverse) w.im = -w.im;
        Complex& a = x[(start + k) * stride];
        Complex& b = x[(start + k + half) * stride];
        const Complex t{b.re * w.re - b.im * w.im, b.re * w.im + b.im * w.re};
        b = {a.re - t.re, a.im - t.im};
        a = {a.re + t.re, a.im + t.im};
      }
  }
}

}  // namespace

void fft2d(Complex* data, const FftPlan& rows, const FftPlan& columns, bool inverse, Complex* scratch) {
  const int32_t nx = rows.n, ny = columns.n;
  for (int32_t y = 0; y < ny; ++y) fft1d(data + int64_t(y) * nx, 1, rows, inverse);
  // Columns through a contiguous copy: the strided walk would miss the cache on every point.
  for (int32_t x = 0; x < nx; ++x) {
    for (int32_t y = 0; y < ny; ++y) scratch[y] = data[int64_t(y) * nx + x];
    fft1d(scratch, 1, columns, inverse);
    for (int32_t y = 0; y < ny; ++y) data[int64_t(y) * nx + x] = scratch[y];
  }
}

}  // namespace engine

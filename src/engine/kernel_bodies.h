// Bodies of the vector kernels over W lanes. Included once by each kernels_<isa>.cpp after its
// target pragma and simd.h; nothing here has external linkage.
#pragma once

#include <algorithm>
#include <cstring>

#include "engine/kernels.h"
#include "engine/simd.h"

namespace {
namespace kernel {

using engine::BoxParams;
using engine::TransferParams;

// Whole vectors are read and written in place; the tail goes through zero-padded lanes.
template <int W>
void labFRows(const float* t, float* out, int64_t n) {
  using F = typename simd::V<W>::F;
  int64_t i = 0;
  for (; i + W <= n; i += W) simd::store(out + i, simd::labF<W>(simd::load<F>(t + i)));
  if (i == n) return;
  float in[W] = {}, res[W];
  std::copy(t + i, t + n, in);
  simd::store(res, simd::labF<W>(simd::load<F>(in)));
  std::copy(res, res + (n - i), out + i);
}

template <int W>
ENGINE_INLINE void rgbToLab8At(const float* r, const float* g, const float* b, float* L8, float* a8, float* b8) {
  using F = typename simd::V<W>::F;
  F lab[3];
  simd::rgbToLab8<W>(simd::load<F>(r), simd::load<F>(g), simd::load<F>(b), lab[0], lab[1], lab[2]);
  simd::store(L8, lab[0]);
  simd::store(a8, lab[1]);
  simd::store(b8, lab[2]);
}

template <int W>
void rgbToLab8Rows(const float* r, const float* g, const float* b, float* L8, float* a8, float* b8, int64_t n) {
  int64_t i = 0;
  for (; i + W <= n; i += W) rgbToLab8At<W>(r + i, g + i, b + i, L8 + i, a8 + i, b8 + i);
  if (i == n) return;
  float in[3][W] = {}, res[3][W];
  std::copy(r + i, r + n, in[0]);
  std::copy(g + i, g + n, in[1]);
  std::copy(b + i, b + n, in[2]);
  rgbToLab8At<W>(in[0], in[1], in[2], res[0], res[1], res[2]);
  std::copy(res[0], res[0] + (n - i), L8 + i);
  std::copy(res[1], res[1] + (n - i), a8 + i);
  std::copy(res[2], res[2] + (n - i), b8 + i);
}

template <int W>
void lightnessRows(const float* r, const float* g, const float* b, float* L8, int64_t n) {
  using F = typename simd::V<W>::F;
  int64_t i = 0;
  for (; i + W <= n; i += W) {
    simd::store(L8 + i, simd::lightness<W>(simd::load<F>(r + i), simd::load<F>(g + i), simd::load<F>(b + i)));
  }
  if (i == n) return;
  float in[3][W] = {}, res[W];
  std::copy(r + i, r + n, in[0]);
  std::copy(g + i, g + n, in[1]);
  std::copy(b + i, b + n, in[2]);
  simd::store(res, simd::lightness<W>(simd::load<F>(in[0]), simd::load<F>(in[1]), simd::load<F>(in[2])));
  std::copy(res, res + (n - i), L8 + i);
}

template <int W>
ENGINE_INLINE void lab8ToRgbAt(const float* L8, const float* a8, const float* b8, float* r, float* g, float* b) {
  using F = typename simd::V<W>::F;
  F rgb[3];
  simd::lab8ToRgb<W>(simd::load<F>(L8), simd::load<F>(a8), simd::load<F>(b8), rgb[0], rgb[1], rgb[2]);
  simd::store(r, rgb[0]);
  simd::store(g, rgb[1]);
  simd::store(b, rgb[2]);
}

template <int W>
void lab8ToRgbRows(const float* L8, const float* a8, const float* b8, float* r, float* g, float* b, int64_t n) {
  int64_t i = 0;
  for (; i + W <= n; i += W) lab8ToRgbAt<W>(L8 + i, a8 + i, b8 + i, r + i, g + i, b + i);
  if (i == n) return;
  float in[3][W] = {}, res[3][W];
  std::copy(L8 + i, L8 + n, in[0]);
  std::copy(a8 + i, a8 + n, in[1]);
  std::copy(b8 + i, b8 + n, in[2]);
  lab8ToRgbAt<W>(in[0], in[1], in[2], res[0], res[1], res[2]);
  std::copy(res[0], res[0] + (n - i), r + i);
  std::copy(res[1], res[1] + (n - i), g + i);
  std::copy(res[2], res[2] + (n - i), b + i);
}

// Per lattice point: Lab8 of the point, statistical transfer, clamp, back to RGB, and the
// preserve-mode recombination, exactly as the scalar builder would do it.
template <int W>
void transferPlane(const TransferParams& p, float r0, const float* g0, const float* b0, int64_t points, float* out) {
  using F = typename simd::V<W>::F;
  const ColorStats& s = *p.source;
  const ColorStats& ref = *p.reference;
  for (int64_t i = 0; i < points; i += W) {
    F in[3];
    simd::rgbToLab8<W>(simd::splat<F>(r0), simd::load<F>(g0 + i), simd::load<F>(b0 + i), in[0], in[1], in[2]);
    F moved[3];
    for (int c = 0; c < 3; ++c) {
      moved[c] = simd::clampLab8<W>((in[c] - s.mean[c]) / s.stdDev[c] * ref.stdDev[c] + ref.mean[c]);
    }
    F rgb[3];
    simd::lab8ToRgb<W>(moved[0], moved[1], moved[2], rgb[0], rgb[1], rgb[2]);
    if (p.mode == PreserveBrightness) {
      F matched[3];
      simd::rgbToLab8<W>(rgb[0], rgb[1], rgb[2], matched[0], matched[1], matched[2]);
      simd::lab8ToRgb<W>(in[0], matched[1], matched[2], rgb[0], rgb[1], rgb[2]);
    } else if (p.mode == PreserveColors) {
      simd::lab8ToRgb<W>(simd::lightness<W>(rgb[0], rgb[1], rgb[2]), in[1], in[2], rgb[0], rgb[1], rgb[2]);
    }
    float planar[3][W];
    for (int c = 0; c < 3; ++c) simd::store(planar[c], rgb[c]);
    const int64_t lanes = std::min<int64_t>(points - i, W);
    for (int64_t k = 0; k < lanes; ++k) {
      float* dst = out + (i + k) * 3;
      dst[0] = planar[0][k];
      dst[1] = planar[1][k];
      dst[2] = planar[2][k];
    }
  }
}

struct Window {
  int32_t first;
  int32_t last;
};

ENGINE_INLINE Window windowAt(int32_t i, int32_t n, int32_t rad, bool clipped) {
  if (!clipped) return {i - rad, i + rad};
  return {std::max(0, i - rad), std::min(n - 1, i + rad)};
}

// out[0 .. lanes) = sum over j in the window of in[j * inStride + ...], in whole vectors.
template <int W>
ENGINE_INLINE void sumRows(const float* in, int64_t inStride, Window w, float* out, int64_t lanes) {
  using F = typename simd::V<W>::F;
  for (int64_t l = 0; l < lanes; l += W) {
    const float* src = in + int64_t(w.first) * inStride + l;
    F s = simd::load<F>(src);
    for (int32_t j = w.first + 1; j <= w.last; ++j) {
      src += inStride;
      s += simd::load<F>(src);
    }
    simd::store(out + l, s);
  }
}

// Separable box smoothing: block sums formed one axis at a time (blue, then green within each
// red plane, then red), about 3 (2 rad + 1) adds per value instead of (2 rad + 1)^3. Each
// partial sum runs from the lowest offset up. Blocks clipped at the lattice faces are summed
// over a zero-padded copy of the row, which adds exact zeros where a direct sum skips a term,
// and divided by the count of real terms. The work comes in red planes, each computed the same
// way whichever thread takes it: first the green-blue sums of every plane a block reaches
// (smoothPlane), then, once all are done, the smoothed points of each plane (smoothOutput).
template <int W>
ENGINE_INLINE int64_t lanesOf(const BoxParams& box) {
  return (int64_t(box.hi - box.lo + 1) * 3 + W - 1) / W * W;  // of one row of the smoothed region
}

template <int W>
void smoothPlane(const BoxParams& box, int32_t r, float* scratch) {
  using F = typename simd::V<W>::F;
  const int32_t n = box.n, rad = box.rad, lo = box.lo, hi = box.hi;
  const int64_t m = hi - lo + 1;
  const int64_t stride = engine::smoothingRowStride(n);
  const int64_t lanes = lanesOf<W>(box);
  const int64_t rowFloats = int64_t(n) * 3;
  const int32_t side = 2 * rad + 1;
  float* blueSums = scratch;                       // [g][stride] of this red plane
  float* padded = blueSums + int64_t(n) * stride;  // one lattice row, rad zero points each side
  std::fill(padded, padded + (int64_t(n) + 2 * rad) * 3 + 16, 0.0f);

  const Window span{windowAt(lo, n, rad, box.clipped).first, windowAt(hi, n, rad, box.clipped).last};
  const float* plane = box.lattice + r * rowFloats * n;
  for (int32_t g = span.first; g <= span.last; ++g) {
    std::memcpy(padded + int64_t(rad) * 3, plane + g * rowFloats, size_t(rowFloats) * sizeof(float));
    const float* first = padded + int64_t(lo) * 3;  // the window of b = lo starts rad points before lo
    float* out = blueSums + int64_t(g) * stride;
    for (int64_t l = 0; l < lanes; l += W) {
      F s = simd::load<F>(first + l);
      for (int32_t d = 1; d < side; ++d) s += simd::load<F>(first + l + 3 * d);
      simd::store(out + l, s);
    }
  }
  for (int32_t g = lo; g <= hi; ++g) {
    sumRows<W>(blueSums, stride, windowAt(g, n, rad, box.clipped), box.planes + (r * m + g - lo) * stride, lanes);
  }
}

template <int W>
void smoothOutput(const BoxParams& box, int32_t r, float* scratch) {
  using F = typename simd::V<W>::F;
  using I = typename simd::V<W>::I;
  const int32_t n = box.n, rad = box.rad, lo = box.lo, hi = box.hi;
  const int64_t m = hi - lo + 1;
  const int64_t stride = engine::smoothingRowStride(n);
  const int64_t lanes = lanesOf<W>(box);
  const int64_t rowFloats = int64_t(n) * 3;
  float* sums = scratch;
  float* quotients = sums + stride;

  const Window wr = windowAt(r, n, rad, box.clipped);
  for (int32_t g = lo; g <= hi; ++g) {
    const Window wg = windowAt(g, n, rad, box.clipped);
    const int32_t rg = (wr.last - wr.first + 1) * (wg.last - wg.first + 1);
    sumRows<W>(box.planes + (g - lo) * stride, m * stride, wr, sums, lanes);
    for (int64_t l = 0; l < lanes; l += W) {
      I c;
      std::memcpy(&c, box.blueCounts + l, sizeof c);
      const F count = __builtin_convertvector(c * rg, F);
      simd::store(quotients + l, simd::load<F>(sums + l) / count);
    }
    std::memcpy(box.lattice + r * rowFloats * n + g * rowFloats + int64_t(lo) * 3, quotients,
                size_t(m * 3) * sizeof(float));
  }
}

}  // namespace kernel
}  // namespace

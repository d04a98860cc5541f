// Bodies of the fitted lattice's vector kernels over W lanes. Included once by each
// kernels_<isa>.cpp after its target pragma; nothing here has external linkage.
//
// Every element's arithmetic is written once, as a template over a float or a vector of floats,
// so whole vectors and the scalar tails perform the same operations in the same order: every
// kernel set gives the same bits. The 8 x 8 corner matrices of a cell always run on 8-lane
// vectors (two halves where the set has 4).
#pragma once

#include <algorithm>
#include <cstring>

#include "engine/kernels.h"
#include "engine/simd.h"

namespace {
namespace kernel {

using engine::FitCellsParams;
using engine::FitMomentsParams;
using engine::FitPriorParams;
using engine::FitStepParams;

template <class T>
ENGINE_INLINE T ld(const float* p) {
  return simd::load<T>(p);
}

// Offset of corner k (bit 2 red, bit 1 green, bit 0 blue) from a cell's first lattice point.
ENGINE_INLINE int64_t cornerOffset(int k, int32_t n) {
  return ((k & 4) ? int64_t(n) * n : 0) + ((k & 2) ? n : 0) + (k & 1);
}

// One point of the masked Laplacian: the second differences along the axes on which the point
// has neighbours on both sides.
template <class T>
ENGINE_INLINE T laplacianAt(const float* x, const float* maskB, const float* maskG, int64_t n, int64_t plane,
                            bool redInside) {
  const T centre = ld<T>(x);
  const T two = centre + centre;
  const T blue = ld<T>(maskB) * ((ld<T>(x - 1) + ld<T>(x + 1)) - two);
  const T green = ld<T>(maskG) * ((ld<T>(x - n) + ld<T>(x + n)) - two);
  T sum = blue + green;
  if (redInside) sum = sum + ((ld<T>(x - plane) + ld<T>(x + plane)) - two);
  return sum;
}

// One point of lambda L^T g + eps x, where g = L x: the transpose sends each point's masked
// second differences back to it and its two neighbours on that axis.
template <class T>
ENGINE_INLINE T priorAt(const float* g, const float* x, const float* eps, const float* maskB, const float* maskG,
                        int64_t n, int64_t plane, const bool red[3], T lambda) {
  const T centre = ld<T>(g);
  const T b0 = ld<T>(maskB - 1) * ld<T>(g - 1), b1 = ld<T>(maskB) * centre, b2 = ld<T>(maskB + 1) * ld<T>(g + 1);
  const T g0 = ld<T>(maskG - n) * ld<T>(g - n), g1 = ld<T>(maskG) * centre, g2 = ld<T>(maskG + n) * ld<T>(g + n);
  const T r0 = red[0] ? ld<T>(g - plane) : T{}, r1 = red[1] ? centre : T{}, r2 = red[2] ? ld<T>(g + plane) : T{};
  const T sum = (((b0 + b2) - (b1 + b1)) + ((g0 + g2) - (g1 + g1))) + ((r0 + r2) - (r1 + r1));
  return lambda * sum + ld<T>(eps) * ld<T>(x);
}

// out = lambda L^T L x + eps x for one channel, plane by plane: L x into p.g, then its
// transpose. The planes of x and g are padded with zeros, so neighbours past the lattice read
// zeros that the masks or the red conditions leave out.
template <int W>
void fitPrior(const FitPriorParams& p) {
  using F = typename simd::V<W>::F;
  const int32_t n = p.n;
  const int64_t plane = int64_t(n) * n;
  const F lambdaV = simd::splat<F>(p.lambda);
  const float* x = p.x;
  for (int32_t r = 0; r < n; ++r) {
    const bool inside = r > 0 && r < n - 1;
    const int64_t first = r * plane;
    int64_t q = 0;
    for (; q + W <= plane; q += W)
      simd::store(p.g + first + q, laplacianAt<F>(x + first + q, p.maskB + q, p.maskG + q, n, plane, inside));
    for (; q < plane; ++q)
      p.g[first + q] = laplacianAt<float>(x + first + q, p.maskB + q, p.maskG + q, n, plane, inside);
  }
  float* out = p.out;
  for (int32_t r = 0; r < n; ++r) {
    const bool red[3] = {r - 1 > 0, r > 0 && r < n - 1, r + 1 < n - 1};
    const int64_t first = r * plane;
    int64_t q = 0;
    for (; q + W <= plane; q += W)
      simd::store(out + first + q, priorAt<F>(p.g + first + q, x + first + q, p.eps + first + q, p.maskB + q,
                                              p.maskG + q, n, plane, red, lambdaV));
    for (; q < plane; ++q)
      out[first + q] = priorAt<float>(p.g + first + q, x + first + q, p.eps + first + q, p.maskB + q, p.maskG + q, n,
                                      plane, red, p.lambda);
  }
}

using F8 = simd::V<8>::F;

// out += M x for every cell with pairs, M its corners' 8 x 8 moment matrix, in cell order; one
// channel.
template <int W>
void fitCells(const FitCellsParams& p) {
  int64_t offsets[8];
  for (int k = 0; k < 8; ++k) offsets[k] = cornerOffset(k, p.n);
  for (int64_t s = 0; s < p.count; ++s) {
    const float* m = p.moments + s * 64;
    const int64_t base = p.base[s];
    const float* x = p.x + base;
    // M is symmetric: its column k is its row k.
    F8 y = ld<F8>(m) * x[offsets[0]];
    for (int k = 1; k < 8; ++k) y = y + ld<F8>(m + 8 * k) * x[offsets[k]];
    float values[8];
    simd::store(values, y);
    float* out = p.out + base;
    for (int k = 0; k < 8; ++k) out[offsets[k]] += values[k];
  }
}

// Accumulates, pair by pair in order, each pair's trilinear weights w into its cell's w w^T and
// w times its target, per channel; the pairs of other slots are passed over.
template <int W>
void fitMoments(const FitMomentsParams& p) {
  for (int64_t i = 0; i < p.count; ++i) {
    if (p.slot[i] < p.slotBegin || p.slot[i] >= p.slotEnd) continue;
    const float fr = p.fraction[0][i], fg = p.fraction[1][i], fb = p.fraction[2][i];
    const float ur = 1.0f - fr, ug = 1.0f - fg, ub = 1.0f - fb;
    const F8 wr = {ur, ur, ur, ur, fr, fr, fr, fr};
    const F8 wg = {ug, ug, fg, fg, ug, ug, fg, fg};
    const F8 wb = {ub, fb, ub, fb, ub, fb, ub, fb};
    const F8 w = (wr * wg) * wb;
    float weights[8];
    simd::store(weights, w);
    float* m = p.moments + int64_t(p.slot[i]) * 64;
    for (int k = 0; k < 8; ++k) simd::store(m + 8 * k, ld<F8>(m + 8 * k) + w * weights[k]);
    for (int c = 0; c < 3; ++c) {
      float* rhs = p.rhs[c] + int64_t(p.slot[i]) * 8;
      simd::store(rhs, ld<F8>(rhs) + w * p.target[c][i]);
    }
  }
}

// Dot products run over fixed blocks of engine::kFitDotBlock elements; within a block sixteen
// float sums take every sixteenth product and are folded in halves, and the block sums add up
// in double, in order. The result depends on neither the lane count nor how blocks are shared.
template <int W>
struct Lanes16 {
  using F = typename simd::V<W>::F;
  static constexpr int kVectors = 16 / W;
  F sum[kVectors] = {};

  ENGINE_INLINE void add(const float* a, const float* b) {
    for (int v = 0; v < kVectors; ++v) sum[v] = sum[v] + ld<F>(a + v * W) * ld<F>(b + v * W);
  }
  ENGINE_INLINE float fold() const {
    float s[16];
    for (int v = 0; v < kVectors; ++v) simd::store(s + v * W, sum[v]);
    for (int half = 8; half >= 1; half /= 2)
      for (int k = 0; k < half; ++k) s[k] = s[k] + s[k + half];
    return s[0];
  }
};

// The products of a..b added to `lanes` sixteen at a time; the last, partial sixteen padded with
// zeros.
template <int W>
ENGINE_INLINE void addProducts(Lanes16<W>& lanes, const float* a, const float* b, int64_t count) {
  int64_t i = 0;
  for (; i + 16 <= count; i += 16) lanes.add(a + i, b + i);
  if (i == count) return;
  float ta[16] = {}, tb[16] = {};
  std::memcpy(ta, a + i, size_t(count - i) * sizeof(float));
  std::memcpy(tb, b + i, size_t(count - i) * sizeof(float));
  lanes.add(ta, tb);
}

template <int W>
double fitDot(const float* a, const float* b, int64_t n) {
  double total = 0.0;
  for (int64_t first = 0; first < n; first += engine::kFitDotBlock) {
    Lanes16<W> lanes;
    addProducts(lanes, a + first, b + first, std::min<int64_t>(engine::kFitDotBlock, n - first));
    total += double(lanes.fold());
  }
  return total;
}

template <class T>
ENGINE_INLINE void stepAt(T alpha, float* x, float* r, float* z, const float* p, const float* q, const float* invDiag) {
  simd::store(x, ld<T>(x) + alpha * ld<T>(p));
  const T residual = ld<T>(r) - alpha * ld<T>(q);
  simd::store(r, residual);
  simd::store(z, residual * ld<T>(invDiag));
}

// x += alpha p, r -= alpha q, z = r / diagonal; returns r . z, summed like fitDot.
template <int W>
double fitStep(const FitStepParams& s) {
  using F = typename simd::V<W>::F;
  const F alpha = simd::splat<F>(s.alpha);
  double total = 0.0;
  for (int64_t first = 0; first < s.n; first += engine::kFitDotBlock) {
    const int64_t count = std::min<int64_t>(engine::kFitDotBlock, s.n - first);
    const int64_t end = first + count;
    int64_t i = first;
    for (; i + W <= end; i += W) stepAt<F>(alpha, s.x + i, s.r + i, s.z + i, s.p + i, s.q + i, s.invDiag + i);
    for (; i < end; ++i) stepAt<float>(s.alpha, s.x + i, s.r + i, s.z + i, s.p + i, s.q + i, s.invDiag + i);
    Lanes16<W> lanes;
    addProducts(lanes, s.r + first, s.z + first, count);
    total += double(lanes.fold());
  }
  return total;
}

// p = z + beta p.
template <int W>
void fitDirection(float beta, float* p, const float* z, int64_t n) {
  using F = typename simd::V<W>::F;
  const F betaV = simd::splat<F>(beta);
  int64_t i = 0;
  for (; i + W <= n; i += W) simd::store(p + i, ld<F>(z + i) + betaV * ld<F>(p + i));
  for (; i < n; ++i) p[i] = z[i] + beta * p[i];
}

template <int W>
constexpr engine::FitKernels fitKernels() {
  return {fitMoments<W>, fitCells<W>, fitPrior<W>, fitDot<W>, fitStep<W>, fitDirection<W>};
}

}  // namespace kernel
}  // namespace

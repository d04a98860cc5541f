// Vector arithmetic for the engine's kernels, written once over a lane count W with the
// compiler's generic vector types. Every lane performs the same single-precision operations in
// the same order as the scalar code, so results are bit-identical to it. Included by each
// kernels_<isa>.cpp after its target pragma, so that the code (and the lane masks of its
// comparisons) is compiled for that instruction set; hence the unnamed namespace: every
// translation unit keeps its own copy.
#pragma once

#include <cmath>
#include <cstdint>
#include <utility>

#include "engine/portable_powf.h"

#define ENGINE_INLINE inline __attribute__((always_inline))

namespace {
namespace simd {

template <int W>
struct V {
  typedef float F __attribute__((vector_size(W * 4)));
  typedef int32_t I __attribute__((vector_size(W * 4)));
  typedef double D __attribute__((vector_size(W * 8)));
};

template <class T>
ENGINE_INLINE T load(const float* p) {
  T v;
  __builtin_memcpy(&v, p, sizeof v);
  return v;
}

template <class T>
ENGINE_INLINE void store(float* p, T v) {
  __builtin_memcpy(p, &v, sizeof v);
}

template <class T>
ENGINE_INLINE T splat(float x) {
  return T{} + x;
}

// Halves of a vector and their concatenation, in registers.
template <int W, size_t... K>
ENGINE_INLINE typename V<W / 2>::F lowHalf(typename V<W>::F v, std::index_sequence<K...>) {
  return __builtin_shufflevector(v, v, K...);
}
template <int W, size_t... K>
ENGINE_INLINE typename V<W / 2>::F highHalf(typename V<W>::F v, std::index_sequence<K...>) {
  return __builtin_shufflevector(v, v, (K + W / 2)...);
}
template <int W, size_t... K>
ENGINE_INLINE typename V<W>::F concat(typename V<W / 2>::F lo, typename V<W / 2>::F hi, std::index_sequence<K...>) {
  return __builtin_shufflevector(lo, hi, K...);
}

template <int W>
ENGINE_INLINE bool anyLane(typename V<W>::I m) {
  uint64_t words[W / 2];
  __builtin_memcpy(words, &m, sizeof m);
  uint64_t acc = 0;
  for (int k = 0; k < W / 2; ++k) acc |= words[k];
  return acc != 0;
}

// The scalar clamps, lane by lane: NaN goes to the top and -0.0 to +0.0.
template <int W>
ENGINE_INLINE typename V<W>::F clampUnit(typename V<W>::F v) {
  using F = typename V<W>::F;
  const F zero = splat<F>(0.0f), one = splat<F>(1.0f);
  const F positive = v > zero ? v : zero;
  return v < one ? positive : one;
}

template <int W>
ENGINE_INLINE typename V<W>::F clampLab8(typename V<W>::F v) {
  using F = typename V<W>::F;
  const F zero = splat<F>(0.0f), top = splat<F>(255.0f);
  const F positive = v > zero ? v : zero;
  return v < top ? positive : top;
}

// powf(t, 0.33333334f) to the bit for t in (0.008856452, 2]. The inverse cube root is refined
// by division-free Newton steps, the last one in double, then corrected for the exponent's
// distance from 1/3 (t^e = cbrt(t) * t^(e - 1/3), and t^(e - 1/3) = 1 + (e - 1/3) ln t within
// 1e-15) and rounded to float. Where the result lies too close to a rounding boundary to be sure
// how powf rounds (its own error reaches 0.0017 of a unit in the last place), and for t above 2,
// the lane is recomputed with powf.
constexpr double kExponentExcess = double(0.33333334f) - 1.0 / 3.0;
constexpr double kTieMargin = 0.004 / 8388608.0;  // 0.004 units in the last place, at least

template <int W>
ENGINE_INLINE typename V<W>::F labF(typename V<W>::F t) {
  using F = typename V<W>::F;
  using I = typename V<W>::I;
  const I usePow = t > 0.008856452f;
  const bool anyLinear = anyLane<W>(~usePow);
  const F linear = anyLinear ? t / 0.12841856f + 0.13793103f : F{};
  if (!anyLane<W>(usePow)) return linear;

  const I bits = reinterpret_cast<I>(t);
  // Bit-pattern guess of t^(-1/3), within 4% for positive t.
  const I third = __builtin_convertvector(__builtin_convertvector(bits, F) * (1.0f / 3.0f), I);
  F z = reinterpret_cast<F>(0x54a21d2a - third);
  for (int i = 0; i < 3; ++i) z = z * (4.0f - t * z * z * z) * (1.0f / 3.0f);

  // ln t to about 1e-5, plenty for the exponent correction.
  const F m = reinterpret_cast<F>((bits & 0x007fffff) | 0x3f800000);
  const F e = __builtin_convertvector(((bits >> 23) & 0xff) - 127, F);
  const F s = (m - 1.0f) / (m + 1.0f);
  const F s2 = s * s;
  const F lnt = e * 0.6931472f + 2.0f * s * (1.0f + s2 * (0.33333334f + s2 * (0.2f + s2 * 0.14285715f)));

  // The double-precision step runs on half-width vectors, which every target has natively.
  using H = typename V<W / 2>::F;
  using HD = typename V<W / 2>::D;
  const auto half = std::make_index_sequence<W / 2>();
  const H tHalves[2] = {lowHalf<W>(t, half), highHalf<W>(t, half)};
  const H zHalves[2] = {lowHalf<W>(z, half), highHalf<W>(z, half)};
  const H lnHalves[2] = {lowHalf<W>(lnt, half), highHalf<W>(lnt, half)};
  H rh[2], bh[2], ah[2];
  for (int h = 0; h < 2; ++h) {
    const HD td = __builtin_convertvector(tHalves[h], HD);
    HD zd = __builtin_convertvector(zHalves[h], HD);
    zd = zd + zd * (1.0 - td * zd * zd * zd) * (1.0 / 3.0);
    const HD yd = td * zd * zd * (1.0 + kExponentExcess * __builtin_convertvector(lnHalves[h], HD));
    rh[h] = __builtin_convertvector(yd, H);
    bh[h] = __builtin_convertvector(yd * (1.0 - kTieMargin), H);
    ah[h] = __builtin_convertvector(yd * (1.0 + kTieMargin), H);
  }
  const auto whole = std::make_index_sequence<W>();
  const F rounded = concat<W>(rh[0], rh[1], whole);
  const F below = concat<W>(bh[0], bh[1], whole);
  const F above = concat<W>(ah[0], ah[1], whole);
  F out = usePow ? rounded : linear;
  // Lanes that need powf: the two roundings differ, or t > 2.
  const I redo = usePow & ((below != above) | (t > 2.0f));
  if (anyLane<W>(redo)) {
    float values[W], inputs[W];
    int32_t flags[W];
    store(values, out);
    store(inputs, t);
    __builtin_memcpy(flags, &redo, sizeof redo);
    for (int k = 0; k < W; ++k) {
      if (flags[k]) values[k] = labPowf(inputs[k]);
    }
    out = load<F>(values);
  }
  return out;
}

template <int W>
ENGINE_INLINE typename V<W>::F labG(typename V<W>::F t) {
  using F = typename V<W>::F;
  const F cube = t * t * t;
  const F linear = (t - 0.13793103f) * 0.12841856f;
  return t > 0.20689656f ? cube : linear;
}

template <int W>
ENGINE_INLINE void rgbToLab8(typename V<W>::F r, typename V<W>::F g, typename V<W>::F b, typename V<W>::F& L8,
                             typename V<W>::F& a8, typename V<W>::F& b8) {
  using F = typename V<W>::F;
  const F x = (0.4124564f * r + 0.3575761f * g + 0.1804375f * b) / 0.95047f;
  const F y = 0.2126729f * r + 0.7151522f * g + 0.072175f * b;
  const F z = (0.0193339f * r + 0.119192f * g + 0.9503041f * b) / 1.08883f;
  const F fx = labF<W>(x);
  const F fy = labF<W>(y);
  const F fz = labF<W>(z);
  L8 = (116.0f * fy - 16.0f) * 255.0f / 100.0f;
  a8 = 500.0f * (fx - fy) + 128.0f;
  b8 = 200.0f * (fy - fz) + 128.0f;
}

// L8 alone, for callers that need no colour: the same operations as in rgbToLab8.
template <int W>
ENGINE_INLINE typename V<W>::F lightness(typename V<W>::F r, typename V<W>::F g, typename V<W>::F b) {
  using F = typename V<W>::F;
  const F y = 0.2126729f * r + 0.7151522f * g + 0.072175f * b;
  return (116.0f * labF<W>(y) - 16.0f) * 255.0f / 100.0f;
}

template <int W>
ENGINE_INLINE void lab8ToRgb(typename V<W>::F L8, typename V<W>::F a8, typename V<W>::F b8, typename V<W>::F& r,
                             typename V<W>::F& g, typename V<W>::F& b) {
  using F = typename V<W>::F;
  const F fy = (100.0f * L8 / 255.0f + 16.0f) / 116.0f;
  const F fx = fy + (a8 - 128.0f) / 500.0f;
  const F fz = fy - (b8 - 128.0f) / 200.0f;
  const F x = labG<W>(fx) * 0.95047f;
  const F y = labG<W>(fy);
  const F z = labG<W>(fz) * 1.08883f;
  r = clampUnit<W>(3.2404542f * x - 1.5371385f * y - 0.4985314f * z);
  g = clampUnit<W>(-0.969266f * x + 1.8760108f * y + 0.041556f * z);
  b = clampUnit<W>(0.0556434f * x - 0.2040259f * y + 1.0572252f * z);
}

}  // namespace simd
}  // namespace

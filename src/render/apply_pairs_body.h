// Row kernel over a RedPairs table, eight pixels at a time, in 256-bit registers. Included by
// apply_row_avx2.cpp and apply_row_avx512.cpp, each after defining PAIRS_TARGET (its target
// attribute), so that each set gets its own build of the same code.
//
// The cells and fractions of a group of eight pixels are worked out one group ahead, with the
// channels in the lanes, and kept in memory, where each pixel's scalars are read back as
// broadcasts. A pixel's corners then come in four plain loads from the table, each holding the
// red pair [T(0, g, b) | T(1, g, b)], so blue and green are interpolated with the two red planes
// in the register halves; the red step and the mix take two pixels per register. Every lane
// performs exactly the literal sequence of multiplies and adds.
#pragma once

#include <immintrin.h>

#include "render/apply_kernels.h"
#include "render/red_pairs.h"

#define PAIRS_INLINE PAIRS_TARGET inline __attribute__((always_inline))

namespace {
namespace pairs {

PAIRS_INLINE __m256 clamp8(__m256 v) {
  // min keeps its second operand for NaN, max keeps +0.0 for -0.0: the literal clamp.
  return _mm256_max_ps(_mm256_min_ps(v, _mm256_set1_ps(1.0f)), _mm256_setzero_ps());
}

PAIRS_INLINE __m256 lerp(__m256 a, __m256 b, __m256 keep, __m256 take) {
  return _mm256_add_ps(_mm256_mul_ps(a, keep), _mm256_mul_ps(b, take));
}

// One group of eight pixels; lane k holds pixel laneOf^-1(k) (see laneOf).
struct Group {
  alignas(32) int32_t cell[8];  // float offset of corner pair (0, 0, 0) in the table
  alignas(32) float f[3][8];    // fractions, red, green, blue
  alignas(32) float w[3][8];    // 1 - fraction
};

// The lane of pixel p of a group after the in-lane transpose below.
constexpr int laneOf(int p) { return (p >> 1) + (p & 1) * 4; }

PAIRS_INLINE void prepare(const float* s, Group& group, int32_t n) {
  const __m256 p01 = _mm256_loadu_ps(s), p23 = _mm256_loadu_ps(s + 8);
  const __m256 p45 = _mm256_loadu_ps(s + 16), p67 = _mm256_loadu_ps(s + 24);
  const __m256 t0 = _mm256_unpacklo_ps(p01, p23), t1 = _mm256_unpackhi_ps(p01, p23);
  const __m256 t2 = _mm256_unpacklo_ps(p45, p67), t3 = _mm256_unpackhi_ps(p45, p67);
  const __m256 channel[3] = {_mm256_shuffle_ps(t0, t2, 0x44), _mm256_shuffle_ps(t0, t2, 0xEE),
                             _mm256_shuffle_ps(t1, t3, 0x44)};
  __m256i index[3];
  for (int c = 0; c < 3; ++c) {
    const __m256 x = _mm256_mul_ps(clamp8(channel[c]), _mm256_set1_ps(float(n - 1)));
    index[c] =
        _mm256_max_epi32(_mm256_min_epi32(_mm256_cvttps_epi32(x), _mm256_set1_epi32(n - 2)), _mm256_setzero_si256());
    const __m256 f = _mm256_sub_ps(x, _mm256_cvtepi32_ps(index[c]));
    _mm256_store_ps(group.f[c], f);
    _mm256_store_ps(group.w[c], _mm256_sub_ps(_mm256_set1_ps(1.0f), f));
  }
  const __m256i size = _mm256_set1_epi32(n);
  __m256i point = _mm256_add_epi32(_mm256_mullo_epi32(index[0], size), index[1]);
  point = _mm256_add_epi32(_mm256_mullo_epi32(point, size), index[2]);
  _mm256_store_si256(reinterpret_cast<__m256i*>(group.cell), _mm256_slli_epi32(point, 3));
}

// [F(0) | F(1)]: the blue and green steps of one pixel for both red planes.
PAIRS_INLINE __m256 bothRedPlanes(const float* corner, int32_t stepG, const Group& group, int lane) {
  const __m256 wb = _mm256_broadcast_ss(&group.w[2][lane]), fb = _mm256_broadcast_ss(&group.f[2][lane]);
  const __m256 e0 = lerp(_mm256_loadu_ps(corner), _mm256_loadu_ps(corner + 8), wb, fb);
  const __m256 e1 = lerp(_mm256_loadu_ps(corner + stepG), _mm256_loadu_ps(corner + stepG + 8), wb, fb);
  return lerp(e0, e1, _mm256_broadcast_ss(&group.w[1][lane]), _mm256_broadcast_ss(&group.f[1][lane]));
}

// [v of pixel a x 4 | v of pixel b x 4]
PAIRS_INLINE __m256 twoPixels(const float* a, const float* b) {
  return _mm256_blend_ps(_mm256_broadcast_ss(a), _mm256_broadcast_ss(b), 0xF0);
}

// applyRow's finish: mix x answer + keep x the clamped Source, alpha as read.
struct BlendWithSource {
  const float* src;
  float* dst;
  __m256 mix, keep;
  PAIRS_INLINE void operator()(int32_t x, int p, __m256 l) const {
    const __m256 v = _mm256_loadu_ps(src + 4 * (x + p));
    const __m256 out = _mm256_add_ps(_mm256_mul_ps(mix, l), _mm256_mul_ps(keep, clamp8(v)));
    _mm256_storeu_ps(dst + 4 * (x + p), _mm256_blend_ps(out, v, 0x88));  // alpha as read
  }
};

// applyRowLinearPlate's finish: mix x answer + keep x the plate's value, the plate's value where
// the code is marked below 0, and the plate's alpha.
struct BlendWithPlate {
  const float* codes;
  const float* plate;
  float* dst;
  __m256 mix, keep, alpha;
  PAIRS_INLINE void operator()(int32_t x, int p, __m256 l) const {
    const __m256 v = _mm256_loadu_ps(plate + 4 * (x + p));
    const __m256 c = _mm256_loadu_ps(codes + 4 * (x + p));
    // + 0 as applyRow's keep x clamped Source adds it: a -0 answer becomes +0 there too.
    const __m256 answer = _mm256_add_ps(l, _mm256_setzero_ps());
    const __m256 out = _mm256_add_ps(_mm256_mul_ps(mix, answer), _mm256_mul_ps(keep, v));
    const __m256 asIs = _mm256_or_ps(_mm256_cmp_ps(c, _mm256_setzero_ps(), _CMP_LT_OQ), alpha);
    _mm256_storeu_ps(dst + 4 * (x + p), _mm256_blendv_ps(out, v, asIs));
  }
};

// The group loop of the kernels below over the first `whole` pixels (a multiple of 8) of src:
// `finish(x, p, l)` takes pixels x + p and x + p + 1, whose lattice answers l holds in its halves.
template <class Finish>
PAIRS_INLINE void eachPairOfPixels(const float* src, float* dst, int32_t whole, const RowParams& params,
                                   const Finish& finish) {
  const int32_t n = params.lut->size;
  const float* table = params.redPairs;
  const int32_t stepG = n * 8;
  Group groups[2];
  if (whole > 0) prepare(src, groups[0], n);
  for (int32_t x = 0, g = 0; x < whole; x += 8, g ^= 1) {
    if (x + 8 < whole) prepare(src + 4 * (x + 8), groups[g ^ 1], n);
    const Group& group = groups[g];
    // The rows' next lines, 256 pixels ahead: the corner loads keep the load ports busy enough
    // that the hardware prefetcher falls behind on frames larger than the caches. Prefetches
    // never fault, so running past the row's end is harmless.
    _mm_prefetch(reinterpret_cast<const char*>(src + 4 * x + 1024), _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char*>(src + 4 * x + 1040), _MM_HINT_T0);
    __builtin_prefetch(dst + 4 * x + 1024, 1);
    __builtin_prefetch(dst + 4 * x + 1040, 1);
#pragma GCC unroll 4
    for (int p = 0; p < 8; p += 2) {
      const int a = laneOf(p), b = laneOf(p + 1);
      const __m256 fa = bothRedPlanes(table + group.cell[a], stepG, group, a);
      const __m256 fb = bothRedPlanes(table + group.cell[b], stepG, group, b);
      const __m256 low = _mm256_permute2f128_ps(fa, fb, 0x20), high = _mm256_permute2f128_ps(fa, fb, 0x31);
      finish(x, p,
             lerp(low, high, twoPixels(&group.w[0][a], &group.w[0][b]), twoPixels(&group.f[0][a], &group.f[0][b])));
    }
  }
}

PAIRS_TARGET void applyRow(const float* src, float* dst, int32_t count, const RowParams& params) {
  const float* m = params.mix;
  const float* k = params.oneMinusMix;
  const BlendWithSource finish{src, dst, _mm256_setr_ps(m[0], m[1], m[2], 0.0f, m[0], m[1], m[2], 0.0f),
                               _mm256_setr_ps(k[0], k[1], k[2], 0.0f, k[0], k[1], k[2], 0.0f)};
  const int32_t whole = count / 8 * 8;
  eachPairOfPixels(src, dst, whole, params, finish);
  if (whole < count) applyRowLiteral(src + 4 * whole, dst + 4 * whole, count - whole, params);
}

// A plate in linear light over a lattice of linear light, `count` a multiple of 8: the codes
// are looked up and blended with the plate's values, with the operations of applyRow (mix 1)
// followed by latticeToPlate, so to the same bits.
PAIRS_TARGET void applyRowLinearPlate(const float* codes, const float* plate, float* dst, int32_t count,
                                      const RowParams& params) {
  const float* m = params.mix;
  const float* k = params.oneMinusMix;
  const BlendWithPlate finish{codes,
                              plate,
                              dst,
                              _mm256_setr_ps(m[0], m[1], m[2], 0.0f, m[0], m[1], m[2], 0.0f),
                              _mm256_setr_ps(k[0], k[1], k[2], 1.0f, k[0], k[1], k[2], 1.0f),
                              _mm256_castsi256_ps(_mm256_setr_epi32(0, 0, 0, -1, 0, 0, 0, -1))};
  eachPairOfPixels(codes, dst, count, params, finish);
}

}  // namespace pairs
}  // namespace

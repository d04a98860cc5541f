// AVX-512 row kernels: over a RedPairs table (apply_pairs_body.h, built with AVX-512's encodings
// and registers) when the caller has one, else over the lattice itself as follows, eight pixels at a time. Pixels are
// split into pairs of lanes: one vector holds (red, green) of each pixel, another (blue, alpha), so the Source needs no
// transposing and the alpha lanes carry the Source alpha through. Each pixel's two blue-neighbour corners are six
// consecutive floats, fetched as three 64-bit gathers that line up with those pairs. Every lane
// performs exactly the literal sequence of multiplies and adds.
// GCC 12 warns about the deliberately undefined placeholder registers inside its own AVX-512
// intrinsics.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include "render/apply_kernels.h"

#define VANTREL_AVX512 __attribute__((target("avx512f,avx2")))
#define PAIRS_TARGET __attribute__((target("avx512f,avx512vl,avx2")))
#include "render/apply_pairs_body.h"

namespace {

constexpr __mmask16 kOddLanes = 0xAAAA;
constexpr int kAhead = 4 * 256;  // floats: 256 pixels

VANTREL_AVX512 inline __m512 clampUnit16(__m512 v) {
  return _mm512_max_ps(_mm512_min_ps(v, _mm512_set1_ps(1.0f)), _mm512_setzero_ps());
}

VANTREL_AVX512 inline __m512 lerp(__m512 a, __m512 b, __m512 keep, __m512 take) {
  return _mm512_add_ps(_mm512_mul_ps(a, keep), _mm512_mul_ps(b, take));
}

// The even and the odd 64-bit halves of each 128-bit lane of a and b, interleaved.
VANTREL_AVX512 inline __m512 evenPairs(__m512 a, __m512 b) {
  return _mm512_castpd_ps(_mm512_unpacklo_pd(_mm512_castps_pd(a), _mm512_castps_pd(b)));
}
VANTREL_AVX512 inline __m512 oddPairs(__m512 a, __m512 b) {
  return _mm512_castpd_ps(_mm512_unpackhi_pd(_mm512_castps_pd(a), _mm512_castps_pd(b)));
}

// Two consecutive floats of the table per pixel, at float offsets `offset` (64-bit lanes).
VANTREL_AVX512 inline __m512 gatherPairs(const float* table, __m512i offset) {
  return _mm512_castsi512_ps(_mm512_i64gather_epi64(offset, table, 4));
}

}  // namespace

VANTREL_AVX512 void applyRowAvx512(const float* src, float* dst, int32_t count, const RowParams& params) {
  if (!params.useLut) {
    applyRowAvx2(src, dst, count, params);
    return;
  }
  if (params.redPairs) return pairs::applyRow(src, dst, count, params);
  const int32_t n = params.lut->size;
  const float* table = params.lut->data;
  const __m512 scale = _mm512_set1_ps(float(n - 1));
  const __m512i lastCell = _mm512_set1_epi32(n - 2);
  const __m512 one = _mm512_set1_ps(1.0f);
  const __m512i stepR = _mm512_set1_epi64(int64_t(n) * n * 3);
  const __m512i stepG = _mm512_set1_epi64(int64_t(n) * 3);
  const __m512i three = _mm512_set1_epi64(3), two = _mm512_set1_epi64(2), four = _mm512_set1_epi64(4);
  const __m512 mixRG = _mm512_mask_blend_ps(kOddLanes, _mm512_set1_ps(params.mix[0]), _mm512_set1_ps(params.mix[1]));
  const __m512 keepRG =
      _mm512_mask_blend_ps(kOddLanes, _mm512_set1_ps(params.oneMinusMix[0]), _mm512_set1_ps(params.oneMinusMix[1]));
  const __m512 mixB = _mm512_set1_ps(params.mix[2]);
  const __m512 keepB = _mm512_set1_ps(params.oneMinusMix[2]);
  // (b0, r1) and (g1, b1) gathered per pixel give (r1, g1): the odd float of the first, then
  // the even float of the second.
  const __m512i toNextRG = _mm512_setr_epi32(1, 16, 3, 18, 5, 20, 7, 22, 9, 24, 11, 26, 13, 28, 15, 30);

  int32_t x = 0;
  for (; x + 8 <= count; x += 8) {
    // 64-bit lane q of rg and ba holds pixel 0, 4, 1, 5, 2, 6, 3, 7 (q = 0 .. 7): the order in
    // which the same unpacking at the end puts the pixels back in a row.
    // The rows' next lines, 256 pixels ahead: the corner gathers keep the load ports busy
    // enough that the hardware prefetcher falls behind on frames larger than the caches.
    // Prefetches never fault, so running past the row's end is harmless.
    _mm_prefetch(reinterpret_cast<const char*>(src + 4 * x + kAhead), _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char*>(src + 4 * x + kAhead + 16), _MM_HINT_T0);
    __builtin_prefetch(dst + 4 * x + kAhead, 1);
    __builtin_prefetch(dst + 4 * x + kAhead + 16, 1);
    const __m512 p0 = _mm512_loadu_ps(src + 4 * x);
    const __m512 p1 = _mm512_loadu_ps(src + 4 * x + 16);
    const __m512 rg = evenPairs(p0, p1);
    const __m512 ba = oddPairs(p0, p1);
    const __m512 clampedRG = clampUnit16(rg);
    const __m512 clampedBA = clampUnit16(ba);
    const __m512 xRG = _mm512_mul_ps(clampedRG, scale);
    const __m512 xBA = _mm512_mul_ps(clampedBA, scale);
    const __m512i iRG = _mm512_max_epi32(_mm512_min_epi32(_mm512_cvttps_epi32(xRG), lastCell), _mm512_setzero_si512());
    const __m512i iBA = _mm512_max_epi32(_mm512_min_epi32(_mm512_cvttps_epi32(xBA), lastCell), _mm512_setzero_si512());
    const __m512 fRG = _mm512_sub_ps(xRG, _mm512_cvtepi32_ps(iRG));
    const __m512 fBA = _mm512_sub_ps(xBA, _mm512_cvtepi32_ps(iBA));

    // Each pixel's fractions and weights over both of its lanes.
    const __m512 fb = _mm512_moveldup_ps(fBA), wb = _mm512_sub_ps(one, fb);
    const __m512 fg = _mm512_movehdup_ps(fRG), wg = _mm512_sub_ps(one, fg);
    const __m512 fr = _mm512_moveldup_ps(fRG), wr = _mm512_sub_ps(one, fr);
    const __m512 blueWeights = _mm512_mask_blend_ps(kOddLanes, wb, fb);

    // Float offset of corner T(0, 0, 0): the low 32 bits of each 64-bit lane hold the red (or
    // blue) cell, the high 32 bits the green one.
    const __m512i offset = _mm512_add_epi64(
        _mm512_add_epi64(_mm512_mul_epu32(iRG, stepR), _mm512_mul_epu32(_mm512_srli_epi64(iRG, 32), stepG)),
        _mm512_mul_epu32(iBA, three));

    __m512 eRG[2][2], eB[2][2];
    for (int dr = 0; dr < 2; ++dr)
      for (int dg = 0; dg < 2; ++dg) {
        __m512i o = offset;
        if (dr) o = _mm512_add_epi64(o, stepR);
        if (dg) o = _mm512_add_epi64(o, stepG);
        const __m512 g0 = gatherPairs(table, o);                          // (r0, g0)
        const __m512 g1 = gatherPairs(table, _mm512_add_epi64(o, two));   // (b0, r1)
        const __m512 g2 = gatherPairs(table, _mm512_add_epi64(o, four));  // (g1, b1): ends inside the table
        eRG[dr][dg] = lerp(g0, _mm512_permutex2var_ps(g1, toNextRG, g2), wb, fb);
        // (b0 (1 - fb), b1 fb), summed into the even lane.
        const __m512 blue = _mm512_mul_ps(_mm512_mask_blend_ps(kOddLanes, g1, g2), blueWeights);
        eB[dr][dg] = _mm512_add_ps(blue, _mm512_movehdup_ps(blue));
      }
    const __m512 fRG0 = lerp(eRG[0][0], eRG[0][1], wg, fg);
    const __m512 fRG1 = lerp(eRG[1][0], eRG[1][1], wg, fg);
    const __m512 fB0 = lerp(eB[0][0], eB[0][1], wg, fg);
    const __m512 fB1 = lerp(eB[1][0], eB[1][1], wg, fg);
    const __m512 lRG = lerp(fRG0, fRG1, wr, fr);
    const __m512 lB = lerp(fB0, fB1, wr, fr);

    const __m512 outRG = _mm512_add_ps(_mm512_mul_ps(mixRG, lRG), _mm512_mul_ps(keepRG, clampedRG));
    const __m512 outB = _mm512_add_ps(_mm512_mul_ps(mixB, lB), _mm512_mul_ps(keepB, clampedBA));
    const __m512 outBA = _mm512_mask_blend_ps(kOddLanes, outB, ba);  // alpha as read
    _mm512_storeu_ps(dst + 4 * x, evenPairs(outRG, outBA));
    _mm512_storeu_ps(dst + 4 * x + 16, oddPairs(outRG, outBA));
  }
  if (x < count) applyRowLiteral(src + 4 * x, dst + 4 * x, count - x, params);
}

PAIRS_TARGET void applyRowLinearPlateAvx512(const float* codes, const float* plate, float* dst, int32_t count,
                                            const RowParams& params) {
  pairs::applyRowLinearPlate(codes, plate, dst, count, params);
}

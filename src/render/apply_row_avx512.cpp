// AVX-512 row kernel, eight pixels at a time with channels in lanes (red and green share one
// 512-bit register). Each pixel's two blue-neighbour corners are six consecutive floats, fetched
// as three 64-bit gathers and then sorted into channels. Every lane performs exactly the
// literal sequence of multiplies and adds.
// GCC 12 warns about the deliberately undefined placeholder registers inside its own AVX-512
// intrinsics.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include "render/apply_kernels.h"

#define VANTREL_AVX512 __attribute__((target("avx512f,avx2")))

namespace {

VANTREL_AVX512 inline __m512 clampUnit16(__m512 v) {
  return _mm512_max_ps(_mm512_min_ps(v, _mm512_set1_ps(1.0f)), _mm512_setzero_ps());
}

VANTREL_AVX512 inline __m256 low(__m512 v) { return _mm512_castps512_ps256(v); }

VANTREL_AVX512 inline __m256 high(__m512 v) {
  return _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(v), 1));
}

VANTREL_AVX512 inline __m512 join(__m256 lo, __m256 hi) {
  return _mm512_castpd_ps(_mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_castps_pd(lo)), _mm256_castps_pd(hi), 1));
}

VANTREL_AVX512 inline __m512 lerp(__m512 a, __m512 b, __m512 keep, __m512 take) {
  return _mm512_add_ps(_mm512_mul_ps(a, keep), _mm512_mul_ps(b, take));
}

VANTREL_AVX512 inline __m256 lerp(__m256 a, __m256 b, __m256 keep, __m256 take) {
  return _mm256_add_ps(_mm256_mul_ps(a, keep), _mm256_mul_ps(b, take));
}

struct Corners {
  __m512 lowRG;  // T(.., 0) red | green
  __m512 highRG;  // T(.., 1) red | green
  __m512 blue;  // T(.., 0) blue | T(.., 1) blue
};

VANTREL_AVX512 inline Corners gatherPair(const float* table, __m256i offset) {
  const __m512 g0 = _mm512_castsi512_ps(_mm512_i32gather_epi64(offset, table, 4));
  const __m512 g1 = _mm512_castsi512_ps(_mm512_i32gather_epi64(_mm256_add_epi32(offset, _mm256_set1_epi32(2)), table, 4));
  const __m512 g2 = _mm512_castsi512_ps(_mm512_i32gather_epi64(_mm256_add_epi32(offset, _mm256_set1_epi32(4)), table, 4));
  // g0 holds (r0, g0) per pixel, g1 (b0, r1), g2 (g1, b1).
  const __m512i evenOdd = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15);
  const __m512i oddEven = _mm512_setr_epi32(1, 3, 5, 7, 9, 11, 13, 15, 16, 18, 20, 22, 24, 26, 28, 30);
  const __m512i evenOdd2 = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 17, 19, 21, 23, 25, 27, 29, 31);
  Corners c;
  c.lowRG = _mm512_permutexvar_ps(evenOdd, g0);
  c.highRG = _mm512_permutex2var_ps(g1, oddEven, g2);
  c.blue = _mm512_permutex2var_ps(g1, evenOdd2, g2);
  return c;
}

}  // namespace

VANTREL_AVX512 void applyRowAvx512(const float* src, float* dst, int32_t count, const RowParams& params) {
  if (!params.useLut) {
    applyRowAvx2(src, dst, count, params);
    return;
  }
  const int32_t n = params.lut->size;
  const float* table = params.lut->data;
  const __m256i stepG = _mm256_set1_epi32(n * 3);
  const __m256i stepR = _mm256_set1_epi32(n * n * 3);
  const __m512 scale = _mm512_set1_ps(float(n - 1));
  const __m512i lastCell = _mm512_set1_epi32(n - 2);
  const __m256i sizeVec = _mm256_set1_epi32(n);
  const __m512 one = _mm512_set1_ps(1.0f);
  const __m512 mixRG = join(_mm256_set1_ps(params.mix[0]), _mm256_set1_ps(params.mix[1]));
  const __m512 keepRG = join(_mm256_set1_ps(params.oneMinusMix[0]), _mm256_set1_ps(params.oneMinusMix[1]));
  const __m256 mixB = _mm256_set1_ps(params.mix[2]);
  const __m256 keepB = _mm256_set1_ps(params.oneMinusMix[2]);
  const __m512i toRG = _mm512_setr_epi32(0, 4, 8, 12, 16, 20, 24, 28, 1, 5, 9, 13, 17, 21, 25, 29);
  const __m512i toBA = _mm512_setr_epi32(2, 6, 10, 14, 18, 22, 26, 30, 3, 7, 11, 15, 19, 23, 27, 31);
  const __m512i toPixels0 = _mm512_setr_epi32(0, 8, 16, 24, 1, 9, 17, 25, 2, 10, 18, 26, 3, 11, 19, 27);
  const __m512i toPixels1 = _mm512_setr_epi32(4, 12, 20, 28, 5, 13, 21, 29, 6, 14, 22, 30, 7, 15, 23, 31);

  int32_t x = 0;
  for (; x + 8 <= count; x += 8) {
    const __m512 p0 = _mm512_loadu_ps(src + 4 * x);
    const __m512 p1 = _mm512_loadu_ps(src + 4 * x + 16);
    const __m512 rg = _mm512_permutex2var_ps(p0, toRG, p1);
    const __m512 ba = _mm512_permutex2var_ps(p0, toBA, p1);
    const __m512 clampedRG = clampUnit16(rg);
    const __m512 clampedBA = clampUnit16(ba);
    const __m512 xRG = _mm512_mul_ps(clampedRG, scale);
    const __m512 xBA = _mm512_mul_ps(clampedBA, scale);
    const __m512i iRG = _mm512_max_epi32(_mm512_min_epi32(_mm512_cvttps_epi32(xRG), lastCell), _mm512_setzero_si512());
    const __m512i iBA = _mm512_max_epi32(_mm512_min_epi32(_mm512_cvttps_epi32(xBA), lastCell), _mm512_setzero_si512());
    const __m512 fRG = _mm512_sub_ps(xRG, _mm512_cvtepi32_ps(iRG));
    const __m512 fBA = _mm512_sub_ps(xBA, _mm512_cvtepi32_ps(iBA));
    const __m512 wRG = _mm512_sub_ps(one, fRG);
    const __m512 wBA = _mm512_sub_ps(one, fBA);

    const __m256i ir = _mm512_castsi512_si256(iRG);
    const __m256i ig = _mm512_extracti64x4_epi64(iRG, 1);
    const __m256i ib = _mm512_castsi512_si256(iBA);
    __m256i offset = _mm256_add_epi32(_mm256_mullo_epi32(ir, sizeVec), ig);
    offset = _mm256_add_epi32(_mm256_mullo_epi32(offset, sizeVec), ib);
    offset = _mm256_add_epi32(offset, _mm256_add_epi32(offset, offset));

    // Per-pixel weights, repeated for the red and green halves.
    const __m256 fb = low(fBA), wb = low(wBA);
    const __m512 fb2 = join(fb, fb), wb2 = join(wb, wb);
    const __m512 fg2 = join(high(fRG), high(fRG)), wg2 = join(high(wRG), high(wRG));
    const __m512 fr2 = join(low(fRG), low(fRG)), wr2 = join(low(wRG), low(wRG));

    __m512 eRG[2][2];
    __m256 eB[2][2];
    for (int dr = 0; dr < 2; ++dr)
      for (int dg = 0; dg < 2; ++dg) {
        __m256i o = offset;
        if (dr) o = _mm256_add_epi32(o, stepR);
        if (dg) o = _mm256_add_epi32(o, stepG);
        const Corners c = gatherPair(table, o);
        eRG[dr][dg] = lerp(c.lowRG, c.highRG, wb2, fb2);
        eB[dr][dg] = lerp(low(c.blue), high(c.blue), wb, fb);
      }
    const __m256 fg = high(fRG), wg = high(wRG);
    const __m512 fRG0 = lerp(eRG[0][0], eRG[0][1], wg2, fg2);
    const __m512 fRG1 = lerp(eRG[1][0], eRG[1][1], wg2, fg2);
    const __m256 fB0 = lerp(eB[0][0], eB[0][1], wg, fg);
    const __m256 fB1 = lerp(eB[1][0], eB[1][1], wg, fg);
    const __m512 lRG = lerp(fRG0, fRG1, wr2, fr2);
    const __m256 lB = lerp(fB0, fB1, low(wRG), low(fRG));

    const __m512 outRG = _mm512_add_ps(_mm512_mul_ps(mixRG, lRG), _mm512_mul_ps(keepRG, clampedRG));
    const __m256 outB = _mm256_add_ps(_mm256_mul_ps(mixB, lB), _mm256_mul_ps(keepB, low(clampedBA)));
    const __m512 outBA = join(outB, high(ba));
    _mm512_storeu_ps(dst + 4 * x, _mm512_permutex2var_ps(outRG, toPixels0, outBA));
    _mm512_storeu_ps(dst + 4 * x + 16, _mm512_permutex2var_ps(outRG, toPixels1, outBA));
  }
  if (x < count) applyRowLiteral(src + 4 * x, dst + 4 * x, count - x, params);
}

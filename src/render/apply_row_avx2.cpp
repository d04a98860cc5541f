// AVX2 row kernels: over a RedPairs table (apply_pairs_body.h) when the caller has one, else
// over the lattice itself as follows. Cell indices and fractions are computed eight pixels at a time; each
// pixel's eight corners are then read as 16-byte loads, two lattice points per 256-bit
// register (red neighbours in the two halves), and interpolated with the colour channels in
// the lanes. Every lane performs exactly the literal sequence of multiplies and adds.
#include <immintrin.h>

#include "render/apply_kernels.h"

#define VANTREL_AVX2 __attribute__((target("avx2")))
#define PAIRS_TARGET VANTREL_AVX2
#include "render/apply_pairs_body.h"

namespace {

VANTREL_AVX2 inline __m128 clampUnit4(__m128 v) {
  // min keeps its second operand for NaN, max keeps +0.0 for -0.0: the literal clamp.
  return _mm_max_ps(_mm_min_ps(v, _mm_set1_ps(1.0f)), _mm_setzero_ps());
}

VANTREL_AVX2 inline __m256 clampUnit8(__m256 v) {
  return _mm256_max_ps(_mm256_min_ps(v, _mm256_set1_ps(1.0f)), _mm256_setzero_ps());
}

// Two RGB triples as [T(p) | T(q)]: four floats from each; the fourth lane is never used.
VANTREL_AVX2 inline __m256 loadPair(const float* p, const float* q) {
  return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(p)), _mm_loadu_ps(q), 1);
}

// The blue neighbour of each triple, read from two floats earlier so that the load ends
// inside the table, then shifted down one lane.
VANTREL_AVX2 inline __m256 loadNextPair(const float* p, const float* q) {
  return _mm256_permute_ps(loadPair(p + 2, q + 2), _MM_SHUFFLE(3, 3, 2, 1));
}

VANTREL_AVX2 void clampRow(const float* src, float* dst, int32_t count) {
  int32_t x = 0;
  for (; x + 2 <= count; x += 2) {
    const __m256 v = _mm256_loadu_ps(src + 4 * x);
    _mm256_storeu_ps(dst + 4 * x, _mm256_blend_ps(clampUnit8(v), v, 0x88));
  }
  for (; x < count; ++x) {
    const __m128 v = _mm_loadu_ps(src + 4 * x);
    _mm_storeu_ps(dst + 4 * x, _mm_blend_ps(clampUnit4(v), v, 0x8));
  }
}

}  // namespace

VANTREL_AVX2 void applyRowAvx2(const float* src, float* dst, int32_t count, const RowParams& params) {
  if (!params.useLut) {
    clampRow(src, dst, count);
    return;
  }
  if (params.redPairs) return pairs::applyRow(src, dst, count, params);
  const int32_t n = params.lut->size;
  const float* table = params.lut->data;
  const int32_t stepG = n * 3;
  const int32_t stepR = n * n * 3;
  const __m256 scale = _mm256_set1_ps(float(n - 1));
  const __m256i lastCell = _mm256_set1_epi32(n - 2);
  const __m256i sizeVec = _mm256_set1_epi32(n);
  const __m256 one8 = _mm256_set1_ps(1.0f);
  const __m128 mix = _mm_setr_ps(params.mix[0], params.mix[1], params.mix[2], 0.0f);
  const __m128 keep = _mm_setr_ps(params.oneMinusMix[0], params.oneMinusMix[1], params.oneMinusMix[2], 0.0f);

  alignas(32) int32_t base[8];
  alignas(32) float fr[8], fg[8], fb[8], wr[8], wg[8], wb[8];

  int32_t x = 0;
  for (; x + 8 <= count; x += 8) {
    const float* s = src + 4 * x;
    // The rows' next lines, 256 pixels ahead: the corner loads keep the load ports busy enough
    // that the hardware prefetcher falls behind on frames larger than the caches. Prefetches
    // never fault, so running past the row's end is harmless.
    _mm_prefetch(reinterpret_cast<const char*>(s + 1024), _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char*>(s + 1040), _MM_HINT_T0);
    __builtin_prefetch(dst + 4 * x + 1024, 1);
    __builtin_prefetch(dst + 4 * x + 1040, 1);
    const __m256 p01 = _mm256_loadu_ps(s);
    const __m256 p23 = _mm256_loadu_ps(s + 8);
    const __m256 p45 = _mm256_loadu_ps(s + 16);
    const __m256 p67 = _mm256_loadu_ps(s + 24);
    // In-lane transpose: lane k holds pixel (k & 3) * 2 + (k >> 2).
    const __m256 t0 = _mm256_unpacklo_ps(p01, p23);
    const __m256 t1 = _mm256_unpackhi_ps(p01, p23);
    const __m256 t2 = _mm256_unpacklo_ps(p45, p67);
    const __m256 t3 = _mm256_unpackhi_ps(p45, p67);
    const __m256 xr = _mm256_mul_ps(clampUnit8(_mm256_shuffle_ps(t0, t2, 0x44)), scale);
    const __m256 xg = _mm256_mul_ps(clampUnit8(_mm256_shuffle_ps(t0, t2, 0xEE)), scale);
    const __m256 xb = _mm256_mul_ps(clampUnit8(_mm256_shuffle_ps(t1, t3, 0x44)), scale);

    const __m256i zero = _mm256_setzero_si256();
    const __m256i ir = _mm256_max_epi32(_mm256_min_epi32(_mm256_cvttps_epi32(xr), lastCell), zero);
    const __m256i ig = _mm256_max_epi32(_mm256_min_epi32(_mm256_cvttps_epi32(xg), lastCell), zero);
    const __m256i ib = _mm256_max_epi32(_mm256_min_epi32(_mm256_cvttps_epi32(xb), lastCell), zero);
    const __m256 vfr = _mm256_sub_ps(xr, _mm256_cvtepi32_ps(ir));
    const __m256 vfg = _mm256_sub_ps(xg, _mm256_cvtepi32_ps(ig));
    const __m256 vfb = _mm256_sub_ps(xb, _mm256_cvtepi32_ps(ib));
    __m256i index = _mm256_add_epi32(_mm256_mullo_epi32(ir, sizeVec), ig);
    index = _mm256_add_epi32(_mm256_mullo_epi32(index, sizeVec), ib);
    index = _mm256_add_epi32(index, _mm256_add_epi32(index, index));
    _mm256_store_si256(reinterpret_cast<__m256i*>(base), index);
    _mm256_store_ps(fr, vfr);
    _mm256_store_ps(fg, vfg);
    _mm256_store_ps(fb, vfb);
    _mm256_store_ps(wr, _mm256_sub_ps(one8, vfr));
    _mm256_store_ps(wg, _mm256_sub_ps(one8, vfg));
    _mm256_store_ps(wb, _mm256_sub_ps(one8, vfb));

#pragma GCC unroll 8
    for (int k = 0; k < 8; ++k) {
      const float* c = table + base[k];
      const __m256 lowG0 = loadPair(c, c + stepR);
      const __m256 lowG1 = loadNextPair(c, c + stepR);
      const __m256 highG0 = loadPair(c + stepG, c + stepR + stepG);
      const __m256 highG1 = loadNextPair(c + stepG, c + stepR + stepG);
      const __m256 kb = _mm256_broadcast_ss(&wb[k]);
      const __m256 tb = _mm256_broadcast_ss(&fb[k]);
      const __m256 e0 = _mm256_add_ps(_mm256_mul_ps(lowG0, kb), _mm256_mul_ps(lowG1, tb));
      const __m256 e1 = _mm256_add_ps(_mm256_mul_ps(highG0, kb), _mm256_mul_ps(highG1, tb));
      const __m256 f =
          _mm256_add_ps(_mm256_mul_ps(e0, _mm256_broadcast_ss(&wg[k])), _mm256_mul_ps(e1, _mm256_broadcast_ss(&fg[k])));
      const __m128 l = _mm_add_ps(_mm_mul_ps(_mm256_castps256_ps128(f), _mm_broadcast_ss(&wr[k])),
                                  _mm_mul_ps(_mm256_extractf128_ps(f, 1), _mm_broadcast_ss(&fr[k])));
      const int32_t pixel = (k & 3) * 2 + (k >> 2);
      const __m128 v = _mm_loadu_ps(s + 4 * pixel);
      const __m128 out = _mm_add_ps(_mm_mul_ps(mix, l), _mm_mul_ps(keep, clampUnit4(v)));
      _mm_storeu_ps(dst + 4 * (x + pixel), _mm_blend_ps(out, v, 0x8));
    }
  }
  if (x < count) applyRowLiteral(src + 4 * x, dst + 4 * x, count - x, params);
}

VANTREL_AVX2 void applyRowLinearPlateAvx2(const float* codes, const float* plate, float* dst, int32_t count,
                                          const RowParams& params) {
  pairs::applyRowLinearPlate(codes, plate, dst, count, params);
}

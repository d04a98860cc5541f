// The encoding kernels over W float lanes (W / 4 RGBA pixels side by side), written once with the
// compiler's generic vector types. Every lane performs the same single-precision operations in
// the same order whatever W is, and log2 and exp2 are polynomials of plain arithmetic here (no
// library calls), so every kernel set gives the same bits. Included by each kernels_<isa>.cpp
// after its target pragma; nothing here has external linkage.
#pragma once

#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

#include "encoding/encoding_kernels.h"

#define ENCODING_INLINE inline __attribute__((always_inline))

namespace {
namespace lanes {

template <int W>
struct V {
  typedef float F __attribute__((vector_size(W * 4)));
  typedef int32_t I __attribute__((vector_size(W * 4)));
};

template <class T>
ENCODING_INLINE T load(const float* p) {
  T v;
  __builtin_memcpy(&v, p, sizeof v);
  return v;
}

template <class T>
ENCODING_INLINE void store(float* p, T v) {
  __builtin_memcpy(p, &v, sizeof v);
}

template <class T>
ENCODING_INLINE T splat(float x) {
  return T{} + x;
}

// Lane i takes lane J of its own pixel: (i & ~3) + J.
template <int J, class T, size_t... K>
ENCODING_INLINE T pixelLane(T v, std::index_sequence<K...>) {
  return __builtin_shufflevector(v, v, int((K & ~size_t(3)) + J)...);
}

template <int J, int W, class T>
ENCODING_INLINE T pixelLane(T v) {
  return pixelLane<J>(v, std::make_index_sequence<W>());
}

// -1 in the R, G and B lanes, 0 in the alpha lanes.
template <int W>
ENCODING_INLINE typename V<W>::I colourLanes() {
  typename V<W>::I m;
  for (int i = 0; i < W; ++i) m[i] = (i & 3) == 3 ? 0 : -1;
  return m;
}

template <int W>
ENCODING_INLINE typename V<W>::I isFinite(typename V<W>::F v) {
  using I = typename V<W>::I;
  const I bits = reinterpret_cast<I>(v);
  return (bits & 0x7f800000) != 0x7f800000;
}

// log2 for positive normal x (other lanes give garbage, never a trap): the exponent plus a
// polynomial in t = m - 1 for the mantissa m brought within [sqrt(1/2), sqrt(2)) (Chebyshev
// interpolation of log2(1 + t) / t of degree 8: within 6e-8 of log2 m), free of divisions.
template <int W>
ENCODING_INLINE typename V<W>::F log2v(typename V<W>::F x) {
  using F = typename V<W>::F;
  using I = typename V<W>::I;
  const I bits = reinterpret_cast<I>(x);
  I e = ((bits >> 23) & 0xff) - 127;
  F m = reinterpret_cast<F>((bits & 0x007fffff) | 0x3f800000);
  const I big = m > 1.41421356f;
  m = big ? m * 0.5f : m;
  e = e - big;  // big is -1 where true
  const F t = m - 1.0f;
  F p = splat<F>(0.12310968f);
  p = p * t + -0.20586188f;
  p = p * t + 0.21607822f;
  p = p * t + -0.23916988f;
  p = p * t + 0.28790325f;
  p = p * t + -0.36069328f;
  p = p * t + 0.48091075f;
  p = p * t + -0.72134745f;
  p = p * t + 1.4426950f;
  return __builtin_convertvector(e, F) + t * p;
}

// 2^x for x within [-126, 127] (clamped there): 2^round(x) from the exponent bits times the
// Taylor series of 2^f, |f| <= 1/2, to degree 7.
template <int W>
ENCODING_INLINE typename V<W>::F exp2v(typename V<W>::F x) {
  using F = typename V<W>::F;
  using I = typename V<W>::I;
  x = x < 127.0f ? x : 127.0f;
  x = x > -126.0f ? x : -126.0f;
  const F n = (x + 12582912.0f) - 12582912.0f;  // nearest integer, ties to even
  const F f = x - n;
  const F p =
      1.0f + f * (0.69314718f +
                  f * (0.24022651f +
                       f * (0.055504109f +
                            f * (0.0096181291f + f * (0.0013333558f + f * (1.5403530e-4f + f * 1.5252734e-5f))))));
  const I scale = (__builtin_convertvector(n, I) + 127) << 23;
  return p * reinterpret_cast<F>(scale);
}

// The correctly rounded square root of every lane, as each instruction set has it.
template <int W>
ENCODING_INLINE typename V<W>::F sqrtv(typename V<W>::F x) {
  using F = typename V<W>::F;
  if constexpr (W == 16) {
    // The masked form: GCC 12's plain one starts from an undefined register it then warns about.
    const __m512 v = reinterpret_cast<__m512>(x);
    return reinterpret_cast<F>(_mm512_mask_sqrt_ps(v, __mmask16(0xFFFF), v));
  } else if constexpr (W == 8) {
    return reinterpret_cast<F>(_mm256_sqrt_ps(reinterpret_cast<__m256>(x)));
  } else {
    return reinterpret_cast<F>(_mm_sqrt_ps(reinterpret_cast<__m128>(x)));
  }
}

// A base-2 logarithm taken octave by octave: the exponent plus q(f) = f (4 - f) / 3 of the
// mantissa's fraction f, the quadratic that is exact at powers of two and joins the octaves with
// an unbroken slope (within 0.003 of a stop of log2; for positive normal x). octaveExp2 is its
// inverse (f = 2 - sqrt(4 - 3 r) for the fraction r of y). The working spaces are made of these:
// a few operations each way where a true logarithm costs thirty.
template <int W>
ENCODING_INLINE typename V<W>::F octaveLog2(typename V<W>::F x) {
  using F = typename V<W>::F;
  using I = typename V<W>::I;
  const I bits = reinterpret_cast<I>(x);
  const F f = __builtin_convertvector(bits & 0x007fffff, F) * (1.0f / 8388608.0f);
  // The exponent's bits alone: lanes of negative x (which callers do not use) cannot overflow.
  return __builtin_convertvector(((bits >> 23) & 0xff) - 127, F) + f * (4.0f - f) * (1.0f / 3.0f);
}

template <int W>
ENCODING_INLINE typename V<W>::F octaveExp2(typename V<W>::F y) {
  using F = typename V<W>::F;
  using I = typename V<W>::I;
  y = y < 127.0f ? y : 127.0f;
  y = y > -126.0f ? y : -126.0f;
  I n = __builtin_convertvector(y, I);
  n = n + (y < __builtin_convertvector(n, F));  // floor: one less where truncation went up
  const F r = y - __builtin_convertvector(n, F);
  const F f = 2.0f - sqrtv<W>(4.0f - 3.0f * r);
  return (1.0f + f) * reinterpret_cast<F>((n + 127) << 23);
}

template <int W>
ENCODING_INLINE typename V<W>::F maxv(typename V<W>::F a, typename V<W>::F b) {
  return a > b ? a : b;
}

// A camera curve, linear light to code values.
template <int W>
ENCODING_INLINE typename V<W>::F curveEncode(const LogCurve& c, typename V<W>::F x) {
  using F = typename V<W>::F;
  const F logPart = c.logSlope * log2v<W>(c.linSlope * x + c.linOffset) + c.logOffset;
  const F linearPart = c.linearSlope * x + c.linearOffset;
  F code = x >= c.linBreak ? logPart : linearPart;
  if (c.mirrored) {
    const F mirrored = c.mirrorOffset - c.logSlope * log2v<W>(c.linSlope * -x + c.linOffset);
    code = x < c.mirrorBreak ? mirrored : code;
  }
  return code;
}

// A camera curve, code values to linear light.
template <int W>
ENCODING_INLINE typename V<W>::F curveDecode(const LogCurve& c, typename V<W>::F y) {
  using F = typename V<W>::F;
  const F logPart = (exp2v<W>((y - c.logOffset) * c.invLogSlope) - c.linOffset) * c.invLinSlope;
  const F linearPart = (y - c.linearOffset) * c.invLinearSlope;
  F x = y >= c.codeBreak ? logPart : linearPart;
  if (c.mirrored) {
    const F mirrored = (c.linOffset - exp2v<W>((c.mirrorOffset - y) * c.invLogSlope)) * c.invLinSlope;
    x = y < c.mirrorCodeBreak ? mirrored : x;
  }
  return x;
}

// Working-space code values of linear light L >= 0 (below 0 gives 0, except Linear).
template <int W, int Kind>
ENCODING_INLINE typename V<W>::F workingEncode(const PlateTransform& t, typename V<W>::F L) {
  using F = typename V<W>::F;
  if (Kind == WorkingSpace::Linear) return L * t.scale;
  if (Kind == WorkingSpace::Gamma) {
    const F x = L * t.scale;
    const F code = octaveExp2<W>(octaveLog2<W>(x) * (1.0f / 2.4f)) * t.codeTop;
    return x > 0.0f ? code : splat<F>(0.0f);
  }
  const F logPart = (octaveLog2<W>(L) - t.lo) * t.invRange;
  const F toePart = L > 0.0f ? L * t.toeSlope : splat<F>(0.0f);
  return L < t.toe ? toePart : logPart;
}

template <int W, int Kind>
ENCODING_INLINE typename V<W>::F workingDecode(const PlateTransform& t, typename V<W>::F C) {
  using F = typename V<W>::F;
  if (Kind == WorkingSpace::Linear) return C * t.space.top;
  if (Kind == WorkingSpace::Gamma) {
    const F light = octaveExp2<W>(octaveLog2<W>(C * t.invCodeTop) * 2.4f) * t.space.top;
    return C > 0.0f ? light : splat<F>(0.0f);
  }
  const F logPart = octaveExp2<W>(C * t.range + t.lo);
  const F toePart = C > 0.0f ? C * t.invToeSlope : splat<F>(0.0f);
  return C < t.toeCode ? toePart : logPart;
}

template <int W, bool LinearPlate>
ENCODING_INLINE typename V<W>::F toLight(const PlateTransform& t, typename V<W>::F p) {
  if (LinearPlate) return p;
  return curveDecode<W>(t.curve, p);
}

template <int W, bool LinearPlate>
ENCODING_INLINE typename V<W>::F fromLight(const PlateTransform& t, typename V<W>::F L) {
  if (LinearPlate) return L;
  return curveEncode<W>(t.curve, L);
}

// ---------------------------------------------------------------------------------------------
// Whole-array conversions, W floats at a time; the tail through zero-padded lanes. Alpha lanes
// are put back as they were.

template <int W, class Op>
ENCODING_INLINE void eachVector(float* rgba, int64_t pixels, Op op) {
  using F = typename V<W>::F;
  const typename V<W>::I colour = colourLanes<W>();
  const int64_t floats = pixels * 4;
  int64_t i = 0;
  for (; i + W <= floats; i += W) {
    const F v = load<F>(rgba + i);
    store(rgba + i, colour ? op(v) : v);
  }
  if (i == floats) return;
  float padded[W] = {};
  std::copy(rgba + i, rgba + floats, padded);
  const F v = load<F>(padded);
  store(padded, colour ? op(v) : v);
  std::copy(padded, padded + (floats - i), rgba + i);
}

template <int W>
void plateToLinearRows(const PlateTransform& t, float* rgba, int64_t pixels) {
  if (t.plateIsLinear) return;
  // exp2v saturates: a non-finite code value stays as it is rather than becoming a huge light.
  eachVector<W>(rgba, pixels, [&](typename V<W>::F v) { return isFinite<W>(v) ? curveDecode<W>(t.curve, v) : v; });
}

template <int W, int Kind>
void linearToCodeKind(const PlateTransform& t, float* rgba, int64_t pixels) {
  eachVector<W>(rgba, pixels, [&](typename V<W>::F v) {
    // Non-finite values stay as they are, so that the learners treat them as they always have.
    return isFinite<W>(v) ? workingEncode<W, Kind>(t, v) : v;
  });
}

template <int W>
void linearToCodeRows(const PlateTransform& t, float* rgba, int64_t pixels) {
  switch (t.space.kind) {
    case WorkingSpace::Gamma:
      return linearToCodeKind<W, WorkingSpace::Gamma>(t, rgba, pixels);
    case WorkingSpace::Log:
      return linearToCodeKind<W, WorkingSpace::Log>(t, rgba, pixels);
    case WorkingSpace::Linear:
      break;
  }
  linearToCodeKind<W, WorkingSpace::Linear>(t, rgba, pixels);
}

template <int W, int Kind, bool LinearPlate>
void codeToPlateKind(const PlateTransform& t, float* rgba, int64_t pixels) {
  eachVector<W>(rgba, pixels,
                [&](typename V<W>::F v) { return fromLight<W, LinearPlate>(t, workingDecode<W, Kind>(t, v)); });
}

template <int W, int Kind>
void codeToPlateOf(const PlateTransform& t, float* rgba, int64_t pixels) {
  if (t.plateIsLinear) return codeToPlateKind<W, Kind, true>(t, rgba, pixels);
  codeToPlateKind<W, Kind, false>(t, rgba, pixels);
}

template <int W>
void codeToPlateRows(const PlateTransform& t, float* rgba, int64_t pixels) {
  switch (t.space.kind) {
    case WorkingSpace::Gamma:
      return codeToPlateOf<W, WorkingSpace::Gamma>(t, rgba, pixels);
    case WorkingSpace::Log:
      return codeToPlateOf<W, WorkingSpace::Log>(t, rgba, pixels);
    case WorkingSpace::Linear:
      break;
  }
  codeToPlateOf<W, WorkingSpace::Linear>(t, rgba, pixels);
}

// ---------------------------------------------------------------------------------------------
// The application's two halves, W / 4 pixels at a time. Pixels beyond the working space's end
// and pixels with a non-finite channel are rare: a row is first taken as if it had none, and
// only a row that has one is taken again pixel by pixel.

template <int W>
ENCODING_INLINE bool anyLane(typename V<W>::I m) {
  uint32_t words[W];
  __builtin_memcpy(words, &m, sizeof m);
  uint32_t any = 0;
  for (int k = 0; k < W; ++k) any |= words[k];
  return any != 0;
}

// The largest of R, G and B of each pixel, in all four of its lanes.
template <int W>
ENCODING_INLINE typename V<W>::F pixelLargest(typename V<W>::F v) {
  return maxv<W>(maxv<W>(pixelLane<0, W>(v), pixelLane<1, W>(v)), pixelLane<2, W>(v));
}

// Code values with channels below 0 marked -1, and 1 in the alpha lanes; `rare` gathers the lanes
// of pixels the fast way does not serve.
template <int W, int Kind, bool LinearPlate>
ENCODING_INLINE void toLatticeFast(const PlateTransform& t, const float* src, float* codes, typename V<W>::I& rare) {
  using F = typename V<W>::F;
  using I = typename V<W>::I;
  const I colour = colourLanes<W>();
  const F p = load<F>(src);
  const F L = toLight<W, LinearPlate>(t, p);
  const F light = L > 0.0f ? L : splat<F>(0.0f);
  // |L| beyond the end, infinite or NaN (light far below 0 too, which the careful way leaves as
  // the fast one does); a non-finite code value always decodes to a non-finite light here.
  const F magnitude = reinterpret_cast<F>(reinterpret_cast<I>(L) & 0x7fffffff);
  const I finitePlate = LinearPlate ? I{} + -1 : isFinite<W>(p);
  rare |= ~((magnitude <= t.end) & finitePlate) & colour;
  const F code = workingEncode<W, Kind>(t, light);
  store(codes, colour ? (L < 0.0f ? splat<F>(-1.0f) : code) : splat<F>(1.0f));
}

// The same for any pixel: one beyond the end is scaled down along its ray to the end, with the
// scale k in the alpha lane; one with a non-finite channel has all three marked -1.
template <int W, int Kind, bool LinearPlate>
ENCODING_INLINE void toLatticeVector(const PlateTransform& t, const float* src, float* codes) {
  using F = typename V<W>::F;
  using I = typename V<W>::I;
  const I colour = colourLanes<W>();
  const F p = load<F>(src);
  const F L = toLight<W, LinearPlate>(t, p);
  I marked = L < 0.0f;
  F light = L > 0.0f ? L : splat<F>(0.0f);
  F scale = splat<F>(1.0f);
  if (anyLane<W>((light > t.end) & colour)) {
    const F largest = pixelLargest<W>(light);
    const I beyond = largest > t.end;
    scale = beyond ? largest / t.end : scale;
    light = beyond ? light / scale : light;
  }
  const I broken = ~(isFinite<W>(p) & isFinite<W>(L)) & colour;
  if (anyLane<W>(broken)) {
    marked |= pixelLane<0, W>(broken) | pixelLane<1, W>(broken) | pixelLane<2, W>(broken);
    scale = marked ? splat<F>(1.0f) : scale;
  }
  const F code = workingEncode<W, Kind>(t, light);
  store(codes, colour ? (marked ? splat<F>(-1.0f) : code) : scale);
}

// Marked channels keep the Source's value; the others take mix x match + keep x Source, the
// match being the light of the looked-up code, times k when `Scaled`, in plate values.
template <int W, int Kind, bool LinearPlate, bool Scaled>
ENCODING_INLINE void toPlateVector(const PlateTransform& t, const float* src, const float* codes, const float* looked,
                                   float* dst, typename V<W>::F mix, typename V<W>::F keep) {
  using F = typename V<W>::F;
  using I = typename V<W>::I;
  const I colour = colourLanes<W>();
  const F p = load<F>(src);
  const F c = load<F>(codes);
  F M = workingDecode<W, Kind>(t, load<F>(looked));
  if (Scaled) M = M * pixelLane<3, W>(c);
  const F Q = fromLight<W, LinearPlate>(t, M);
  const F blended = mix * Q + keep * p;
  // Linear light matched in linear light cannot overflow; a curve can, far beyond its range.
  const I overflow = (LinearPlate && Kind == WorkingSpace::Linear) ? I{} : ~isFinite<W>(Q);
  store(dst, ((c < 0.0f) | overflow | ~colour) ? p : blended);
}

template <int W, int Kind, bool LinearPlate>
bool toLatticeRow(const PlateTransform& t, const float* src, float* codes, int32_t pixels) {
  constexpr int P = W / 4;
  using I = typename V<W>::I;
  I rare{};
  int32_t i = 0;
#pragma GCC unroll 4
  for (; i + P <= pixels; i += P) {
    // The row's next lines, 256 pixels ahead, as the lookup kernels fetch them: the hardware
    // prefetcher falls behind on frames larger than the caches. Prefetches never fault.
    __builtin_prefetch(src + i * 4 + 1024);
    toLatticeFast<W, Kind, LinearPlate>(t, src + i * 4, codes + i * 4, rare);
  }
  // One pixel per four-lane vector: the same operations on each lane.
  typename V<4>::I rareTail{};
  for (int32_t j = i; j < pixels; ++j) toLatticeFast<4, Kind, LinearPlate>(t, src + j * 4, codes + j * 4, rareTail);
  if (!anyLane<W>(rare) && !anyLane<4>(rareTail)) return false;
  for (i = 0; i + P <= pixels; i += P) toLatticeVector<W, Kind, LinearPlate>(t, src + i * 4, codes + i * 4);
  for (; i < pixels; ++i) toLatticeVector<4, Kind, LinearPlate>(t, src + i * 4, codes + i * 4);
  return true;
}

template <int W, int Kind, bool LinearPlate, bool Scaled>
void toPlateRow(const PlateTransform& t, const float* src, const float* codes, const float* looked, float* dst,
                int32_t pixels, const PlateMixes& m) {
  constexpr int P = W / 4;
  using F = typename V<W>::F;
  using F4 = typename V<4>::F;
  F mix, keep;
  for (int i = 0; i < W; ++i) {
    mix[i] = (i & 3) == 3 ? 0.0f : m.mix[i & 3];
    keep[i] = (i & 3) == 3 ? 1.0f : m.keep[i & 3];
  }
  int32_t i = 0;
#pragma GCC unroll 4
  for (; i + P <= pixels; i += P) {
    __builtin_prefetch(dst + i * 4 + 1024, 1);
    toPlateVector<W, Kind, LinearPlate, Scaled>(t, src + i * 4, codes + i * 4, looked + i * 4, dst + i * 4, mix, keep);
  }
  const F4 mix4 = {m.mix[0], m.mix[1], m.mix[2], 0.0f}, keep4 = {m.keep[0], m.keep[1], m.keep[2], 1.0f};
  for (; i < pixels; ++i)
    toPlateVector<4, Kind, LinearPlate, Scaled>(t, src + i * 4, codes + i * 4, looked + i * 4, dst + i * 4, mix4,
                                                keep4);
}

template <int W, int Kind>
bool plateToLatticeOf(const PlateTransform& t, const float* src, float* codes, int32_t pixels) {
  if (t.plateIsLinear) return toLatticeRow<W, Kind, true>(t, src, codes, pixels);
  return toLatticeRow<W, Kind, false>(t, src, codes, pixels);
}

template <int W>
bool plateToLatticeRows(const PlateTransform& t, const float* src, float* codes, int32_t pixels) {
  switch (t.space.kind) {
    case WorkingSpace::Gamma:
      return plateToLatticeOf<W, WorkingSpace::Gamma>(t, src, codes, pixels);
    case WorkingSpace::Log:
      return plateToLatticeOf<W, WorkingSpace::Log>(t, src, codes, pixels);
    case WorkingSpace::Linear:
      break;
  }
  return plateToLatticeOf<W, WorkingSpace::Linear>(t, src, codes, pixels);
}

template <int W, int Kind, bool LinearPlate>
void latticeToPlateScaled(const PlateTransform& t, const float* src, const float* codes, const float* looked,
                          float* dst, int32_t pixels, const PlateMixes& m, bool scaled) {
  if (scaled) return toPlateRow<W, Kind, LinearPlate, true>(t, src, codes, looked, dst, pixels, m);
  toPlateRow<W, Kind, LinearPlate, false>(t, src, codes, looked, dst, pixels, m);
}

template <int W, int Kind>
void latticeToPlateOf(const PlateTransform& t, const float* src, const float* codes, const float* looked, float* dst,
                      int32_t pixels, const PlateMixes& m, bool scaled) {
  if (t.plateIsLinear) return latticeToPlateScaled<W, Kind, true>(t, src, codes, looked, dst, pixels, m, scaled);
  latticeToPlateScaled<W, Kind, false>(t, src, codes, looked, dst, pixels, m, scaled);
}

template <int W>
void latticeToPlateRows(const PlateTransform& t, const float* src, const float* codes, const float* looked, float* dst,
                        int32_t pixels, const PlateMixes& m, bool scaled) {
  switch (t.space.kind) {
    case WorkingSpace::Gamma:
      return latticeToPlateOf<W, WorkingSpace::Gamma>(t, src, codes, looked, dst, pixels, m, scaled);
    case WorkingSpace::Log:
      return latticeToPlateOf<W, WorkingSpace::Log>(t, src, codes, looked, dst, pixels, m, scaled);
    case WorkingSpace::Linear:
      break;
  }
  latticeToPlateOf<W, WorkingSpace::Linear>(t, src, codes, looked, dst, pixels, m, scaled);
}

template <int W>
constexpr EncodingKernels kernelsOf() {
  return {plateToLinearRows<W>, linearToCodeRows<W>, codeToPlateRows<W>, plateToLatticeRows<W>, latticeToPlateRows<W>};
}

}  // namespace lanes
}  // namespace

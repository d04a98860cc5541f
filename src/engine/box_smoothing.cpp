// Separable box smoothing of the lattice: block sums are formed one axis at a time (blue,
// then green within each red plane, then red), about 3 (2 rad + 1) adds per value instead of
// (2 rad + 1)^3, in vector lanes along the rows. Each partial sum runs from the lowest offset
// up. Blocks clipped at the lattice faces are summed over a zero-padded copy of the row, which
// adds exact zeros where the direct sum skips a term, and divided by the count of real terms.
#include <algorithm>
#include <cstring>

#include "engine/engine_internal.h"
#include "engine/simd.h"

namespace engine {
namespace {

struct Window {
  int32_t first;
  int32_t last;
};

Window windowAt(int32_t i, int32_t n, int32_t rad, bool clipped) {
  if (!clipped) return {i - rad, i + rad};
  return {std::max(0, i - rad), std::min(n - 1, i + rad)};
}

// Floats of one row of the smoothed region, rounded up to whole 16-lane vectors.
int64_t rowStride(int32_t n) { return (int64_t(n) * 3 + 15) / 16 * 16; }

struct Box {
  float* lattice;
  int32_t n, rad, lo, hi;
  bool clipped;
  float* work;
};

// out[0 .. lanes) = sum over j in the window of in[j * inStride + ...], whole vectors.
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

template <int W>
ENGINE_INLINE void smooth(const Box& box) {
  using F = typename simd::V<W>::F;
  using I = typename simd::V<W>::I;
  const int32_t n = box.n, rad = box.rad, lo = box.lo, hi = box.hi;
  const int64_t m = hi - lo + 1;
  const int64_t stride = rowStride(n);
  const int64_t lanes = (m * 3 + W - 1) / W * W;  // of a row of the smoothed region
  const int64_t rowFloats = int64_t(n) * 3;
  const int64_t planeFloats = rowFloats * n;
  float* planes = box.work;                           // [r][g - lo][stride]: green and blue summed
  float* blueSums = planes + int64_t(n) * n * stride;  // [g][stride] of the current red plane
  float* padded = blueSums + int64_t(n) * stride;      // one lattice row with rad zero points each side
  float* sums = padded + (int64_t(n) + 2 * rad) * 3 + 16;
  float* counts = sums + stride;
  int32_t* blueCounts = reinterpret_cast<int32_t*>(counts + stride);

  const int64_t paddedFloats = (int64_t(n) + 2 * rad) * 3 + 16;
  std::fill(padded, padded + paddedFloats, 0.0f);
  const int32_t side = 2 * rad + 1;
  for (int64_t k = 0; k < stride; ++k) {
    const int32_t b = int32_t(std::min<int64_t>(lo + k / 3, hi));
    const Window w = windowAt(b, n, rad, box.clipped);
    blueCounts[k] = box.clipped ? w.last - w.first + 1 : side;
  }

  const Window span{windowAt(lo, n, rad, box.clipped).first, windowAt(hi, n, rad, box.clipped).last};
  for (int32_t r = span.first; r <= span.last; ++r) {
    const float* plane = box.lattice + r * planeFloats;
    for (int32_t g = span.first; g <= span.last; ++g) {
      std::memcpy(padded + int64_t(rad) * 3, plane + g * rowFloats, size_t(rowFloats) * sizeof(float));
      const float* first = padded + int64_t(lo) * 3;  // window of b = lo starts rad points before it
      float* out = blueSums + int64_t(g) * stride;
      for (int64_t l = 0; l < lanes; l += W) {
        F s = simd::load<F>(first + l);
        for (int32_t d = 1; d < side; ++d) s += simd::load<F>(first + l + 3 * d);
        simd::store(out + l, s);
      }
    }
    for (int32_t g = lo; g <= hi; ++g) {
      sumRows<W>(blueSums, stride, windowAt(g, n, rad, box.clipped), planes + (r * m + g - lo) * stride, lanes);
    }
  }

  for (int32_t r = lo; r <= hi; ++r) {
    const Window wr = windowAt(r, n, rad, box.clipped);
    for (int32_t g = lo; g <= hi; ++g) {
      const Window wg = windowAt(g, n, rad, box.clipped);
      const int32_t rg = (wr.last - wr.first + 1) * (wg.last - wg.first + 1);
      sumRows<W>(planes + (g - lo) * stride, m * stride, wr, sums, lanes);
      for (int64_t l = 0; l < lanes; l += W) {
        I c;
        __builtin_memcpy(&c, blueCounts + l, sizeof c);
        const F count = __builtin_convertvector(c * rg, F);
        simd::store(counts + l, simd::load<F>(sums + l) / count);
      }
      std::memcpy(box.lattice + r * planeFloats + g * rowFloats + int64_t(lo) * 3, counts,
                  size_t(m * 3) * sizeof(float));
    }
  }
}

ENGINE_TARGET_AVX512 void smoothAvx512(const Box& box) { smooth<16>(box); }
ENGINE_TARGET_AVX2 void smoothAvx2(const Box& box) { smooth<8>(box); }
void smoothGeneric(const Box& box) { smooth<4>(box); }

}  // namespace

int64_t smoothingWorkFloats(int32_t n) {
  const int64_t n64 = n;
  const int64_t stride = rowStride(n);
  // planes, blue sums, the padded row (rad < n), red sums, quotients, blue counts
  return n64 * n64 * stride + n64 * stride + (3 * n64) * 3 + 16 + 3 * stride;
}

void smoothBox(float* lattice, int32_t n, int32_t rad, int32_t lo, int32_t hi, bool clipped, float* work) {
  if (lo > hi || rad < 1) return;
  const Box box{lattice, n, std::min(rad, n - 1), lo, hi, clipped, work};
  switch (activeIsa()) {
    case Isa::Avx512: return smoothAvx512(box);
    case Isa::Avx2: return smoothAvx2(box);
    default: return smoothGeneric(box);
  }
}

}  // namespace engine

// Separable box smoothing of the lattice: block sums are formed one axis at a time (blue,
// then green within each red plane, then red), which costs about 3 (2 rad + 1) adds per value
// instead of (2 rad + 1)^3. Each sum runs from the lowest offset up, like the direct sum.
#include <algorithm>
#include <cstring>

#include "engine/engine_internal.h"

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

// out[l] = sum over j in the window of in[j * inStride + l], for l < lanes.
void sumLines(const float* in, int64_t inStride, Window w, float* out, int64_t lanes) {
  const float* src = in + int64_t(w.first) * inStride;
  std::memcpy(out, src, size_t(lanes) * sizeof(float));
  for (int32_t j = w.first + 1; j <= w.last; ++j) {
    src += inStride;
    for (int64_t l = 0; l < lanes; ++l) out[l] += src[l];
  }
}

}  // namespace

int64_t smoothingWorkFloats(int32_t n) {
  const int64_t n64 = n;
  return n64 * n64 * n64 * 3 + n64 * n64 * 3;
}

void smoothBox(float* lattice, int32_t n, int32_t rad, int32_t lo, int32_t hi, bool clipped, float* work) {
  if (lo > hi) return;
  const int64_t m = hi - lo + 1;
  const int64_t rowFloats = int64_t(n) * 3;   // one green row of the lattice
  const int64_t planeFloats = rowFloats * n;  // one red plane of the lattice
  const int64_t outRow = m * 3;               // one green row of the smoothed region
  const int64_t outPlane = outRow * m;
  float* planes = work;                               // [r][g - lo][b - lo][c], green and blue summed
  float* blueSums = work + int64_t(n) * outPlane;     // [g][b - lo][c] of the current red plane

  const Window rWin{windowAt(lo, n, rad, clipped).first, windowAt(hi, n, rad, clipped).last};
  const Window gWin = rWin;  // the lattice is cubic and the region too
  for (int32_t r = rWin.first; r <= rWin.last; ++r) {
    const float* plane = lattice + r * planeFloats;
    for (int32_t g = gWin.first; g <= gWin.last; ++g) {
      const float* row = plane + g * rowFloats;
      float* out = blueSums + int64_t(g) * outRow;
      for (int32_t b = lo; b <= hi; ++b) {
        const Window w = windowAt(b, n, rad, clipped);
        float s[3] = {row[w.first * 3], row[w.first * 3 + 1], row[w.first * 3 + 2]};
        for (int32_t j = w.first + 1; j <= w.last; ++j) {
          s[0] += row[j * 3];
          s[1] += row[j * 3 + 1];
          s[2] += row[j * 3 + 2];
        }
        float* o = out + int64_t(b - lo) * 3;
        o[0] = s[0];
        o[1] = s[1];
        o[2] = s[2];
      }
    }
    for (int32_t g = lo; g <= hi; ++g) {
      sumLines(blueSums, outRow, windowAt(g, n, rad, clipped), planes + r * outPlane + (g - lo) * outRow, outRow);
    }
  }

  float* sums = blueSums;  // reused: one row of red sums
  float* counts = blueSums + outRow;
  const int32_t side = 2 * rad + 1;
  for (int32_t r = lo; r <= hi; ++r) {
    const Window wr = windowAt(r, n, rad, clipped);
    for (int32_t g = lo; g <= hi; ++g) {
      const Window wg = windowAt(g, n, rad, clipped);
      const int32_t rgCount = clipped ? (wr.last - wr.first + 1) * (wg.last - wg.first + 1) : side * side;
      for (int32_t b = lo; b <= hi; ++b) {
        const Window wb = windowAt(b, n, rad, clipped);
        const float count = float(rgCount * (clipped ? wb.last - wb.first + 1 : side));
        counts[(b - lo) * 3] = counts[(b - lo) * 3 + 1] = counts[(b - lo) * 3 + 2] = count;
      }
      sumLines(planes + (g - lo) * outRow, outPlane, wr, sums, outRow);
      float* dst = lattice + r * planeFloats + g * rowFloats + int64_t(lo) * 3;
      for (int64_t l = 0; l < outRow; ++l) dst[l] = sums[l] / counts[l];
    }
  }
}

}  // namespace engine

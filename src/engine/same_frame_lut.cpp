// Learns the match from two grades of one picture: pixel pairs at the same position are binned
// by Source colour, each cell takes the mean target colour, empty cells keep the identity, and
// the lattice is averaged over box blocks clipped to the lattice.
#include <algorithm>
#include <memory>
#include <new>

#include "engine/engine.h"
#include "engine/engine_internal.h"
#include "engine/kernels.h"
#include "engine/pair_sampling.h"

namespace {

int32_t binIndex(float v, float last, int32_t n) {
  const int32_t i = int32_t(v * last + 0.5f);
  return i > n - 1 ? n - 1 : (i < 0 ? 0 : i);
}

}  // namespace

bool buildMatchLUT_SameClip(const unsigned char* sourcePixels, int32_t sourceWidth, int32_t sourceHeight,
                            int32_t sourceRowBytes, const unsigned char* referencePixels, int32_t referenceWidth,
                            int32_t referenceHeight, int32_t referenceRowBytes, LUT3D& lut, float smoothingRadius,
                            PreserveMode mode, KernelSet kernels, const ParallelFor* parallel) {
  const FramePair frame{{sourcePixels, sourceWidth, sourceHeight, sourceRowBytes},
                        {referencePixels, referenceWidth, referenceHeight, referenceRowBytes}};
  return buildMatchLUT_SameClipFrames(&frame, 1, lut, smoothingRadius, mode, kernels, parallel);
}

bool buildMatchLUT_SameClipFrames(const FramePair* frames, int32_t frameCount, LUT3D& lut, float smoothingRadius,
                                  PreserveMode mode, KernelSet kernels, const ParallelFor* parallel) {
  lut.valid = false;
  const int32_t n = lut.size;
  if (!engine::latticeUsable(lut)) return false;
  const int64_t cells = int64_t(n) * n * n;
  std::unique_ptr<float[]> sums;  // three sums per cell, interleaved like the lattice
  std::unique_ptr<int32_t[]> counts;
  std::unique_ptr<float[]> work;
  std::unique_ptr<float[]> coord;
  try {
    sums.reset(new float[size_t(cells * 3)]());
    coord.reset(new float[size_t(n)]);
    counts.reset(new int32_t[size_t(cells)]());
    if (smoothingRadius > 0.0f) work.reset(new float[size_t(engine::smoothingWorkFloats(n, parallel))]);
  } catch (const std::bad_alloc&) {
    return false;
  }

  const float last = float(n - 1);
  // Bins each batch's pairs in grid order, so each cell's sums run in that order.
  engine::forEachPairBatch(frames, frameCount, mode, kernels, [&](const engine::PairBatch& batch) {
    for (int i = 0; i < batch.count; ++i) {
      const int64_t cell = (int64_t(binIndex(batch.src[0][i], last, n)) * n + binIndex(batch.src[1][i], last, n)) * n +
                           binIndex(batch.src[2][i], last, n);
      counts[cell] += 1;
      for (int c = 0; c < 3; ++c) sums[cell * 3 + c] += batch.target[c][i];
    }
  });

  // Identity values from a table of i / (n - 1): the same quotients, without three divisions
  // per empty cell.
  for (int32_t i = 0; i < n; ++i) coord[i] = float(i) / last;
  float* p = lut.data;
  int64_t cell = 0;
  for (int32_t r = 0; r < n; ++r) {
    for (int32_t g = 0; g < n; ++g) {
      for (int32_t b = 0; b < n; ++b, ++cell, p += 3) {
        if (counts[cell] >= 1) {
          const float count = float(counts[cell]);
          p[0] = sums[cell * 3] / count;
          p[1] = sums[cell * 3 + 1] / count;
          p[2] = sums[cell * 3 + 2] / count;
        } else {
          p[0] = coord[r];
          p[1] = coord[g];
          p[2] = coord[b];
        }
      }
    }
  }
  sums.reset();
  counts.reset();

  if (smoothingRadius > 0.0f) {
    // Offsets past n - 1 always leave the lattice, so larger radii (and infinity) act as n - 1.
    const int32_t rad =
        smoothingRadius >= float(n - 1) ? n - 1 : (smoothingRadius < 1.0f ? 1 : int32_t(smoothingRadius));
    engine::smoothBox(kernels, lut.data, n, rad, 0, n - 1, true, work.get(), parallel);
  }
  lut.valid = true;
  return true;
}

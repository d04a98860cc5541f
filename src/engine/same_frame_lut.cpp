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

// A sampled pair as the binning needs it: the Source colour's cell and the target colour.
struct SampledPair {
  int32_t cell;
  float target[3];
};

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
  int64_t pairs = 0;
  for (int32_t f = 0; f < frameCount; ++f) {
    const engine::FrameGrid g = engine::frameGrid(frames[f], pairs);
    pairs += g.columns * g.rows;
  }
  std::unique_ptr<float[]> sums;  // three sums per cell, interleaved like the lattice
  std::unique_ptr<int32_t[]> counts;
  std::unique_ptr<float[]> work;
  std::unique_ptr<float[]> coord;
  std::unique_ptr<SampledPair[]> sampled;
  try {
    sums.reset(new float[size_t(cells * 3)]());
    coord.reset(new float[size_t(n)]);
    counts.reset(new int32_t[size_t(cells)]());
    if (smoothingRadius > 0.0f) work.reset(new float[size_t(engine::smoothingWorkFloats(n, parallel))]);
    sampled.reset(new SampledPair[size_t(pairs > 0 ? pairs : 1)]);
  } catch (const std::bad_alloc&) {
    return false;
  }

  const float last = float(n - 1);
  const engine::Kernels& k = engine::kernelsFor(kernels);
  // Every pair's cell and target, stretches of the grids on several threads; then the binning,
  // each task taking the cells of some red planes and going through all pairs in grid order, so
  // each cell's sums run in that order whatever the split.
  // Small enough stretches that a thread the host starts late still finds work.
  const int32_t stretches = int32_t(std::min<int64_t>(64, std::max<int64_t>(1, pairs / 1024)));
  runTasks(parallel, stretches, [&](int32_t t, int32_t) {
    const int64_t begin = pairs * t / stretches, end = pairs * (t + 1) / stretches;
    for (int64_t f = 0, first = 0; f < frameCount; ++f) {
      const engine::FrameGrid g = engine::frameGrid(frames[f], first);
      const int64_t count = g.columns * g.rows;
      first += count;
      const int64_t from = std::max(begin, g.first) - g.first, to = std::min(end, g.first + count) - g.first;
      if (from >= to) continue;
      engine::forPairRange(g, from, to, mode, k, [&](const engine::PairBatch& batch, int64_t batchFirst) {
        for (int i = 0; i < batch.count; ++i) {
          SampledPair& p = sampled[g.first + batchFirst + i];
          p.cell = int32_t((int64_t(binIndex(batch.src[0][i], last, n)) * n + binIndex(batch.src[1][i], last, n)) * n +
                           binIndex(batch.src[2][i], last, n));
          for (int c = 0; c < 3; ++c) p.target[c] = batch.target[c][i];
        }
      });
    }
  });
  // Each binning task goes through every pair: a few per thread.
  const int32_t binners = std::min(n, 2 * slotCount(parallel));
  runTasks(parallel, binners, [&](int32_t t, int32_t) {
    const engine::TaskRange planes = engine::taskRange(0, n - 1, t, binners);
    const int64_t lo = int64_t(planes.begin) * n * n, hi = int64_t(planes.end) * n * n;
    for (int64_t i = 0; i < pairs; ++i) {
      const int64_t cell = sampled[i].cell;
      if (cell < lo || cell >= hi) continue;
      counts[cell] += 1;
      for (int c = 0; c < 3; ++c) sums[cell * 3 + c] += sampled[i].target[c];
    }
  });
  sampled.reset();

  // Identity values from a table of i / (n - 1): the same quotients, without three divisions
  // per empty cell.
  for (int32_t i = 0; i < n; ++i) coord[i] = float(i) / last;
  const auto fillPlane = [&](int32_t r, int32_t) {
    int64_t cell = int64_t(r) * n * n;
    float* p = lut.data + cell * 3;
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
  };
  const TaskBody fill(fillPlane);
  if (smoothingRadius > 0.0f) {
    // Offsets past n - 1 always leave the lattice, so larger radii (and infinity) act as n - 1.
    const int32_t rad =
        smoothingRadius >= float(n - 1) ? n - 1 : (smoothingRadius < 1.0f ? 1 : int32_t(smoothingRadius));
    // Each plane is filled and summed by the smoothing's first pass in one task.
    engine::smoothBox(kernels, lut.data, n, rad, 0, n - 1, true, work.get(), parallel, &fill);
  } else {
    runTasks(parallel, n, fill);
  }
  lut.valid = true;
  return true;
}

// Learns the match from two grades of one picture: pixel pairs at the same position are binned
// by Source colour, each cell takes the mean target colour, empty cells keep the identity, and
// the lattice is averaged over box blocks clipped to the lattice.
#include <algorithm>
#include <memory>
#include <new>

#include "engine/engine.h"
#include "engine/engine_internal.h"
#include "engine/kernels.h"

namespace {

constexpr double kPairSamples = 50000.0;

int32_t binIndex(float v, float last, int32_t n) {
  const int32_t i = int32_t(v * last + 0.5f);
  return i > n - 1 ? n - 1 : (i < 0 ? 0 : i);
}

// Pairs of one stretch of the grid with their target colours, converted in vector batches.
struct PairBatch {
  static constexpr int kSize = 256;
  float src[3][kSize];
  float ref[3][kSize];
  float target[3][kSize];
  float L8[kSize];      // of the side that gives brightness
  float lab[3][kSize];  // of the side that gives colour
  int count = 0;
};

void computeTargets(const engine::Kernels& k, PairBatch& p, PreserveMode mode) {
  if (mode != PreserveBrightness && mode != PreserveColors) {
    for (int c = 0; c < 3; ++c) std::copy_n(p.ref[c], p.count, p.target[c]);
    return;
  }
  // Brightness from one side, colour from the other: the brightness side needs L8 only.
  const bool brightnessFromSource = mode == PreserveBrightness;
  const float(&light)[3][PairBatch::kSize] = brightnessFromSource ? p.src : p.ref;
  const float(&colour)[3][PairBatch::kSize] = brightnessFromSource ? p.ref : p.src;
  k.lightness(light[0], light[1], light[2], p.L8, p.count);
  k.rgbToLab8(colour[0], colour[1], colour[2], p.lab[0], p.lab[1], p.lab[2], p.count);
  k.lab8ToRgb(p.L8, p.lab[1], p.lab[2], p.target[0], p.target[1], p.target[2], p.count);
}

}  // namespace

bool buildMatchLUT_SameClip(const unsigned char* sourcePixels, int32_t sourceWidth, int32_t sourceHeight,
                            int32_t sourceRowBytes, const unsigned char* referencePixels, int32_t referenceWidth,
                            int32_t referenceHeight, int32_t referenceRowBytes, LUT3D& lut, float smoothingRadius,
                            PreserveMode mode, KernelSet kernels) {
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
    if (smoothingRadius > 0.0f) work.reset(new float[size_t(engine::smoothingWorkFloats(n))]);
  } catch (const std::bad_alloc&) {
    return false;
  }

  const float last = float(n - 1);
  const int32_t step = engine::samplingStep(sourceWidth, sourceHeight, kPairSamples);
  const int32_t w = sourceWidth < referenceWidth ? sourceWidth : referenceWidth;
  const int32_t h = sourceHeight < referenceHeight ? sourceHeight : referenceHeight;
  if (sourcePixels != nullptr && referencePixels != nullptr) {
    PairBatch batch;
    // Bins the batch's pairs in grid order, so each cell's sums run in that order.
    auto flush = [&] {
      computeTargets(engine::kernelsFor(kernels), batch, mode);
      for (int i = 0; i < batch.count; ++i) {
        const int64_t cell =
            (int64_t(binIndex(batch.src[0][i], last, n)) * n + binIndex(batch.src[1][i], last, n)) * n +
            binIndex(batch.src[2][i], last, n);
        counts[cell] += 1;
        for (int c = 0; c < 3; ++c) sums[cell * 3 + c] += batch.target[c][i];
      }
      batch.count = 0;
    };
    for (int64_t y = 0; y < h; y += step) {
      const float* srow = reinterpret_cast<const float*>(sourcePixels + y * sourceRowBytes);
      const float* rrow = reinterpret_cast<const float*>(referencePixels + y * referenceRowBytes);
      for (int64_t x = 0; x < w; x += step) {
        for (int c = 0; c < 3; ++c) {
          batch.src[c][batch.count] = engine::clampUnit(srow[x * 4 + c]);
          batch.ref[c][batch.count] = engine::clampUnit(rrow[x * 4 + c]);
        }
        if (++batch.count == PairBatch::kSize) flush();
      }
    }
    flush();
  }

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
    engine::smoothBox(kernels, lut.data, n, rad, 0, n - 1, true, work.get());
  }
  lut.valid = true;
  return true;
}

// Learns the match from two grades of one picture: pixel pairs at the same position are binned
// by Source colour, each cell takes the mean target colour, empty cells keep the identity, and
// the lattice is averaged over box blocks clipped to the lattice.
#include <memory>
#include <new>

#include "engine/engine.h"
#include "engine/engine_internal.h"

namespace {

constexpr double kPairSamples = 50000.0;

int32_t binIndex(float v, float last, int32_t n) {
  const int32_t i = int32_t(v * last + 0.5f);
  return i > n - 1 ? n - 1 : (i < 0 ? 0 : i);
}

void targetColor(PreserveMode mode, const float* s, const float* ref, float* out) {
  if (mode != PreserveBrightness && mode != PreserveColors) {
    out[0] = ref[0];
    out[1] = ref[1];
    out[2] = ref[2];
    return;
  }
  float ls[3], lr[3];
  rgbToLab8(s[0], s[1], s[2], ls[0], ls[1], ls[2]);
  rgbToLab8(ref[0], ref[1], ref[2], lr[0], lr[1], lr[2]);
  if (mode == PreserveBrightness) {
    lab8ToRgb(ls[0], lr[1], lr[2], out[0], out[1], out[2]);
  } else {
    lab8ToRgb(lr[0], ls[1], ls[2], out[0], out[1], out[2]);
  }
}

}  // namespace

bool buildMatchLUT_SameClip(const unsigned char* sourcePixels, int32_t sourceWidth, int32_t sourceHeight,
                            int32_t sourceRowBytes, const unsigned char* referencePixels, int32_t referenceWidth,
                            int32_t referenceHeight, int32_t referenceRowBytes, LUT3D& lut, float smoothingRadius,
                            PreserveMode mode) {
  lut.valid = false;
  const int32_t n = lut.size;
  if (lut.data == nullptr || n < 2) return false;
  const int64_t cells = int64_t(n) * n * n;
  std::unique_ptr<float[]> sums;  // three sums per cell, interleaved like the lattice
  std::unique_ptr<int32_t[]> counts;
  std::unique_ptr<float[]> work;
  try {
    sums.reset(new float[size_t(cells * 3)]());
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
    for (int64_t y = 0; y < h; y += step) {
      const float* srow = reinterpret_cast<const float*>(sourcePixels + y * sourceRowBytes);
      const float* rrow = reinterpret_cast<const float*>(referencePixels + y * referenceRowBytes);
      for (int64_t x = 0; x < w; x += step) {
        const float s[3] = {engine::clampUnit(srow[x * 4]), engine::clampUnit(srow[x * 4 + 1]),
                            engine::clampUnit(srow[x * 4 + 2])};
        const float ref[3] = {engine::clampUnit(rrow[x * 4]), engine::clampUnit(rrow[x * 4 + 1]),
                              engine::clampUnit(rrow[x * 4 + 2])};
        float t[3];
        targetColor(mode, s, ref, t);
        const int64_t cell =
            (int64_t(binIndex(s[0], last, n)) * n + binIndex(s[1], last, n)) * n + binIndex(s[2], last, n);
        counts[cell] += 1;
        sums[cell * 3] += t[0];
        sums[cell * 3 + 1] += t[1];
        sums[cell * 3 + 2] += t[2];
      }
    }
  }

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
          p[0] = float(r) / last;
          p[1] = float(g) / last;
          p[2] = float(b) / last;
        }
      }
    }
  }
  sums.reset();
  counts.reset();

  if (smoothingRadius > 0.0f) {
    // Offsets past n - 1 always leave the lattice, so larger radii (and infinity) act as n - 1.
    const int32_t rad = smoothingRadius >= float(n - 1) ? n - 1 : (smoothingRadius < 1.0f ? 1 : int32_t(smoothingRadius));
    engine::smoothBox(lut.data, n, rad, 0, n - 1, true, work.get());
  }
  lut.valid = true;
  return true;
}

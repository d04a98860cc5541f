// Weighted mean and standard deviation of an image's Lab8 colours over a sparse grid of
// about 10,000 pixels, optionally weighted by a mask stretched over the image.
#include <cmath>

#include "engine/engine.h"
#include "engine/engine_internal.h"

namespace {

constexpr double kStatsSamples = 10000.0;

void writeNoData(ColorStats& out) {
  for (int c = 0; c < 3; ++c) {
    out.mean[c] = 0.5f;
    out.stdDev[c] = 0.25f;
  }
}

// Weight of the sample at image (x, y): 0 when the sample does not count.
float sampleWeight(const MaskData* mask, int32_t width, int32_t height, int32_t x, int32_t y) {
  if (mask == nullptr || mask->pixels == nullptr) return 1.0f;
  const int32_t mx = engine::maskCoordinate(mask->width, width, x);
  const int32_t my = engine::maskCoordinate(mask->height, height, y);
  if (mx < 0 || my < 0 || mx >= mask->width || my >= mask->height) return 0.0f;
  const unsigned char* row = mask->pixels + int64_t(my) * mask->rowBytes;
  const float* px = reinterpret_cast<const float*>(row);
  float v;
  if (mask->components == 4) {
    v = px[int64_t(mx) * 4 + 3];
  } else if (mask->components == 3) {
    v = px[int64_t(mx) * 3];
  } else {
    v = px[mx];
  }
  if (v < 0.5f) return 0.0f;
  return v < 1.0f ? v : 1.0f;  // NaN counts fully
}

}  // namespace

void computeColorStats(const unsigned char* pixels, int32_t width, int32_t height, int32_t rowBytes,
                       Colorspace /*space: Lab is the only one*/, ColorStats& out, const MaskData* mask) {
  if (pixels == nullptr || width <= 0 || height <= 0) {
    writeNoData(out);
    return;
  }
  const int32_t step = engine::samplingStep(width, height, kStatsSamples);

  double weightSum = 0.0;
  double sum[3] = {0.0, 0.0, 0.0};
  for (int64_t y = 0; y < height; y += step) {
    const float* row = reinterpret_cast<const float*>(pixels + y * rowBytes);
    for (int64_t x = 0; x < width; x += step) {
      const float w = sampleWeight(mask, width, height, int32_t(x), int32_t(y));
      if (w == 0.0f) continue;
      float lab[3];
      rgbToLab8(row[x * 4], row[x * 4 + 1], row[x * 4 + 2], lab[0], lab[1], lab[2]);
      weightSum += w;
      for (int c = 0; c < 3; ++c) sum[c] += lab[c] * w;
    }
  }
  if (weightSum < 0.000001) {
    writeNoData(out);
    return;
  }
  for (int c = 0; c < 3; ++c) out.mean[c] = float(sum[c] / weightSum);

  double weightSum2 = 0.0;
  double sq[3] = {0.0, 0.0, 0.0};
  for (int64_t y = 0; y < height; y += step) {
    const float* row = reinterpret_cast<const float*>(pixels + y * rowBytes);
    for (int64_t x = 0; x < width; x += step) {
      const float w = sampleWeight(mask, width, height, int32_t(x), int32_t(y));
      if (w == 0.0f) continue;
      float lab[3];
      rgbToLab8(row[x * 4], row[x * 4 + 1], row[x * 4 + 2], lab[0], lab[1], lab[2]);
      weightSum2 += w;
      for (int c = 0; c < 3; ++c) {
        const float d = lab[c] - out.mean[c];
        sq[c] += d * d * w;
      }
    }
  }
  for (int c = 0; c < 3; ++c) out.stdDev[c] = float(std::sqrt(sq[c] / weightSum2)) + 0.000001f;
}

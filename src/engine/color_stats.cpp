// Weighted mean and standard deviation of an image's Lab8 colours over a sparse grid of
// about 10,000 pixels, optionally weighted by a mask stretched over the image, and the same over
// several images pooled. Samples whose colour is not finite take no part.
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

// Counted samples of one grid row, converted to Lab8 in vector batches.
struct SampleBatch {
  static constexpr int kSize = 256;
  float rgb[3][kSize];
  float lab[3][kSize];
  float weight[kSize];
  int count = 0;
};

// Feeds every counted sample of the grid, in row order, to fn(lab, weight).
template <class Fn>
void forEachSample(KernelSet kernels, const unsigned char* pixels, int32_t width, int32_t height, int32_t rowBytes,
                   int32_t step, const MaskData* mask, Fn fn) {
  SampleBatch batch;
  auto flush = [&] {
    engine::rgbToLab8Batch(kernels, batch.rgb[0], batch.rgb[1], batch.rgb[2], batch.lab[0], batch.lab[1], batch.lab[2],
                           batch.count);
    for (int i = 0; i < batch.count; ++i) fn(batch.lab[0][i], batch.lab[1][i], batch.lab[2][i], batch.weight[i]);
    batch.count = 0;
  };
  for (int64_t y = 0; y < height; y += step) {
    const float* row = reinterpret_cast<const float*>(pixels + y * rowBytes);
    for (int64_t x = 0; x < width; x += step) {
      const float* px = row + x * 4;
      // A NaN or infinite colour (a bad render, a broken file) would make every sum NaN; such a
      // sample is left out exactly as a masked-out one is.
      if (!std::isfinite(px[0]) || !std::isfinite(px[1]) || !std::isfinite(px[2])) continue;
      const float w = sampleWeight(mask, width, height, int32_t(x), int32_t(y));
      if (w == 0.0f) continue;
      for (int c = 0; c < 3; ++c) batch.rgb[c][batch.count] = px[c];
      batch.weight[batch.count] = w;
      if (++batch.count == SampleBatch::kSize) flush();
    }
  }
  flush();
}

}  // namespace

bool computeColorStats(const unsigned char* pixels, int32_t width, int32_t height, int32_t rowBytes, Colorspace space,
                       ColorStats& out, const MaskData* mask, KernelSet kernels) {
  const MaskedImage frame{{pixels, width, height, rowBytes}, mask};
  return computeColorStatsFrames(&frame, 1, space, out, kernels);
}

bool computeColorStatsFrames(const MaskedImage* frames, int32_t frameCount, Colorspace /*space: Lab is the only one*/,
                             ColorStats& out, KernelSet kernels) {
  // Every frame on its own grid and with its own mask, in the order given: the sums run over the
  // samples exactly as they would over one image made of all the frames.
  auto forEachFrameSample = [&](auto fn) {
    for (int32_t f = 0; f < frameCount; ++f) {
      const ImageDesc& image = frames[f].image;
      if (image.pixels == nullptr || image.width <= 0 || image.height <= 0) continue;
      const int32_t step = engine::samplingStep(image.width, image.height, kStatsSamples);
      forEachSample(kernels, image.pixels, image.width, image.height, image.rowBytes, step, frames[f].mask, fn);
    }
  };

  double weightSum = 0.0;
  double sum[3] = {0.0, 0.0, 0.0};
  forEachFrameSample([&](float L8, float a8, float b8, float w) {
    weightSum += w;
    sum[0] += L8 * w;
    sum[1] += a8 * w;
    sum[2] += b8 * w;
  });
  if (weightSum < 0.000001) {
    writeNoData(out);
    return false;
  }
  for (int c = 0; c < 3; ++c) out.mean[c] = float(sum[c] / weightSum);

  // The conversions are recomputed rather than stored, so nothing is allocated.
  double weightSum2 = 0.0;
  double sq[3] = {0.0, 0.0, 0.0};
  forEachFrameSample([&](float L8, float a8, float b8, float w) {
    weightSum2 += w;
    const float d[3] = {L8 - out.mean[0], a8 - out.mean[1], b8 - out.mean[2]};
    for (int c = 0; c < 3; ++c) sq[c] += d[c] * d[c] * w;
  });
  for (int c = 0; c < 3; ++c) out.stdDev[c] = float(std::sqrt(sq[c] / weightSum2)) + 0.000001f;
  return true;
}

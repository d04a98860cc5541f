// The sampled pixel pairs that the Same Frame learners learn from: per frame a grid of about
// 50,000 pairs over the overlap of Source and Reference, both colours clamped to [0, 1], and the
// target colour the Preserve choice forms from each pair.
#pragma once

#include <algorithm>
#include <cstdint>

#include "engine/engine.h"
#include "engine/engine_internal.h"
#include "engine/kernels.h"

namespace engine {

constexpr double kPairSamples = 50000.0;

// Pairs of one stretch of the grids with their target colours, converted in vector batches.
struct PairBatch {
  static constexpr int kSize = 256;
  float src[3][kSize];
  float ref[3][kSize];
  float target[3][kSize];
  float L8[kSize];      // of the side that gives brightness
  float lab[3][kSize];  // of the side that gives colour
  int count = 0;
};

inline void computeTargets(const Kernels& k, PairBatch& p, PreserveMode mode) {
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

// Hands every sampled pair of every frame to fn(const PairBatch&) in batches, frames in order
// and each frame's grid row by row, with the targets formed. A frame whose Source or Reference
// has no pixels gives no pairs; the grid step comes from each frame's Source size.
template <class Fn>
void forEachPairBatch(const FramePair* frames, int32_t frameCount, PreserveMode mode, KernelSet kernels, Fn fn) {
  const Kernels& k = kernelsFor(kernels);
  PairBatch batch;
  auto flush = [&] {
    computeTargets(k, batch, mode);
    fn(static_cast<const PairBatch&>(batch));
    batch.count = 0;
  };
  for (int32_t f = 0; f < frameCount; ++f) {
    const ImageDesc& s = frames[f].source;
    const ImageDesc& r = frames[f].reference;
    if (s.pixels == nullptr || r.pixels == nullptr) continue;
    const int32_t step = samplingStep(s.width, s.height, kPairSamples);
    const int32_t w = s.width < r.width ? s.width : r.width;
    const int32_t h = s.height < r.height ? s.height : r.height;
    for (int64_t y = 0; y < h; y += step) {
      const float* srow = reinterpret_cast<const float*>(s.pixels + y * s.rowBytes);
      const float* rrow = reinterpret_cast<const float*>(r.pixels + y * r.rowBytes);
      for (int64_t x = 0; x < w; x += step) {
        for (int c = 0; c < 3; ++c) {
          batch.src[c][batch.count] = clampUnit(srow[x * 4 + c]);
          batch.ref[c][batch.count] = clampUnit(rrow[x * 4 + c]);
        }
        if (++batch.count == PairBatch::kSize) flush();
      }
    }
  }
  if (batch.count > 0) flush();
}

}  // namespace engine

namespace engine {

// One frame's sampling grid, and where its pairs start in forEachPairBatch's order.
struct FrameGrid {
  const FramePair* frame;
  int32_t step;
  int64_t columns, rows;  // 0 rows when the frame gives no pairs
  int64_t first;
};

inline FrameGrid frameGrid(const FramePair& f, int64_t first) {
  FrameGrid g{&f, 1, 0, 0, first};
  if (f.source.pixels == nullptr || f.reference.pixels == nullptr) return g;
  g.step = samplingStep(f.source.width, f.source.height, kPairSamples);
  const int64_t w = f.source.width < f.reference.width ? f.source.width : f.reference.width;
  const int64_t h = f.source.height < f.reference.height ? f.source.height : f.reference.height;
  if (w <= 0 || h <= 0) return g;
  g.columns = (w + g.step - 1) / g.step;
  g.rows = (h + g.step - 1) / g.step;
  return g;
}

// Hands the pairs of one frame with (frame-local) indices in [begin, end) to fn(batch, index of
// the batch's first pair), in order and with the targets formed: the same pairs and targets as
// forEachPairBatch gives, so that stretches of one grid can be sampled on different threads.
template <class Fn>
void forPairRange(const FrameGrid& g, int64_t begin, int64_t end, PreserveMode mode, const Kernels& k, Fn fn) {
  PairBatch batch;
  int64_t batchFirst = begin;
  auto flush = [&] {
    computeTargets(k, batch, mode);
    fn(static_cast<const PairBatch&>(batch), batchFirst);
    batchFirst += batch.count;
    batch.count = 0;
  };
  const ImageDesc& s = g.frame->source;
  const ImageDesc& r = g.frame->reference;
  for (int64_t i = begin; i < end; ++i) {
    const int64_t y = i / g.columns * g.step, x = i % g.columns * g.step;
    const float* sp = reinterpret_cast<const float*>(s.pixels + y * s.rowBytes) + x * 4;
    const float* rp = reinterpret_cast<const float*>(r.pixels + y * r.rowBytes) + x * 4;
    for (int c = 0; c < 3; ++c) {
      batch.src[c][batch.count] = clampUnit(sp[c]);
      batch.ref[c][batch.count] = clampUnit(rp[c]);
    }
    if (++batch.count == PairBatch::kSize) flush();
  }
  if (batch.count > 0) flush();
}

}  // namespace engine

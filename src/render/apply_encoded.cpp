#include "render/apply_encoded.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "encoding/encoding_kernels.h"
#include "render/apply_kernels.h"

namespace {

// Pixels converted at a time: the working rows stay in the first-level cache between the passes
// while the lookups sweep the lattice (64 measured fastest of 16 to 512).
constexpr int32_t kChunk = 64;

inline float* pixelAt(const ImageView& image, int32_t x, int32_t y) {
  return reinterpret_cast<float*>(image.data + int64_t(y - image.bounds.y1) * image.rowBytes +
                                  int64_t(x - image.bounds.x1) * 16);
}

inline void clearPixels(float* first, int64_t count) {
  if (count > 0) std::memset(first, 0, size_t(count) * 16);
}

inline int32_t cellOf(float code, int32_t n) {
  const int32_t i = int32_t(clampUnit(code) * float(n - 1));
  return i > n - 2 ? n - 2 : i;
}

// applyLUT's test of whether neighbouring pixels mostly fall in the same or adjacent lattice
// cells (the red-pair table then pays), made on the pixels' code values.
bool codesCoherent(const ImageView& source, const Rect& lit, int32_t n, const PlateTransform& plate,
                   const EncodingKernels& ek) {
  if (lit.width() < 2) return true;
  alignas(64) float pixels[16 * 16 * 2 * 4], codes[16 * 16 * 2 * 4];
  int32_t pairs = 0;
  for (int32_t row = 0; row < 16; ++row) {
    const int32_t y = int32_t(lit.y1 + lit.height() * row / 16);
    if (y < source.bounds.y1 || y >= source.bounds.y2) continue;
    for (int32_t column = 0; column < 16; ++column) {
      const int32_t x = int32_t(lit.x1 + (lit.width() - 1) * column / 16);
      std::memcpy(&pixels[pairs * 8], pixelAt(source, x, y), 32);
      ++pairs;
    }
  }
  ek.plateToLattice(plate, pixels, codes, pairs * 2);
  int32_t jumps = 0;
  for (int32_t p = 0; p < pairs; ++p) {
    int32_t jump = 0;
    for (int c = 0; c < 3; ++c)
      jump = std::max(jump, std::abs(cellOf(codes[p * 8 + c], n) - cellOf(codes[p * 8 + 4 + c], n)));
    jumps += jump > 1;
  }
  return jumps * 2 <= pairs;
}

}  // namespace

void applyEncodedLUT(const ImageView& source, const ImageView& output, const Rect& window, const LUT3D* lut,
                     const RedPairs* pairs, const ChannelMixes& mixes, const PlateTransform& plate, KernelSet kernels) {
  const Rect target = intersect(window, output.bounds);
  if (target.empty()) return;
  // The part of each row that has Source pixels; the rest of the window is transparent black.
  const Rect lit = intersect(Rect{source.bounds.x1, target.y1, source.bounds.x2, target.y2}, target);
  const bool useLut = lut != nullptr && lut->data != nullptr && lut->size >= 2;

  RowParams params;
  params.lut = lut;
  params.useLut = useLut;
  params.redPairs = useLut && pairs != nullptr && pairs->size == lut->size ? pairs->data : nullptr;
  // The lattice's answer alone: the blend happens in plate values, after the way back.
  for (int c = 0; c < 3; ++c) {
    params.mix[c] = 1.0f;
    params.oneMinusMix[c] = 0.0f;
  }
  KernelSet rowKernels = kernels;
  if (useLut && int64_t(lut->size) * lut->size * lut->size * 3 > INT32_MAX) rowKernels = KernelSet::Generic;
  const ApplyRowFn applyRow = applyRowFor(usableKernelSet(rowKernels));
  const EncodingKernels& ek = encodingKernelsFor(kernels);
  PlateMixes plateMixes;
  for (int c = 0; c < 3; ++c) {
    plateMixes.mix[c] = mixes.mix[c];
    plateMixes.keep[c] = mixes.oneMinusMix[c];
  }
  if (params.redPairs && !lit.empty() && !codesCoherent(source, lit, lut->size, plate, ek)) params.redPairs = nullptr;

  alignas(64) float codes[kChunk * 4], looked[kChunk * 4];
  for (int32_t y = target.y1; y < target.y2; ++y) {
    float* out = pixelAt(output, target.x1, y);
    if (y < source.bounds.y1 || y >= source.bounds.y2 || lit.empty()) {
      clearPixels(out, target.width());
      continue;
    }
    clearPixels(out, int64_t(lit.x1) - target.x1);
    const float* src = pixelAt(source, lit.x1, y);
    float* dst = out + 4 * (lit.x1 - target.x1);
    const int32_t width = int32_t(lit.width());
    if (!useLut) {
      std::memcpy(dst, src, size_t(width) * 16);
    } else {
      for (int32_t x = 0; x < width; x += kChunk) {
        const int32_t count = std::min(kChunk, width - x);
        const bool scaled = ek.plateToLattice(plate, src + 4 * x, codes, count);
        applyRow(codes, looked, count, params);
        ek.latticeToPlate(plate, src + 4 * x, codes, looked, dst + 4 * x, count, plateMixes, scaled);
      }
    }
    clearPixels(out + 4 * (lit.x2 - target.x1), int64_t(target.x2) - lit.x2);
  }
}

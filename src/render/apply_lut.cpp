#include "render/apply_lut.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "render/apply_kernels.h"

ApplyRowFn applyRowFor(KernelSet kernels) {
  switch (kernels) {
    case KernelSet::Avx2:
      return applyRowAvx2;
    case KernelSet::Avx512:
      return applyRowAvx512;
    case KernelSet::Generic:
      break;
  }
  return applyRowLiteral;
}

namespace {

inline float* pixelAt(const ImageView& image, int32_t x, int32_t y) {
  return reinterpret_cast<float*>(image.data + int64_t(y - image.bounds.y1) * image.rowBytes +
                                  int64_t(x - image.bounds.x1) * 16);
}

inline void clearPixels(float* first, int64_t count) {
  if (count > 0) std::memset(first, 0, size_t(count) * 16);
}

inline int32_t cellOf(float v, int32_t n) {
  const int32_t i = int32_t(clampUnit(v) * float(n - 1));
  return i > n - 2 ? n - 2 : i;
}

// Whether horizontally neighbouring pixels of the lit part mostly fall in the same or adjacent
// lattice cells, as in pictures, judged on up to 16 x 16 neighbour pairs spread over it. The
// red-pair table is 2.6 times the lattice's size: where neighbours jump across the cube (noise,
// random colours) its extra cache misses cost more than its loads save, and the lattice is read
// instead. Either way the bits are the same.
bool neighboursCoherent(const ImageView& source, const Rect& lit, int32_t n) {
  if (lit.width() < 2) return true;
  int32_t pairs = 0, jumps = 0;
  for (int32_t row = 0; row < 16; ++row) {
    const int32_t y = int32_t(lit.y1 + lit.height() * row / 16);
    if (y < source.bounds.y1 || y >= source.bounds.y2) continue;
    for (int32_t column = 0; column < 16; ++column) {
      const int32_t x = int32_t(lit.x1 + (lit.width() - 1) * column / 16);
      const float* a = pixelAt(source, x, y);
      const float* b = a + 4;
      int32_t jump = 0;
      for (int c = 0; c < 3; ++c) jump = std::max(jump, std::abs(cellOf(a[c], n) - cellOf(b[c], n)));
      ++pairs;
      jumps += jump > 1;
    }
  }
  return jumps * 2 <= pairs;
}

}  // namespace

ChannelMixes channelMixes(double strength, double red, double green, double blue) {
  const double mixes[3] = {strength * red, strength * green, strength * blue};
  ChannelMixes m;
  for (int c = 0; c < 3; ++c) {
    m.mix[c] = float(mixes[c]);
    m.oneMinusMix[c] = 1.0f - m.mix[c];
  }
  return m;
}

void applyLUT(const ImageView& source, const ImageView& output, const Rect& window, const LUT3D* lut,
              const ChannelMixes& mixes, KernelSet kernels) {
  applyLUT(source, output, window, lut, nullptr, mixes, kernels);
}

void applyLUT(const ImageView& source, const ImageView& output, const Rect& window, const LUT3D* lut,
              const RedPairs* pairs, const ChannelMixes& mixes, KernelSet kernels) {
  // Never write outside the Output image.
  const Rect target = intersect(window, output.bounds);
  if (target.empty()) return;

  RowParams params;
  params.lut = lut;
  params.useLut = lut != nullptr && lut->data != nullptr && lut->size >= 2;
  params.redPairs = params.useLut && pairs != nullptr && pairs->size == lut->size ? pairs->data : nullptr;
  for (int c = 0; c < 3; ++c) {
    params.mix[c] = mixes.mix[c];
    params.oneMinusMix[c] = mixes.oneMinusMix[c];
  }
  // The vector kernels address the lattice with 32-bit offsets.
  if (params.useLut && int64_t(lut->size) * lut->size * lut->size * 3 > INT32_MAX) kernels = KernelSet::Generic;
  const ApplyRowFn applyRow = applyRowFor(usableKernelSet(kernels));

  // The part of each row that has Source pixels; the rest of the window is transparent black.
  const Rect lit = intersect(Rect{source.bounds.x1, target.y1, source.bounds.x2, target.y2}, target);
  if (params.redPairs && !neighboursCoherent(source, lit, lut->size)) params.redPairs = nullptr;
  for (int32_t y = target.y1; y < target.y2; ++y) {
    float* out = pixelAt(output, target.x1, y);
    if (y < source.bounds.y1 || y >= source.bounds.y2 || lit.empty()) {
      clearPixels(out, target.width());
      continue;
    }
    clearPixels(out, int64_t(lit.x1) - target.x1);
    applyRow(pixelAt(source, lit.x1, y), out + 4 * (lit.x1 - target.x1), int32_t(lit.width()), params);
    clearPixels(out + 4 * (lit.x2 - target.x1), int64_t(target.x2) - lit.x2);
  }
}

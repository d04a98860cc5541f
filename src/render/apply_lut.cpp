#include "render/apply_lut.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "render/apply_kernels.h"

namespace {

ApplyRowFn rowFunction(ApplyKernel kernel) {
  if (!applyKernelSupported(kernel)) kernel = ApplyKernel::Literal;
  switch (kernel) {
    case ApplyKernel::Avx2:
      return applyRowAvx2;
    case ApplyKernel::Avx512:
      return applyRowAvx512;
    case ApplyKernel::Literal:
      break;
  }
  return applyRowLiteral;
}

inline float* pixelAt(const ImageDesc& image, int32_t x, int32_t y) {
  return reinterpret_cast<float*>(image.data + int64_t(y - image.bounds.y1) * image.rowBytes +
                                  int64_t(x - image.bounds.x1) * 16);
}

inline void clearPixels(float* first, int32_t count) {
  if (count > 0) std::memset(first, 0, size_t(count) * 16);
}

}  // namespace

bool applyKernelSupported(ApplyKernel kernel) {
  switch (kernel) {
    case ApplyKernel::Literal:
      return true;
    case ApplyKernel::Avx2:
      return __builtin_cpu_supports("avx2");
    case ApplyKernel::Avx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx2");
  }
  return false;
}

// The AVX-512 kernel fetches corners with gathers, which Intel's cores run fast and AMD's slowly;
// there the AVX2 kernel's plain 16-byte loads win (bench/render/apply_lut_bench measures both).
ApplyKernel bestApplyKernel() {
  static const ApplyKernel best = [] {
    __builtin_cpu_init();
    if (applyKernelSupported(ApplyKernel::Avx512) && __builtin_cpu_is("intel")) return ApplyKernel::Avx512;
    return applyKernelSupported(ApplyKernel::Avx2) ? ApplyKernel::Avx2 : ApplyKernel::Literal;
  }();
  return best;
}

void applyLUTWith(ApplyKernel kernel, const ImageDesc& source, const ImageDesc& output, const OfxRectI& window,
                  const LUT3D& lut, bool useLut, double strength, double strengthR, double strengthG,
                  double strengthB) {
  // Never write outside the Output image.
  const int32_t x1 = std::max(window.x1, output.bounds.x1);
  const int32_t y1 = std::max(window.y1, output.bounds.y1);
  const int32_t x2 = std::min(window.x2, output.bounds.x2);
  const int32_t y2 = std::min(window.y2, output.bounds.y2);
  if (y1 >= y2 || x1 >= x2) return;

  RowParams params;
  params.lut = &lut;
  params.useLut = useLut && lut.data != nullptr && lut.size >= 2;
  const double mixes[3] = {strength * strengthR, strength * strengthG, strength * strengthB};
  for (int c = 0; c < 3; ++c) {
    params.mix[c] = float(mixes[c]);
    params.oneMinusMix[c] = 1.0f - params.mix[c];
  }
  // The vector kernels address the lattice with 32-bit offsets.
  if (params.useLut && int64_t(lut.size) * lut.size * lut.size * 3 > INT32_MAX) kernel = ApplyKernel::Literal;
  const ApplyRowFn applyRow = rowFunction(kernel);

  // The part of each row that has Source pixels; the rest of the window is transparent black.
  const int32_t sx1 = std::clamp(source.bounds.x1, x1, x2);
  const int32_t sx2 = std::clamp(source.bounds.x2, sx1, x2);
  for (int32_t y = y1; y < y2; ++y) {
    float* out = pixelAt(output, x1, y);
    if (y < source.bounds.y1 || y >= source.bounds.y2 || sx1 >= sx2) {
      clearPixels(out, x2 - x1);
      continue;
    }
    clearPixels(out, sx1 - x1);
    applyRow(pixelAt(source, sx1, y), out + 4 * (sx1 - x1), sx2 - sx1, params);
    clearPixels(out + 4 * (sx2 - x1), x2 - sx2);
  }
}

void applyLUT(const ImageDesc& source, const ImageDesc& output, const OfxRectI& window, const LUT3D& lut,
              bool useLut, double strength, double strengthR, double strengthG, double strengthB) {
  applyLUTWith(bestApplyKernel(), source, output, window, lut, useLut, strength, strengthR, strengthG, strengthB);
}

// The reference order of the lookup: every fast kernel must reproduce these operations.
#include "render/apply_kernels.h"

namespace {

// Cell index in 0 .. n-2 and the fraction within the cell, for a value in [0, 1].
inline void latticeAxis(float v, int32_t n, int32_t& index, float& fraction) {
  const float x = v * float(n - 1);
  int32_t i = int32_t(x);
  if (i > n - 2) i = n - 2;
  if (i < 0) i = 0;
  index = i;
  fraction = x - float(i);
}

}  // namespace

void sampleLUT(const LUT3D& lut, float r, float g, float b, float& outR, float& outG, float& outB) {
  const int32_t n = lut.size;
  int32_t ri, gi, bi;
  float fr, fg, fb;
  latticeAxis(r, n, ri, fr);
  latticeAxis(g, n, gi, fg);
  latticeAxis(b, n, bi, fb);

  const float* data = lut.data;
  auto corner = [&](int32_t dr, int32_t dg, int32_t db) {
    return data + ((int64_t(ri + dr) * n + gi + dg) * n + bi + db) * 3;
  };
  float result[3];
  for (int c = 0; c < 3; ++c) {
    float e[2][2];
    for (int dr = 0; dr < 2; ++dr)
      for (int dg = 0; dg < 2; ++dg) e[dr][dg] = corner(dr, dg, 0)[c] * (1.0f - fb) + corner(dr, dg, 1)[c] * fb;
    const float f0 = e[0][0] * (1.0f - fg) + e[0][1] * fg;
    const float f1 = e[1][0] * (1.0f - fg) + e[1][1] * fg;
    result[c] = f0 * (1.0f - fr) + f1 * fr;
  }
  outR = result[0];
  outG = result[1];
  outB = result[2];
}

void applyRowLiteral(const float* src, float* dst, int32_t count, const RowParams& params) {
  for (int32_t x = 0; x < count; ++x, src += 4, dst += 4) {
    const float r = clampUnit(src[0]);
    const float g = clampUnit(src[1]);
    const float b = clampUnit(src[2]);
    const float a = src[3];
    if (!params.useLut) {
      dst[0] = r;
      dst[1] = g;
      dst[2] = b;
      dst[3] = a;
      continue;
    }
    float lr, lg, lb;
    sampleLUT(*params.lut, r, g, b, lr, lg, lb);
    dst[0] = params.mix[0] * lr + params.oneMinusMix[0] * r;
    dst[1] = params.mix[1] * lg + params.oneMinusMix[1] * g;
    dst[2] = params.mix[2] * lb + params.oneMinusMix[2] * b;
    dst[3] = a;
  }
}

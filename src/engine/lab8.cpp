// Lab8: CIE L*a*b* for the D65 white with L* scaled to 0..255 and a*, b* offset by 128.
// Single precision, operations in exactly this order (the build uses -ffp-contract=off).
#include <cmath>

#include "engine/engine.h"
#include "engine/engine_internal.h"
#include "engine/kernels.h"
#include "engine/portable_powf.h"

namespace {

float labF(float t) { return t > 0.008856452f ? labPowf(t) : t / 0.12841856f + 0.13793103f; }

float labG(float t) { return t > 0.20689656f ? t * t * t : (t - 0.13793103f) * 0.12841856f; }

}  // namespace

void rgbToLab8(float r, float g, float b, float& L8, float& a8, float& b8) {
  const float x = (0.4124564f * r + 0.3575761f * g + 0.1804375f * b) / 0.95047f;
  const float y = 0.2126729f * r + 0.7151522f * g + 0.072175f * b;
  const float z = (0.0193339f * r + 0.119192f * g + 0.9503041f * b) / 1.08883f;
  const float fx = labF(x);
  const float fy = labF(y);
  const float fz = labF(z);
  L8 = (116.0f * fy - 16.0f) * 255.0f / 100.0f;
  a8 = 500.0f * (fx - fy) + 128.0f;
  b8 = 200.0f * (fy - fz) + 128.0f;
}

void lab8ToRgb(float L8, float a8, float b8, float& r, float& g, float& b) {
  const float fy = (100.0f * L8 / 255.0f + 16.0f) / 116.0f;
  const float fx = fy + (a8 - 128.0f) / 500.0f;
  const float fz = fy - (b8 - 128.0f) / 200.0f;
  const float x = labG(fx) * 0.95047f;
  const float y = labG(fy);
  const float z = labG(fz) * 1.08883f;
  r = engine::clampUnit(3.2404542f * x - 1.5371385f * y - 0.4985314f * z);
  g = engine::clampUnit(-0.969266f * x + 1.8760108f * y + 0.041556f * z);
  b = engine::clampUnit(0.0556434f * x - 0.2040259f * y + 1.0572252f * z);
}

namespace engine {

void labFBatch(KernelSet kernels, const float* t, float* out, int64_t n) { kernelsFor(kernels).labF(t, out, n); }

void rgbToLab8Batch(KernelSet kernels, const float* r, const float* g, const float* b, float* L8, float* a8, float* b8,
                    int64_t n) {
  kernelsFor(kernels).rgbToLab8(r, g, b, L8, a8, b8, n);
}

void lab8ToRgbBatch(KernelSet kernels, const float* L8, const float* a8, const float* b8, float* r, float* g, float* b,
                    int64_t n) {
  kernelsFor(kernels).lab8ToRgb(L8, a8, b8, r, g, b, n);
}

}  // namespace engine

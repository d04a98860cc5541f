// Lab8: CIE L*a*b* for the D65 white with L* scaled to 0..255 and a*, b* offset by 128.
// Single precision, operations in exactly this order (the build uses -ffp-contract=off).
#include <cmath>

#include "engine/engine.h"
#include "engine/engine_internal.h"
#include "engine/simd.h"

namespace {

float labF(float t) { return t > 0.008856452f ? powf(t, 0.33333334f) : t / 0.12841856f + 0.13793103f; }

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

// Planar batches through the vector kernels; the tail runs through padded lanes.
namespace engine {
namespace {

template <int W>
ENGINE_INLINE void labFRows(const float* t, float* out, int64_t n) {
  using F = typename simd::V<W>::F;
  int64_t i = 0;
  for (; i + W <= n; i += W) simd::store(out + i, simd::labF<W>(simd::load<F>(t + i)));
  if (i < n) {
    float in[W] = {}, res[W];
    for (int64_t k = i; k < n; ++k) in[k - i] = t[k];
    simd::store(res, simd::labF<W>(simd::load<F>(in)));
    for (int64_t k = i; k < n; ++k) out[k] = res[k - i];
  }
}

template <int W>
ENGINE_INLINE void rgbToLab8Rows(const float* r, const float* g, const float* b, float* L8, float* a8, float* b8,
                                 int64_t n) {
  using F = typename simd::V<W>::F;
  for (int64_t i = 0; i < n; i += W) {
    const int64_t count = n - i < W ? n - i : W;
    float in[3][W] = {}, res[3][W];
    for (int64_t k = 0; k < count; ++k) {
      in[0][k] = r[i + k];
      in[1][k] = g[i + k];
      in[2][k] = b[i + k];
    }
    F lab[3];
    simd::rgbToLab8<W>(simd::load<F>(in[0]), simd::load<F>(in[1]), simd::load<F>(in[2]), lab[0], lab[1], lab[2]);
    for (int c = 0; c < 3; ++c) simd::store(res[c], lab[c]);
    for (int64_t k = 0; k < count; ++k) {
      L8[i + k] = res[0][k];
      a8[i + k] = res[1][k];
      b8[i + k] = res[2][k];
    }
  }
}

template <int W>
ENGINE_INLINE void lab8ToRgbRows(const float* L8, const float* a8, const float* b8, float* r, float* g, float* b,
                                 int64_t n) {
  using F = typename simd::V<W>::F;
  for (int64_t i = 0; i < n; i += W) {
    const int64_t count = n - i < W ? n - i : W;
    float in[3][W] = {}, res[3][W];
    for (int64_t k = 0; k < count; ++k) {
      in[0][k] = L8[i + k];
      in[1][k] = a8[i + k];
      in[2][k] = b8[i + k];
    }
    F rgb[3];
    simd::lab8ToRgb<W>(simd::load<F>(in[0]), simd::load<F>(in[1]), simd::load<F>(in[2]), rgb[0], rgb[1], rgb[2]);
    for (int c = 0; c < 3; ++c) simd::store(res[c], rgb[c]);
    for (int64_t k = 0; k < count; ++k) {
      r[i + k] = res[0][k];
      g[i + k] = res[1][k];
      b[i + k] = res[2][k];
    }
  }
}

ENGINE_TARGET_AVX512 void labFAvx512(const float* t, float* out, int64_t n) { labFRows<16>(t, out, n); }
ENGINE_TARGET_AVX2 void labFAvx2(const float* t, float* out, int64_t n) { labFRows<8>(t, out, n); }
void labFGeneric(const float* t, float* out, int64_t n) { labFRows<4>(t, out, n); }

ENGINE_TARGET_AVX512 void rgbToLab8Avx512(const float* r, const float* g, const float* b, float* L8, float* a8,
                                          float* b8, int64_t n) {
  rgbToLab8Rows<16>(r, g, b, L8, a8, b8, n);
}
ENGINE_TARGET_AVX2 void rgbToLab8Avx2(const float* r, const float* g, const float* b, float* L8, float* a8, float* b8,
                                      int64_t n) {
  rgbToLab8Rows<8>(r, g, b, L8, a8, b8, n);
}
void rgbToLab8Generic(const float* r, const float* g, const float* b, float* L8, float* a8, float* b8, int64_t n) {
  rgbToLab8Rows<4>(r, g, b, L8, a8, b8, n);
}

ENGINE_TARGET_AVX512 void lab8ToRgbAvx512(const float* L8, const float* a8, const float* b8, float* r, float* g,
                                          float* b, int64_t n) {
  lab8ToRgbRows<16>(L8, a8, b8, r, g, b, n);
}
ENGINE_TARGET_AVX2 void lab8ToRgbAvx2(const float* L8, const float* a8, const float* b8, float* r, float* g, float* b,
                                      int64_t n) {
  lab8ToRgbRows<8>(L8, a8, b8, r, g, b, n);
}
void lab8ToRgbGeneric(const float* L8, const float* a8, const float* b8, float* r, float* g, float* b, int64_t n) {
  lab8ToRgbRows<4>(L8, a8, b8, r, g, b, n);
}

}  // namespace

void labFBatch(const float* t, float* out, int64_t n) {
  switch (activeIsa()) {
    case Isa::Avx512: return labFAvx512(t, out, n);
    case Isa::Avx2: return labFAvx2(t, out, n);
    default: return labFGeneric(t, out, n);
  }
}

void rgbToLab8Batch(const float* r, const float* g, const float* b, float* L8, float* a8, float* b8, int64_t n) {
  switch (activeIsa()) {
    case Isa::Avx512: return rgbToLab8Avx512(r, g, b, L8, a8, b8, n);
    case Isa::Avx2: return rgbToLab8Avx2(r, g, b, L8, a8, b8, n);
    default: return rgbToLab8Generic(r, g, b, L8, a8, b8, n);
  }
}

void lab8ToRgbBatch(const float* L8, const float* a8, const float* b8, float* r, float* g, float* b, int64_t n) {
  switch (activeIsa()) {
    case Isa::Avx512: return lab8ToRgbAvx512(L8, a8, b8, r, g, b, n);
    case Isa::Avx2: return lab8ToRgbAvx2(L8, a8, b8, r, g, b, n);
    default: return lab8ToRgbGeneric(L8, a8, b8, r, g, b, n);
  }
}

}  // namespace engine

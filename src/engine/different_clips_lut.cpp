// Statistical colour transfer: every lattice colour is moved in Lab8 so that the Source's
// per-component mean and deviation become the Reference's, then the lattice interior is
// averaged over 11 x 11 x 11 blocks while a five-point shell keeps its own values.
#include <memory>
#include <new>

#include "engine/engine.h"
#include "engine/engine_internal.h"
#include "engine/simd.h"

namespace {

constexpr int32_t kShell = 5;

struct Transfer {
  const ColorStats& source;
  const ColorStats& reference;
  PreserveMode mode;
};

// One red plane of lattice points: green and blue coordinates come from the planar arrays,
// the interleaved output goes to `out`. `count` is padded up to a multiple of W by the caller.
template <int W>
ENGINE_INLINE void transferPlane(const Transfer& tr, float r0, const float* gCoord, const float* bCoord, int64_t count,
                                 int64_t points, float* out) {
  using F = typename engine::simd::V<W>::F;
  namespace simd = engine::simd;
  const bool preserve = tr.mode == PreserveBrightness || tr.mode == PreserveColors;
  for (int64_t i = 0; i < count; i += W) {
    F in[3];
    simd::rgbToLab8<W>(simd::splat<F>(r0), simd::load<F>(gCoord + i), simd::load<F>(bCoord + i), in[0], in[1], in[2]);
    F moved[3];
    for (int c = 0; c < 3; ++c) {
      moved[c] = simd::clampLab8<W>((in[c] - tr.source.mean[c]) / tr.source.stdDev[c] * tr.reference.stdDev[c] +
                                    tr.reference.mean[c]);
    }
    F rgb[3];
    simd::lab8ToRgb<W>(moved[0], moved[1], moved[2], rgb[0], rgb[1], rgb[2]);
    if (preserve) {
      F matched[3];
      simd::rgbToLab8<W>(rgb[0], rgb[1], rgb[2], matched[0], matched[1], matched[2]);
      if (tr.mode == PreserveBrightness) {
        simd::lab8ToRgb<W>(in[0], matched[1], matched[2], rgb[0], rgb[1], rgb[2]);
      } else {
        simd::lab8ToRgb<W>(matched[0], in[1], in[2], rgb[0], rgb[1], rgb[2]);
      }
    }
    const int64_t lanes = points - i < W ? points - i : W;
    for (int64_t k = 0; k < lanes; ++k) {
      float* p = out + (i + k) * 3;
      p[0] = rgb[0][k];
      p[1] = rgb[1][k];
      p[2] = rgb[2][k];
    }
  }
}

ENGINE_TARGET_AVX512 void transferPlaneAvx512(const Transfer& tr, float r0, const float* g, const float* b,
                                              int64_t count, int64_t points, float* out) {
  transferPlane<16>(tr, r0, g, b, count, points, out);
}
ENGINE_TARGET_AVX2 void transferPlaneAvx2(const Transfer& tr, float r0, const float* g, const float* b, int64_t count,
                                          int64_t points, float* out) {
  transferPlane<8>(tr, r0, g, b, count, points, out);
}
void transferPlaneGeneric(const Transfer& tr, float r0, const float* g, const float* b, int64_t count, int64_t points,
                          float* out) {
  transferPlane<4>(tr, r0, g, b, count, points, out);
}

}  // namespace

bool buildMatchLUT_DifferentClips(const ColorStats& source, const ColorStats& reference, LUT3D& lut,
                                  PreserveMode mode) {
  lut.valid = false;
  const int32_t n = lut.size;
  if (lut.data == nullptr || n < 2) return false;
  std::unique_ptr<float[]> work;
  try {
    work.reset(new float[size_t(engine::smoothingWorkFloats(n))]);
  } catch (const std::bad_alloc&) {
    return false;
  }

  // Green and blue coordinates of one red plane, padded to whole vectors; the smoothing's
  // working storage is not in use yet and has room for them.
  const int64_t points = int64_t(n) * n;
  const int64_t padded = (points + 15) / 16 * 16;
  float* gCoord = work.get();
  float* bCoord = gCoord + padded;
  const float last = float(n - 1);
  for (int64_t i = 0; i < padded; ++i) {
    gCoord[i] = i < points ? float(i / n) / last : 0.0f;
    bCoord[i] = i < points ? float(i % n) / last : 0.0f;
  }
  const Transfer tr{source, reference, mode};
  const engine::Isa isa = engine::activeIsa();
  for (int32_t r = 0; r < n; ++r) {
    const float r0 = float(r) / last;
    float* out = lut.data + r * points * 3;
    if (isa == engine::Isa::Avx512) {
      transferPlaneAvx512(tr, r0, gCoord, bCoord, padded, points, out);
    } else if (isa == engine::Isa::Avx2) {
      transferPlaneAvx2(tr, r0, gCoord, bCoord, padded, points, out);
    } else {
      transferPlaneGeneric(tr, r0, gCoord, bCoord, padded, points, out);
    }
  }
  engine::smoothBox(lut.data, n, kShell, kShell, n - 1 - kShell, false, work.get());
  lut.valid = true;
  return true;
}

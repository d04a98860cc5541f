// Statistical colour transfer: every lattice colour is moved in Lab8 so that the Source's
// per-component mean and deviation become the Reference's, then the lattice interior is
// averaged over 11 x 11 x 11 blocks while a five-point shell keeps its own values.
#include <memory>
#include <new>

#include "engine/engine.h"
#include "engine/engine_internal.h"

namespace {

constexpr int32_t kShell = 5;

void transferPoint(const ColorStats& s, const ColorStats& ref, PreserveMode mode, float r0, float g0, float b0,
                   float* out) {
  float in[3];
  rgbToLab8(r0, g0, b0, in[0], in[1], in[2]);
  float moved[3];
  for (int c = 0; c < 3; ++c) {
    moved[c] = engine::clampLab8((in[c] - s.mean[c]) / s.stdDev[c] * ref.stdDev[c] + ref.mean[c]);
  }
  float rm, gm, bm;
  lab8ToRgb(moved[0], moved[1], moved[2], rm, gm, bm);
  if (mode != PreserveBrightness && mode != PreserveColors) {
    out[0] = rm;
    out[1] = gm;
    out[2] = bm;
    return;
  }
  float matched[3];
  rgbToLab8(rm, gm, bm, matched[0], matched[1], matched[2]);
  if (mode == PreserveBrightness) {
    lab8ToRgb(in[0], matched[1], matched[2], out[0], out[1], out[2]);
  } else {
    lab8ToRgb(matched[0], in[1], in[2], out[0], out[1], out[2]);
  }
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

  const float last = float(n - 1);
  float* p = lut.data;
  for (int32_t r = 0; r < n; ++r) {
    for (int32_t g = 0; g < n; ++g) {
      for (int32_t b = 0; b < n; ++b, p += 3) {
        transferPoint(source, reference, mode, float(r) / last, float(g) / last, float(b) / last, p);
      }
    }
  }
  engine::smoothBox(lut.data, n, kShell, kShell, n - 1 - kShell, false, work.get());
  lut.valid = true;
  return true;
}

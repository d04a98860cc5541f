// Statistical colour transfer: every lattice colour is moved in Lab8 so that the Source's
// per-component mean and deviation become the Reference's (a component the Source barely varies
// in stretched only so far), then the lattice interior is averaged over 11 x 11 x 11 blocks while
// a five-point shell keeps its own values.
#include <cmath>
#include <memory>
#include <new>

#include "engine/engine.h"
#include "engine/engine_internal.h"
#include "engine/kernels.h"

namespace {

constexpr int32_t kShell = 5;

}  // namespace

float limitedSourceDeviation(float source, float reference) {
  // Written so that a summary with a NaN or an infinity passes unchanged, as it always did.
  const float d = source / kStretchDeviation;
  const float most = 1.0f + d * d;
  return reference > most * source && std::isfinite(reference) ? reference / most : source;
}

bool buildMatchLUT_DifferentClips(const ColorStats& source, const ColorStats& reference, LUT3D& lut, PreserveMode mode,
                                  KernelSet kernels, const ParallelFor* parallel) {
  lut.valid = false;
  const int32_t n = lut.size;
  if (!engine::latticeUsable(lut)) return false;
  // The smoothing's working storage, followed by the green and blue coordinates of one red plane,
  // padded to whole vectors.
  const int64_t points = int64_t(n) * n;
  const int64_t padded = (points + 15) / 16 * 16;
  const int64_t smoothing = engine::smoothingWorkFloats(n, parallel);
  std::unique_ptr<float[]> work;
  try {
    work.reset(new float[size_t(smoothing + 2 * padded)]);
  } catch (const std::bad_alloc&) {
    return false;
  }
  float* gCoord = work.get() + smoothing;
  float* bCoord = gCoord + padded;
  const float last = float(n - 1);
  for (int64_t i = 0; i < padded; ++i) {
    gCoord[i] = i < points ? float(i / n) / last : 0.0f;
    bCoord[i] = i < points ? float(i % n) / last : 0.0f;
  }
  ColorStats limited = source;
  for (int c = 0; c < 3; ++c) limited.stdDev[c] = limitedSourceDeviation(source.stdDev[c], reference.stdDev[c]);
  const engine::TransferParams params{&limited, &reference, mode};
  const engine::Kernels& k = engine::kernelsFor(kernels);
  // Each plane is transferred and summed by the smoothing's first pass in one task.
  const auto transfer = [&](int32_t r, int32_t) {
    k.transferPlane(params, float(r) / last, gCoord, bCoord, points, lut.data + r * points * 3);
  };
  const TaskBody fill(transfer);
  engine::smoothBox(kernels, lut.data, n, kShell, kShell, n - 1 - kShell, false, work.get(), parallel, &fill);
  lut.valid = true;
  return true;
}

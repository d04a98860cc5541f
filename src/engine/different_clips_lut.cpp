// Statistical colour transfer: every lattice colour is moved in Lab8 so that the Source's
// per-component mean and deviation become the Reference's, then the lattice interior is
// averaged over 11 x 11 x 11 blocks while a five-point shell keeps its own values.
#include <memory>
#include <new>

#include "engine/engine.h"
#include "engine/engine_internal.h"
#include "engine/kernels.h"

namespace {

constexpr int32_t kShell = 5;

}  // namespace

bool buildMatchLUT_DifferentClips(const ColorStats& source, const ColorStats& reference, LUT3D& lut, PreserveMode mode,
                                  KernelSet kernels, const ParallelFor* parallel) {
  lut.valid = false;
  const int32_t n = lut.size;
  if (!engine::latticeUsable(lut)) return false;
  std::unique_ptr<float[]> work;
  try {
    work.reset(new float[size_t(engine::smoothingWorkFloats(n, parallel))]);
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
  const engine::TransferParams params{&source, &reference, mode};
  const engine::Kernels& k = engine::kernelsFor(kernels);
  const int32_t tasks = taskCount(parallel, n);
  runTasks(parallel, tasks, [&](int32_t t) {
    const engine::TaskRange planes = engine::taskRange(0, n - 1, t, tasks);
    for (int32_t r = planes.begin; r < planes.end; ++r) {
      k.transferPlane(params, float(r) / last, gCoord, bCoord, points, lut.data + r * points * 3);
    }
  });
  engine::smoothBox(kernels, lut.data, n, kShell, kShell, n - 1 - kShell, false, work.get(), parallel);
  lut.valid = true;
  return true;
}

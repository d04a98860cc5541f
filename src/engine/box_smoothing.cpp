#include <algorithm>

#include "engine/engine_internal.h"
#include "engine/kernels.h"

namespace engine {

namespace {

int64_t taskScratch(int32_t n) { return std::max(smoothingPlaneScratch(n), smoothingOutputScratch(n)); }

}  // namespace

int64_t smoothingWorkFloats(int32_t n, const ParallelFor* parallel) {
  const int64_t n64 = n;
  const int64_t stride = smoothingRowStride(n);
  // green-blue sums of every red plane, blue counts, then each task's scratch
  return n64 * n64 * stride + stride + slotCount(parallel) * taskScratch(n);
}

void smoothBox(KernelSet kernels, float* lattice, int32_t n, int32_t rad, int32_t lo, int32_t hi, bool clipped,
               float* work, const ParallelFor* parallel, const TaskBody* fillPlane) {
  if (lo > hi || rad < 1) {
    if (fillPlane) runTasks(parallel, n, *fillPlane);
    return;
  }
  rad = std::min(rad, n - 1);
  const int64_t stride = smoothingRowStride(n);
  float* planes = work;
  int32_t* blueCounts = reinterpret_cast<int32_t*>(planes + int64_t(n) * n * stride);
  float* scratch = planes + int64_t(n) * n * stride + stride;

  // Terms in the blue window of each lane of a smoothed row (lanes past the row repeat its last).
  for (int64_t k = 0; k < stride; ++k) {
    const int32_t b = int32_t(std::min<int64_t>(lo + k / 3, hi));
    const int32_t first = clipped ? std::max(0, b - rad) : b - rad;
    const int32_t last = clipped ? std::min(n - 1, b + rad) : b + rad;
    blueCounts[k] = last - first + 1;
  }
  const BoxParams box{lattice, n, rad, lo, hi, clipped, planes, blueCounts};
  const Kernels& k = kernelsFor(kernels);
  // Every plane a block reaches, then (reading them all) the smoothed planes; a task per plane,
  // each with the scratch of its slot.
  const int32_t reachFirst = clipped ? std::max(0, lo - rad) : lo - rad;
  const int32_t reachLast = clipped ? std::min(n - 1, hi + rad) : hi + rad;
  // The first pass of plane r reads plane r alone, so it follows that plane's filling directly.
  runTasks(parallel, n, [&](int32_t r, int32_t slot) {
    if (fillPlane) (*fillPlane)(r, slot);
    if (r >= reachFirst && r <= reachLast) k.smoothPlane(box, r, scratch + slot * taskScratch(n));
  });
  runTasks(parallel, hi - lo + 1,
           [&](int32_t t, int32_t slot) { k.smoothOutput(box, lo + t, scratch + slot * taskScratch(n)); });
}

}  // namespace engine

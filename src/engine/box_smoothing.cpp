#include <algorithm>

#include "engine/engine_internal.h"
#include "engine/kernels.h"

namespace engine {

int64_t smoothingWorkFloats(int32_t n) {
  const int64_t n64 = n;
  const int64_t stride = smoothingRowStride(n);
  // green-blue sums of every red plane, blue sums of one plane, one zero-padded row (rad < n),
  // red sums, quotients, blue counts
  return n64 * n64 * stride + n64 * stride + n64 * 9 + 16 + 3 * stride;
}

void smoothBox(KernelSet kernels, float* lattice, int32_t n, int32_t rad, int32_t lo, int32_t hi, bool clipped,
               float* work) {
  if (lo > hi || rad < 1) return;
  kernelsFor(kernels).smooth(BoxParams{lattice, n, std::min(rad, n - 1), lo, hi, clipped, work});
}

}  // namespace engine

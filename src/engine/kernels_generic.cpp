// The vector kernels for any x86-64 CPU: 4 float lanes of SSE2.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "engine/kernels.h"

#include "engine/fit_kernel_bodies.h"
#include "engine/kernel_bodies.h"

// Function addresses only: initialised statically, so no code of this file runs unless chosen.
const engine::Kernels engine::kGenericKernels = {
    kernel::labFRows<4>,      kernel::rgbToLab8Rows<4>, kernel::lightnessRows<4>, kernel::lab8ToRgbRows<4>,
    kernel::transferPlane<4>, kernel::smoothPlane<4>,   kernel::smoothOutput<4>,  kernel::fitKernels<4>()};

const engine::Kernels& engine::kernelsFor(KernelSet set) {
  switch (usableKernelSet(set)) {
    case KernelSet::Avx512:
      return kAvx512Kernels;
    case KernelSet::Avx2:
      return kAvx2Kernels;
    case KernelSet::Generic:
      break;
  }
  return kGenericKernels;
}

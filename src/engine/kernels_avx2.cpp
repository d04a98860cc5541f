// The vector kernels for CPUs with AVX2: 8 float lanes.
// The standard headers come before the target switch so that only the kernels are built for it.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "engine/kernels.h"

#pragma GCC target("avx2")

#include "engine/fit_kernel_bodies.h"
#include "engine/kernel_bodies.h"

// Function addresses only: initialised statically, so no code of this file runs unless chosen.
const engine::Kernels engine::kAvx2Kernels = {
    kernel::labFRows<8>,      kernel::rgbToLab8Rows<8>, kernel::lightnessRows<8>, kernel::lab8ToRgbRows<8>,
    kernel::transferPlane<8>, kernel::smoothPlane<8>,   kernel::smoothOutput<8>,  kernel::fitKernels<8>()};

// The vector kernels for CPUs with AVX-512 (F, VL, BW, DQ): 16 float lanes.
// The standard headers come before the target switch so that only the kernels are built for it.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "engine/kernels.h"

#pragma GCC target("avx512f,avx512vl,avx512bw,avx512dq")

#include "engine/fit_kernel_bodies.h"
#include "engine/kernel_bodies.h"

// Function addresses only: initialised statically, so no code of this file runs unless chosen.
const engine::Kernels engine::kAvx512Kernels = {
    kernel::labFRows<16>,      kernel::rgbToLab8Rows<16>, kernel::lightnessRows<16>, kernel::lab8ToRgbRows<16>,
    kernel::transferPlane<16>, kernel::smoothPlane<16>,   kernel::smoothOutput<16>,  kernel::fitKernels<16>()};

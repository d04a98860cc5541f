// The encoding kernels for CPUs with AVX2: 8 float lanes, two pixels at a time.
// The standard headers come before the target switch so that only the kernels are built for it.
#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

#include "encoding/encoding_kernels.h"

#pragma GCC target("avx2")

#include "encoding/pixel_bodies.h"

const EncodingKernels kAvx2EncodingKernels = lanes::kernelsOf<8>();

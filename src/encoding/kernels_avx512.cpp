// The encoding kernels for CPUs with AVX-512 (F, VL, BW, DQ): 16 float lanes, four pixels at a
// time. The standard headers come before the target switch so that only the kernels are built
// for it.
#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

#include "encoding/encoding_kernels.h"

#pragma GCC target("avx512f,avx512vl,avx512bw,avx512dq")

#include "encoding/pixel_bodies.h"

const EncodingKernels kAvx512EncodingKernels = lanes::kernelsOf<16>();

// The encoding kernels for CPUs with AVX-512 (F, VL, BW, DQ): 16 float lanes, four pixels at a
// time. The standard headers come before the target switch so that only the kernels are built
// for it.
#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

#include "encoding/encoding_kernels.h"

// GCC takes the target for the rest of the file; clang ignores that pragma and is given the
// same target function by function.
#ifdef __clang__
#pragma clang attribute push(__attribute__((target("avx512f,avx512vl,avx512bw,avx512dq"))), apply_to = function)
#else
#pragma GCC target("avx512f,avx512vl,avx512bw,avx512dq")
#endif

#include "encoding/pixel_bodies.h"

const EncodingKernels kAvx512EncodingKernels = lanes::kernelsOf<16>();

#ifdef __clang__
#pragma clang attribute pop
#endif

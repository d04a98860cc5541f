// The encoding kernels for CPUs with AVX2: 8 float lanes, two pixels at a time.
// The standard headers come before the target switch so that only the kernels are built for it.
#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

#include "encoding/encoding_kernels.h"

// GCC takes the target for the rest of the file; clang ignores that pragma and is given the
// same target function by function.
#ifdef __clang__
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC target("avx2")
#endif

#include "encoding/pixel_bodies.h"

const EncodingKernels kAvx2EncodingKernels = lanes::kernelsOf<8>();

#ifdef __clang__
#pragma clang attribute pop
#endif

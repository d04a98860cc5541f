// The engine's vector kernels, built once per instruction set (kernels_avx512.cpp,
// kernels_avx2.cpp, kernels_generic.cpp); the caller names the set to use.
#pragma once

#include <cstdint>

#include "engine/engine.h"

namespace engine {

struct TransferParams {
  const ColorStats* source;
  const ColorStats* reference;
  PreserveMode mode;
};

struct BoxParams {
  float* lattice;
  int32_t n, rad, lo, hi;
  bool clipped;
  float* planes;              // green-blue sums: [r][g - lo][smoothingRowStride(n)]
  const int32_t* blueCounts;  // terms of each blue window, per lane of a smoothed row
};

struct Kernels {
  void (*labF)(const float* t, float* out, int64_t n);
  void (*rgbToLab8)(const float* r, const float* g, const float* b, float* L8, float* a8, float* b8, int64_t n);
  void (*lightness)(const float* r, const float* g, const float* b, float* L8, int64_t n);  // L8 of rgbToLab8
  void (*lab8ToRgb)(const float* L8, const float* a8, const float* b8, float* r, float* g, float* b, int64_t n);
  // Transfers `points` lattice points of one red plane; the coordinate arrays hold whole
  // 16-lane vectors. The interleaved RGB results go to out.
  void (*transferPlane)(const TransferParams& p, float r0, const float* g0, const float* b0, int64_t points,
                        float* out);
  // The green-blue sums of red plane r into box.planes, and the smoothed points of plane r from
  // them; scratch holds smoothingPlaneScratch(n) and smoothingOutputScratch(n) floats.
  void (*smoothPlane)(const BoxParams& box, int32_t r, float* scratch);
  void (*smoothOutput)(const BoxParams& box, int32_t r, float* scratch);
};

extern const Kernels kAvx512Kernels;
extern const Kernels kAvx2Kernels;
extern const Kernels kGenericKernels;

const Kernels& kernelsFor(KernelSet set);

// Floats of one smoothed row in the smoothing's working storage: whole 16-lane vectors.
inline int64_t smoothingRowStride(int32_t n) { return (int64_t(n) * 3 + 15) / 16 * 16; }
// Scratch floats of one smoothPlane call (blue sums of a plane, one zero-padded row; rad < n)
// and of one smoothOutput call (red sums, quotients).
inline int64_t smoothingPlaneScratch(int32_t n) { return int64_t(n) * smoothingRowStride(n) + int64_t(n) * 9 + 16; }
inline int64_t smoothingOutputScratch(int32_t n) { return 2 * smoothingRowStride(n); }

}  // namespace engine

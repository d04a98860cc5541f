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

// The fitted lattice's working data (fitted_lattice.cpp). Lattice arrays are planar, one per
// channel, in the lattice's point order. Each call writes only its own part of the results
// (some slots, one channel), so calls for different parts can run at the same time.
struct FitMomentsParams {
  int64_t count;             // pairs
  const float* fraction[3];  // each pair's place within its cell along red, green, blue
  const float* target[3];    // each pair's target minus its source colour
  const int32_t* slot;       // each pair's cell, numbered in order of first use
  int32_t slotBegin;         // only the pairs of slots slotBegin .. slotEnd - 1 are added
  int32_t slotEnd;
  float* moments;  // per slot: the 8 x 8 sum of w w^T over its pairs (w: corner weights)
  float* rhs[3];   // per slot and channel: the 8 sums of w times the target
};

struct FitCellsParams {
  int32_t n;
  int64_t count;         // slots
  const int32_t* base;   // each slot's first lattice point
  const float* moments;  // 64 per slot
  const float* x;        // one channel
  float* out;            // += the slot's moments times its corners' values
};

struct FitPriorParams {
  int32_t n;
  // Per point of a plane (g * n + b): 1 where blue (green) has neighbours on both sides, else 0;
  // with n + 16 zeros before and after.
  const float* maskB;
  const float* maskG;
  float lambda;
  const float* eps;  // per point
  const float* x;    // one channel, with at least n + 16 zeros before and after
  float* g;          // working array, padded like x
  float* out;        // lambda L^T L x + eps x, L the masked Laplacian
};

struct FitStepParams {
  float alpha;
  float* x;
  float* r;
  float* z;
  const float* p;
  const float* q;
  const float* invDiag;
  int64_t n;
};

struct FitKernels {
  void (*moments)(const FitMomentsParams& p);
  void (*cells)(const FitCellsParams& p);
  void (*prior)(const FitPriorParams& p);
  double (*dot)(const float* a, const float* b, int64_t n);
  double (*step)(const FitStepParams& p);  // x += alpha p, r -= alpha q, z = r / d; returns r . z
  void (*direction)(float beta, float* p, const float* z, int64_t n);  // p = z + beta p
};

// Dot products sum fixed blocks of this many products, in order (fit_kernel_bodies.h).
constexpr int64_t kFitDotBlock = 4096;

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
  FitKernels fit;
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

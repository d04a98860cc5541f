// Row kernels behind applyLUT. Internal to src/render, shared with its tests and benchmarks.
#pragma once

#include <cstdint>

#include "render/apply_lut.h"

struct RowParams {
  const LUT3D* lut;  // valid, size >= 2, when useLut
  bool useLut;
  const float* redPairs;  // a RedPairs table of *lut for the vector kernels, or null
  float mix[3];           // strength x channel mix, rounded to float
  float oneMinusMix[3];   // 1.0f - mix, formed once
};

// Applies count pixels of one row: src and dst are float RGBA and do not overlap.
using ApplyRowFn = void (*)(const float* src, float* dst, int32_t count, const RowParams& params);

// Clamp to [0, 1]: below 1 becomes max(v, 0), anything else (1 and above, NaN) becomes 1,
// and -0.0 becomes +0.0.
inline float clampUnit(float v) { return v < 1.0f ? (v > 0.0f ? v : 0.0f) : 1.0f; }

void applyRowLiteral(const float* src, float* dst, int32_t count, const RowParams& params);
void applyRowAvx2(const float* src, float* dst, int32_t count, const RowParams& params);
void applyRowAvx512(const float* src, float* dst, int32_t count, const RowParams& params);
// The row kernel of a set the processor runs (see usableKernelSet).
ApplyRowFn applyRowFor(KernelSet kernels);

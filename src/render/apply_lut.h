// LUT application: clamps each Source pixel, samples the lattice trilinearly and blends with
// per-channel mixes. Images here are always 32-bit float RGBA; other formats are converted
// by the render action before they get here.
#pragma once

#include <cstdint>

#include "engine/engine.h"
#include "ofx/ofx_api.h"

// One float RGBA image: data addresses the pixel at (bounds.x1, bounds.y1); rows may run
// backwards in memory (negative rowBytes).
struct ImageDesc {
  unsigned char* data;
  int32_t rowBytes;
  OfxRectI bounds;
};

// Trilinear lookup of a colour already clamped to [0, 1]. Needs lut.size >= 2 and lut.data.
void sampleLUT(const LUT3D& lut, float r, float g, float b, float& outR, float& outG, float& outB);

// Writes every Output pixel of the window that lies inside the Output bounds. Window pixels
// outside the Source bounds become transparent black and are never read.
void applyLUT(const ImageDesc& source, const ImageDesc& output, const OfxRectI& window, const LUT3D& lut,
              bool useLut, double strength, double strengthR, double strengthG, double strengthB);

// Row kernels. Every kernel gives bit-identical results to Literal; the fast ones only
// reorder independent work.
enum class ApplyKernel { Literal, Avx2, Avx512 };

bool applyKernelSupported(ApplyKernel kernel);
// The fastest kernel this processor runs, decided once.
ApplyKernel bestApplyKernel();

// applyLUT with a chosen kernel (falls back to Literal when the processor lacks it).
void applyLUTWith(ApplyKernel kernel, const ImageDesc& source, const ImageDesc& output, const OfxRectI& window,
                  const LUT3D& lut, bool useLut, double strength, double strengthR, double strengthG,
                  double strengthB);

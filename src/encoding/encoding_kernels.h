// The encoding kernels, built once per instruction set (kernels_generic.cpp, kernels_avx2.cpp,
// kernels_avx512.cpp); plate_encoding.h's functions pick a set by the caller's KernelSet.
#pragma once

#include <cstdint>

#include "encoding/plate_encoding.h"

struct EncodingKernels {
  void (*plateToLinear)(const PlateTransform& t, float* rgba, int64_t pixels);
  void (*linearToCode)(const PlateTransform& t, float* rgba, int64_t pixels);
  void (*codeToPlate)(const PlateTransform& t, float* rgba, int64_t pixels);
  bool (*plateToLattice)(const PlateTransform& t, const float* src, float* codes, int32_t pixels);
  void (*latticeToPlate)(const PlateTransform& t, const float* src, const float* codes, const float* looked, float* dst,
                         int32_t pixels, const PlateMixes& mixes, bool scaled);
};

extern const EncodingKernels kGenericEncodingKernels;
extern const EncodingKernels kAvx2EncodingKernels;
extern const EncodingKernels kAvx512EncodingKernels;

const EncodingKernels& encodingKernelsFor(KernelSet set);

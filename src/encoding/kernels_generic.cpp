// The encoding kernels for any x86-64 CPU: 4 float lanes of SSE2, one pixel at a time.
#include "encoding/pixel_bodies.h"

const EncodingKernels kGenericEncodingKernels = lanes::kernelsOf<4>();

const EncodingKernels& encodingKernelsFor(KernelSet set) {
  switch (usableKernelSet(set)) {
    case KernelSet::Avx512:
      return kAvx512EncodingKernels;
    case KernelSet::Avx2:
      return kAvx2EncodingKernels;
    case KernelSet::Generic:
      break;
  }
  return kGenericEncodingKernels;
}

void plateToLinearPixels(const PlateTransform& t, float* rgba, int64_t pixels, KernelSet kernels) {
  encodingKernelsFor(kernels).plateToLinear(t, rgba, pixels);
}

void linearToCodePixels(const PlateTransform& t, float* rgba, int64_t pixels, KernelSet kernels) {
  encodingKernelsFor(kernels).linearToCode(t, rgba, pixels);
}

void codeToPlatePixels(const PlateTransform& t, float* rgba, int64_t pixels, KernelSet kernels) {
  encodingKernelsFor(kernels).codeToPlate(t, rgba, pixels);
}

bool plateToLattice(const PlateTransform& t, const float* src, float* codes, int32_t pixels, KernelSet kernels) {
  return encodingKernelsFor(kernels).plateToLattice(t, src, codes, pixels);
}

void latticeToPlate(const PlateTransform& t, const float* src, const float* codes, const float* looked, float* dst,
                    int32_t pixels, const PlateMixes& mixes, bool scaled, KernelSet kernels) {
  encodingKernelsFor(kernels).latticeToPlate(t, src, codes, looked, dst, pixels, mixes, scaled);
}

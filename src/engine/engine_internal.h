// Pieces of the engine shared between its files and exposed to its tests: the sampling
// arithmetic, the clamps and the box smoothing.
#pragma once

#include <cstdint>

#include "engine/engine.h"

namespace engine {

// f(t) of the Lab8 conversion for n values, through the given vector kernels.
void labFBatch(KernelSet kernels, const float* t, float* out, int64_t n);

// The Lab8 conversions over planar arrays of n colours, through the given vector kernels.
void rgbToLab8Batch(KernelSet kernels, const float* r, const float* g, const float* b, float* L8, float* a8, float* b8,
                    int64_t n);
void lab8ToRgbBatch(KernelSet kernels, const float* L8, const float* a8, const float* b8, float* r, float* g, float* b,
                    int64_t n);

// Grid step that visits about targetSamples pixels of a width x height image. The pixel
// count is formed in 64 bits: 32-bit products overflow from about 46,341 x 46,341 on.
int32_t samplingStep(int32_t width, int32_t height, double targetSamples);

// Mask pixel coordinate for image coordinate `coord` when a mask of `maskExtent` pixels is
// stretched over an image of `imageExtent`; the product is formed in 64 bits.
int32_t maskCoordinate(int32_t maskExtent, int32_t imageExtent, int32_t coord);

// A lattice the builders can fill: storage present, at least 2 points per axis, and few enough
// that every float offset into it fits 64 bits.
inline bool latticeUsable(const LUT3D& lut) { return lut.data != nullptr && lut.size >= 2 && lut.size <= (1 << 20); }

// [0, 1] clamp whose NaN goes to 1 and -0.0 to +0.0.
inline float clampUnit(float v) { return v < 1.0f ? (v > 0.0f ? v : 0.0f) : 1.0f; }

// [0, 255] clamp with the same NaN and -0.0 rules.
inline float clampLab8(float v) { return v < 255.0f ? (v > 0.0f ? v : 0.0f) : 255.0f; }

// Floats of working storage that smoothBox needs for a lattice of n points per axis, with the
// same `parallel` as the smoothBox call.
int64_t smoothingWorkFloats(int32_t n, const ParallelFor* parallel = nullptr);

// Box-averages the lattice in place over (2 rad + 1)^3 blocks, for the points whose three
// indices lie in lo..hi. With `clipped`, block parts outside the lattice are left out and the
// average is over the points inside; without it every block must lie inside the lattice.
// `work` holds smoothingWorkFloats(n, parallel) floats. The red planes are shared out over
// `parallel`'s threads; the result is the same with any number of them. With `fillPlane`, plane r
// of the lattice is first written by fillPlane(r, slot), in the same task that goes on to sum it:
// a builder's per-plane work and the smoothing's first pass then share one round of threads.
void smoothBox(KernelSet kernels, float* lattice, int32_t n, int32_t rad, int32_t lo, int32_t hi, bool clipped,
               float* work, const ParallelFor* parallel = nullptr, const TaskBody* fillPlane = nullptr);

// The part of [first, last] that task t of `tasks` takes: contiguous, in order, sizes within one.
struct TaskRange {
  int32_t begin, end;  // end exclusive
};
inline TaskRange taskRange(int32_t first, int32_t last, int32_t t, int32_t tasks) {
  const int64_t count = int64_t(last) - first + 1;
  return {int32_t(first + count * t / tasks), int32_t(first + count * (t + 1) / tasks)};
}

}  // namespace engine

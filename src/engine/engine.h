// Colour matching engine: the LUT lattice, the Lab8 space, image statistics and the LUT
// builders. Plain functions over plain records; no host types here.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <type_traits>

#include "cpu/cpu_features.h"

// A cubic lattice of RGB triples. Triple (r, g, b) starts at float offset
// ((r * size + g) * size + b) * 3: red varies slowest, blue fastest.
struct LUT3D {
  float* data;   // size^3 RGB triples, or null when no storage is held
  int32_t size;  // points per axis: 65 with storage, 0 without
  bool valid;    // true once a builder has finished filling data
};

constexpr int32_t kLutSize = 65;
constexpr int64_t kLutFloats = int64_t(kLutSize) * kLutSize * kLutSize * 3;

// A lattice that owns its storage. It is a LUT3D, so the builders fill it as they fill any; the
// storage goes with it and is reused by every rebuild of the same size.
class LutStorage : public LUT3D {
 public:
  LutStorage() : LUT3D{nullptr, 0, false} {}
  LutStorage(const LutStorage&) = delete;
  LutStorage& operator=(const LutStorage&) = delete;

  // Makes data hold points^3 triples, reusing storage of that size, and clears valid. When the
  // memory cannot be had: data null, size 0, false. Never throws.
  bool reserve(int32_t points = kLutSize);
  // Frees the storage: data null, size 0, valid false.
  void release();

 private:
  std::unique_ptr<float[]> owned_;
};

// Float offset of the triple of lattice point (r, g, b).
constexpr int64_t lutOffset(int32_t size, int32_t r, int32_t g, int32_t b) {
  return ((int64_t(r) * size + g) * size + b) * 3;
}

// The input value that lattice index i stands for: i / (size - 1), in single precision.
float latticeCoordinate(int32_t i, int32_t size);

// The triple that maps lattice point (r, g, b) to itself.
void lutIdentityValue(int32_t size, int32_t r, int32_t g, int32_t b, float out[3]);

enum class Colorspace : int32_t { Lab = 0 };

// Values other than 1 and 2 act as PreserveNothing.
enum PreserveMode : int32_t { PreserveNothing = 0, PreserveBrightness = 1, PreserveColors = 2 };

struct ColorStats {
  float mean[3];    // L8, a8, b8
  float stdDev[3];  // L8, a8, b8, each plus 1e-6
};

struct MaskData {
  const unsigned char* pixels;  // null counts as no mask
  int32_t width;
  int32_t height;
  int32_t rowBytes;
  int32_t components;  // 1 alpha, 3 RGB (red read), anything else RGBA (alpha read)
};

// One image in the engine's addressing: first pixel of the first row, width, height, signed row
// stride in bytes, four floats R, G, B, A per pixel.
struct ImageDesc {
  const unsigned char* pixels;
  int32_t width;
  int32_t height;
  int32_t rowBytes;
};

// The Source and the Reference of one frame, as the Same Frame learners take them.
struct FramePair {
  ImageDesc source;
  ImageDesc reference;
};

// Work spread over the caller's threads: run(tasks, body) calls body(task, slot) once for every
// task in [0, tasks), on any threads in any order, and returns when all have finished. `slot` is
// below `threads` and no two bodies running at once share one, so a task can use per-slot
// scratch storage. Each task writes its own part of the result with the same arithmetic whatever
// the split, so results never depend on the number of threads. A null ParallelFor, or one without
// run, means one thread.
// A task's code by reference, so that handing it out allocates nothing: body(task, slot).
class TaskBody {
 public:
  template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, TaskBody>>>
  TaskBody(const F& f)  // NOLINT: a lambda converts implicitly
      : call_([](const void* c, int32_t task, int32_t slot) { (*static_cast<const F*>(c))(task, slot); }),
        context_(&f) {}
  void operator()(int32_t task, int32_t slot) const { call_(context_, task, slot); }

 private:
  void (*call_)(const void* context, int32_t task, int32_t slot);
  const void* context_;
};

struct ParallelFor {
  int32_t threads = 1;
  std::function<void(int32_t tasks, TaskBody body)> run;
};

// body(task, slot) for every task, through `parallel` when it has threads to offer, in order on
// slot 0 otherwise.
void runTasks(const ParallelFor* parallel, int32_t tasks, TaskBody body);
// Slots a run through `parallel` may use at once: its threads, at least one.
int32_t slotCount(const ParallelFor* parallel);

void rgbToLab8(float r, float g, float b, float& L8, float& a8, float& b8);
void lab8ToRgb(float L8, float a8, float b8, float& r, float& g, float& b);

// Images: first pixel of the first row, width, height, signed row stride in bytes,
// four floats R, G, B, A per pixel. `kernels` only decides the speed: every set gives the same
// bits. Samples whose R, G or B is not finite take no part. False when no sample counted (a mask
// that selects nothing, no finite colour, no pixels): `out` then holds the no-data summary, which
// is no summary of the picture and nothing to build a match from.
bool computeColorStats(const unsigned char* pixels, int32_t width, int32_t height, int32_t rowBytes, Colorspace space,
                       ColorStats& out, const MaskData* mask, KernelSet kernels);

// One image among several summarised together, with its own mask (null: none).
struct MaskedImage {
  ImageDesc image;
  const MaskData* mask;
};

// The summary of several images pooled: each is sampled on its own grid (its own size sets the
// step) and weighted by its own mask, and the mean and deviation are taken over all the samples
// together, as over one image made of them all. Images without pixels add nothing; with one image
// it is computeColorStats, bit for bit, and false likewise when no sample counted.
bool computeColorStatsFrames(const MaskedImage* frames, int32_t frameCount, Colorspace space, ColorStats& out,
                             KernelSet kernels);

// Different Clips stretches a component at most 1 + (d / kStretchDeviation)^2 times, d its Source
// deviation: where the Source barely varies (a flat frame, the a8 and b8 of a grey ramp) the ratio
// of the deviations is rounding noise, multiplied up to a million times. At d = kStretchDeviation
// the stretch is held to 2. Below the limit the transfer is exactly the plain one; photographs
// stay clear of it by a factor of two at the least (docs/colour.md).
constexpr float kStretchDeviation = 0.02f;
// The Source deviation the transfer divides by: raised where the stretch would pass the limit.
float limitedSourceDeviation(float source, float reference);

// Both builders return false, with lut.valid left false, when a working array could not be
// allocated; they never throw. `parallel` spreads the lattice work over threads; the bits are the
// same with any number of them.
bool buildMatchLUT_DifferentClips(const ColorStats& source, const ColorStats& reference, LUT3D& lut, PreserveMode mode,
                                  KernelSet kernels, const ParallelFor* parallel = nullptr);

bool buildMatchLUT_SameClip(const unsigned char* sourcePixels, int32_t sourceWidth, int32_t sourceHeight,
                            int32_t sourceRowBytes, const unsigned char* referencePixels, int32_t referenceWidth,
                            int32_t referenceHeight, int32_t referenceRowBytes, LUT3D& lut, float smoothingRadius,
                            PreserveMode mode, KernelSet kernels, const ParallelFor* parallel = nullptr);

// Whether any pixel pair the Same Frame learners sample has a finite R, G and B in both the Source
// and the Reference. Without one they would learn from nothing but the clamp of NaN and infinity.
bool framePairsHaveData(const FramePair* frames, int32_t frameCount);

// The same learner over the pairs of several frames: every frame's sampled pairs are binned into
// the same cells (frame by frame, each on its own grid) before the cell means are taken, and the
// lattice is smoothed once. With one frame it is buildMatchLUT_SameClip, bit for bit.
bool buildMatchLUT_SameClipFrames(const FramePair* frames, int32_t frameCount, LUT3D& lut, float smoothingRadius,
                                  PreserveMode mode, KernelSet kernels, const ParallelFor* parallel = nullptr);

// Another learner over the same pairs and targets: instead of cell means and box smoothing, the
// lattice whose trilinear interpolation fits the pairs best, with a price on the curvature of
// its departure from the identity and a pull back to the identity far from every pair
// (fitted_lattice.cpp). An image against itself gives the identity. Values are clamped to
// [0, 1]; the same inputs give the same table with every kernel set.
bool buildMatchLUT_FittedLattice(const FramePair* frames, int32_t frameCount, LUT3D& lut, PreserveMode mode,
                                 KernelSet kernels, const ParallelFor* parallel = nullptr);

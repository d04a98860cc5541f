// The fitted lattice's settings and its pieces that the tests hold to plain implementations.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "engine/engine.h"

namespace engine {

// Continuous-scale constants: the learner scales them to each level's spacing, so every level
// solves the same problem at its own resolution.
struct FitSettings {
  // Weight of the squared Laplacian of the departure from the identity, against the mean
  // squared error over the pairs.
  float lambda = 1e-7f;
  // Weight of the departure itself (the pull back to the identity) where the nearest pair is
  // farther than `reach` (Chebyshev distance in 0..1 units on the distance level's grid).
  float falloff = 1e-3f;
  float reach = 0.25f;
  // A point of the distance level counts as learnt from when the squared trilinear weights of
  // the pairs around it add up to this much (a pair right on it gives 1).
  float occupied = 0.5f;
  // The coarsest level, and the level on which distances are measured (the finest one at or
  // below it).
  int32_t coarsest = 5;
  int32_t distanceLevel = 17;
  // Conjugate gradient iterations per level, from the finest (index 0) to the coarsest; a level
  // with none takes the coarser solution as it stands.
  int32_t iterations[6] = {0, 8, 20, 20, 20, 20};
};

// How the fit hands out its work: run(count, body) calls body(task, slot) for every task in
// [0, count), on any threads in any order, and returns when all have finished; `slot` is below
// `threads` and no two bodies running at once share one. Without run, or with one thread, the
// tasks run in order on the caller's thread. The tasks of one call write disjoint parts of the
// results with the same arithmetic however they are spread: every split gives the same table.
using FitTaskBody = std::function<void(int32_t task, int32_t slot)>;
struct FitTasks {
  int32_t threads = 1;
  std::function<void(int32_t count, const FitTaskBody& body)> run;
};
void runFitTasks(const FitTasks& tasks, int32_t count, const FitTaskBody& body);

// Sizes from the coarsest level to n: n, (n - 1) / 2 + 1, ... while the spacing halves exactly
// and the size stays at least `coarsest`.
std::vector<int32_t> fitLevelSizes(int32_t n, int32_t coarsest);

// Prolongs a lattice of m points per axis to 2 m - 1 by trilinear interpolation (exact for the
// trilinear function the coarse lattice stands for). Planar, one channel.
void prolongLattice(const float* coarse, int32_t m, float* fine);

// Chebyshev distances over an n^3 lattice, in lattice steps: `dist` holds 0 at the points measured
// from and at least 3 n elsewhere; two raster passes over the 26 neighbours.
void chebyshevPasses(std::vector<int32_t>& dist, int32_t n);

// The learner behind buildMatchLUT_FittedLattice, with its settings and its tasks' runner. Its
// work is spread as: the moments of the pairs over ranges of cells (each task going through
// every pair), each level's solve and prolongation over the three channels, and the table's
// filling over red planes; the pairs' sampling, the cells' numbering and the distances to the
// pairs run on the caller's thread.
bool fitLattice(const FramePair* frames, int32_t frameCount, LUT3D& lut, PreserveMode mode, KernelSet kernels,
                const FitSettings& settings, const FitTasks& tasks = FitTasks{});

}  // namespace engine

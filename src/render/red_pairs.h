// The lattice rearranged for the vector application kernels. For every point (r, g, b) with
// r < size - 1 it holds the triples of (r, g, b) and (r + 1, g, b) side by side, each padded to
// four floats: one 256-bit load then brings both red neighbours of a corner, already in the two
// halves of a register where the lattice's own order needs two loads and a merge. Built once per
// LUT build and read by every tile; the values are copies, so results do not change.
#pragma once

#include <cstdint>
#include <memory>

#include "engine/engine.h"

struct RedPairs {
  const float* data = nullptr;  // 64-byte aligned, so that no corner pair straddles two cache lines
  int32_t size = 0;             // points per axis of the lattice it was made from; 0 when it holds none
  int64_t capacity = 0;         // floats
  std::unique_ptr<float[]> storage;
};

// Floats of a table for a lattice of n points per axis: (n - 1) n^2 points of eight.
inline int64_t redPairFloats(int32_t n) { return int64_t(n - 1) * n * n * 8; }

// Fills pairs from lut, reusing its storage, with the red planes shared out over `parallel`.
// False, with pairs.size 0, when the lattice has no storage, is too large for the kernels'
// 32-bit offsets or memory is short; the application then reads the lattice itself. Never throws.
bool prepareRedPairs(const LUT3D& lut, RedPairs& pairs, const ParallelFor* parallel = nullptr);

// A deliberately plain implementation of the engine, written line by line from the algorithm
// descriptions with no speed-ups: powf for every cube root and block sums formed term by term
// in red, green, blue offset order. The tests and benchmarks hold the shipped engine to it.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/engine.h"
#include "engine/fitted_lattice.h"

namespace literal {

void rgbToLab8(float r, float g, float b, float lab[3]);
void lab8ToRgb(const float lab[3], float rgb[3]);

void computeColorStats(const unsigned char* pixels, int32_t width, int32_t height, int32_t rowBytes, ColorStats& out,
                       const MaskData* mask);
// Every counted sample of every frame gathered into one list first, then summarised.
void computeColorStatsFrames(const std::vector<MaskedImage>& frames, ColorStats& out);

// Per-point values only, before smoothing.
void transferLattice(const ColorStats& source, const ColorStats& reference, int32_t n, int32_t mode,
                     std::vector<float>& lattice);
void binLattice(const unsigned char* src, int32_t sw, int32_t sh, int32_t srb, const unsigned char* ref, int32_t rw,
                int32_t rh, int32_t rrb, int32_t n, int32_t mode, std::vector<float>& lattice);
void binLatticeFrames(const std::vector<FramePair>& frames, int32_t n, int32_t mode, std::vector<float>& lattice);

// The two smoothings, each term added in turn.
void smoothShell(std::vector<float>& lattice, int32_t n);
void smoothClipped(std::vector<float>& lattice, int32_t n, float smoothingRadius);

void buildDifferentClips(const ColorStats& source, const ColorStats& reference, int32_t n, int32_t mode,
                         std::vector<float>& lattice);
void buildSameClip(const unsigned char* src, int32_t sw, int32_t sh, int32_t srb, const unsigned char* ref, int32_t rw,
                   int32_t rh, int32_t rrb, int32_t n, float smoothingRadius, int32_t mode,
                   std::vector<float>& lattice);

// The fitted lattice, written from its description: every pair's trilinear weights formed
// afresh at each product, the Laplacian term by term, the distances by breadth-first search,
// dot products in double.
void fitLattice(const FramePair* frames, int32_t frameCount, int32_t n, int32_t mode, std::vector<float>& lattice,
                const engine::FitSettings& settings = {});

}  // namespace literal

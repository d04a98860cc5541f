// What a .cube of a match in a plate encoding holds: a 1D shaper from plate values into the 3D
// table's domain, and the render itself at the table's points, so that an application that
// applies the file (shaper, then trilinear 3D) gives back what the effect renders.
#pragma once

#include <cstdint>
#include <vector>

#include "encoding/plate_encoding.h"
#include "render/apply_lut.h"

constexpr int32_t kShaperSize = 4096;

struct PlateCubeTables {
  // The shaper's input range, in plate values: for scene-linear light 0 .. the working space's
  // end, for a log encoding the code values of linear 0 .. of that end.
  float inputLow = 0.0f, inputHigh = 1.0f;
  // kShaperSize values in 0..1, for inputs evenly spread over the range. For scene-linear light
  // the working space's own code values (the table's domain is the lattice's); for a log
  // encoding the plate value rescaled (the table spans the code values themselves, where the
  // effect's output follows them smoothly).
  std::vector<float> shaper;
  // size^3 RGB triples in file order (red fastest): the render, mixes included, of the plate
  // value each point stands for.
  int32_t size = 0;
  std::vector<float> table;
};

// Fills the tables for `lut` (valid) learnt under `plate`. May throw std::bad_alloc.
void plateCubeTables(const LUT3D& lut, const PlateTransform& plate, const ChannelMixes& mixes, KernelSet kernels,
                     PlateCubeTables& out);

// The effect's raw match (all mixes 1) over the plate's code values 0..1 on every axis, as a
// lattice in the engine's order (red slowest): what a .cdl fitted to the delivered values reads.
// May throw std::bad_alloc.
void plateValueLattice(const LUT3D& lut, const PlateTransform& plate, KernelSet kernels, std::vector<float>& out);

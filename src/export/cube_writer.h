// The .cube 3D LUT text file: a title, comment lines describing the bake, "LUT_3D_SIZE N", an
// empty line, then N^3 lines "R G B" with six decimals. File order runs red fastest and blue
// slowest, the reverse of the lattice in memory, so this writer is the one place that walks
// the lattice in file order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/engine.h"

// The mixes as the user set them; the bake narrows them to single precision.
struct CubeMixes {
  double mix;
  double red;
  double green;
  double blue;
};

// Bytes of one entry line: three eight-character numbers, two blanks, a line feed.
constexpr size_t kCubeEntryBytes = 27;

// Limits an entry to [0, 1]; NaN becomes 1.
inline float clampCubeEntry(float v) {
  v = v < 1.0f ? v : 1.0f;
  return v > 0.0f ? v : 0.0f;
}

// Writes v, which must lie in [0, 1], exactly as printf("%.6f") would: eight characters, no
// terminator. Returns the position after them.
char* formatUnitFixed6(float v, char* out);

// Header lines up to and including the empty line after LUT_3D_SIZE. Returns the length
// snprintf reports (a result of size or more means the buffer was too small).
size_t formatCubeHeader(const LUT3D& lut, const CubeMixes& mixes, char* buffer, size_t size);

// Baked entry lines of blueCount whole blue slices starting at firstBlue, in file order, into out,
// which must hold blueCount * N * N * kCubeEntryBytes bytes.
void formatCubeSlices(const LUT3D& lut, const CubeMixes& mixes, int32_t firstBlue, int32_t blueCount, char* out);

// Writes the whole file safely (see safe_file.h). lut must hold data with size at least 2.
// False on any failure; the target is then left as it was.
bool writeCubeFile(const char* path, const LUT3D& lut, const CubeMixes& mixes);

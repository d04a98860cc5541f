// A simplified ASC colour decision list fitted to a LUT: per-channel slope and offset of the
// grey axis, power 1, and one saturation measured on the six primaries and secondaries, written
// as a ColorCorrectionCollection XML document.
#pragma once

#include <cstddef>

#include "engine/engine.h"

struct CDLValues {
  float slope[3];
  float offset[3];
  float power[3];
  float saturation;
};

// Fits the decision list to lut (data present). A lattice of fewer than two points gives the
// defaults: slope 1, offset 0, power 1, saturation 1.
CDLValues fitCDL(const LUT3D& lut);

// The XML text. Returns the length snprintf reports (size or more means it was cut).
size_t formatCDLDocument(const CDLValues& cdl, char* buffer, size_t size);

// Writes the document safely (see safe_file.h). False on any failure, the target left as it was.
bool writeCDLFile(const char* path, const CDLValues& cdl);

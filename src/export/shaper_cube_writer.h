// The .cube of a match in a plate encoding: comment lines saying what it expects, a 1D shaper
// ("LUT_1D_SIZE", "LUT_1D_INPUT_RANGE") and the 3D table after it, as OpenColorIO's reader of
// shaper .cube files takes them (no TITLE line, comments only before the keywords). Values are
// written in the shortest form that reads back as the same float.
#pragma once

#include <cstdint>

struct ShaperCube {
  const char* const* comments;  // lines without their "# "
  int32_t commentCount;
  float inputLow, inputHigh;  // the shaper's input range
  const float* shaper;        // shaperSize values, the same for each channel
  int32_t shaperSize;
  const float* table;  // size^3 RGB triples, red fastest
  int32_t size;
};

// Writes the whole file safely (see safe_file.h); false on any failure, the target then left as
// it was.
bool writeShaperCubeFile(const char* path, const ShaperCube& cube);

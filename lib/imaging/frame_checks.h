// Checks of a frame's colour inputs before they are matched: samples that are not numbers, light
// above display white, which decides the default working space, and float values that look like
// log codes.
#pragma once

#include "imaging/colour.h"
#include "imaging/image_io.h"

#include <cstddef>
#include <vector>

// Pixels with a NaN or infinite R, G or B: a bad render or a damaged file.
struct NonFiniteCount {
  size_t pixels = 0;
  size_t nonFinite = 0;
  double share() const { return pixels ? double(nonFinite) / double(pixels) : 0.0; }
  bool anyFinite() const { return nonFinite < pixels; }
};
NonFiniteCount countNonFinite(const Image& image);

// For each level, the share of pixels with R, G or B above it once `toLinear` has taken them into
// linear light (the image itself is left as it is). Pixels that are not finite are not counted.
std::vector<double> sharesAbove(const Image& image, const Conversion& toLinear, const std::vector<float>& levels);

// More than this share of a Source's pixels above 1 in linear light makes it a scene-linear
// plate with highlights, matched in the narrowest working space for them that holds all but this
// share of its pixels.
constexpr double kHighlightShare = 0.001;

// From a Source's shares above 1 and above the top of each space for highlights (narrowest
// first), the one it is matched in: -1 for none (it lies within 1), else the narrowest that holds
// all but kHighlightShare of its pixels, else the widest.
int highlightSpaceFor(const std::vector<double>& above);

// Whether float samples look like a camera's log codes rather than linear light: the darkest 1% of
// the R, G and B samples at or above 0.06 (log encodings lift black to 0.07-0.13; linear light
// of any shadow lies far below), the brightest 1% at or below 0.8 with at most 0.1% of the
// samples above 1 (log codes of a scene's highlights stay below 0.75, where linear highlights
// reach 1 and pass it), and at least 0.1 between the two (a flat grey card or a fade says nothing
// either way). Samples that are not finite are left out.
bool looksLogEncoded(const Image& image);

// Match quality in CIE L*a*b* (ICC D50, relative colorimetric) with CIE ΔE2000, through Little CMS.
#pragma once

#include "image_io.h"

#include <string>
#include <vector>

// Pixelwise: for two grades of one picture, pixels at the same position correspond.
struct PixelDeltaE {
  double mean = 0.0;
  double p95 = 0.0;
  size_t count = 0;  // pixels compared (non-finite ones are left out)
  int width = 0;     // overlap
  int height = 0;
};

// Distributions: for separate footage only the overall colour and its spread compare.
struct SpreadDeltaE {
  double meanColorDeltaE = 0.0;     // ΔE2000 between the two mean Lab colours
  double stdDevDifference[3] = {};  // |σa − σb| for L*, a*, b*
  double stdDevDistance = 0.0;      // Euclidean length of the three
};

// Linear-light RGB (the first three of `channels` floats per pixel) to Lab, three floats per pixel;
// pixels with a non-finite component give NaN.
std::vector<float> linearToLab(const float* pixels, size_t count, int channels);

// How much each pixel counts (rows top down, like Image); empty: every pixel fully.
using PixelWeights = std::vector<float>;

struct LabImage {
  int width = 0;
  int height = 0;
  PixelRect canvas;        // where a host places it
  std::vector<float> lab;  // rows top down, like Image
  PixelWeights weights;
};
LabImage toLab(const Image& image, PixelWeights weights = {});

// The weights a mask gives the pixels of a width x height image, read as the plug-in reads it:
// stretched over the image, its alpha (RGBA), red (RGB) or only channel; below 0.5 nothing,
// above 1 one.
PixelWeights maskWeights(const Image& mask, int width, int height);
// Whether the plug-in's sparse sampling grid over a width x height image meets any weight.
bool maskSelectsSamples(const PixelWeights& weights, int width, int height);
// The share of pixels with an R, G or B outside 0..1 (only the channels marked), which a LUT
// over 0..1 clips; NaN is not counted.
double outOfRangeShare(const Image& image, const bool channels[3]);

double deltaE2000(const float* labA, const float* labB);

// Images are placed as a host places them (canvasBounds); Same Frame compares the overlap,
// pixels whose weight is 0 on either side left out. Spreads are weighted.
PixelDeltaE comparePixels(const LabImage& a, const LabImage& b);
SpreadDeltaE compareSpreads(const LabImage& a, const LabImage& b);
PixelDeltaE comparePixels(const Image& a, const Image& b);
SpreadDeltaE compareSpreads(const Image& a, const Image& b);

// Before (Source vs Reference) and after (Output vs Reference), for the sheet and --report.
struct MatchQuality {
  bool sameFrame = false;
  bool masked = false;  // only the pixels the masks select were measured
  PixelDeltaE pixelsBefore, pixelsAfter;
  SpreadDeltaE spreadBefore, spreadAfter;
};

// The masks' weights (empty for none) apply to Source and Output, and to Reference.
MatchQuality measureMatch(bool sameFrame, const Image& source, const Image& reference, const Image& output,
                          const PixelWeights& sourceWeights = {}, const PixelWeights& referenceWeights = {});
std::vector<std::string> describeQuality(const MatchQuality& quality);

// Match quality in CIE L*a*b* (ICC D50, relative colorimetric, as Little CMS converts linear
// Rec.709) with CIE ΔE2000.
//
// A frame's figures come from a fixed sample of its pixels (samplePoints): the figures of a
// whole 4K frame would cost more than its render. The same pixels are measured on every run,
// and docs/quality.md gives how far the figures of the sample stray from those of every pixel.
#pragma once

#include "imaging/image_io.h"

#include <cstddef>
#include <limits>
#include <string>
#include <vector>

class Conversion;

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
  double meanColourDeltaE = 0.0;    // ΔE2000 between the two mean Lab colours
  double stdDevDifference[3] = {};  // |σa − σb| for L*, a*, b*
  double stdDevDistance = 0.0;      // Euclidean length of the three
};

// Linear-light RGB (the first three of `channels` floats per pixel) to Lab, three floats per pixel;
// pixels with a non-finite component give NaN. The matrix into D50 XYZ is Little CMS's own.
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

// The weight a mask gives pixel (x, row `fromBottom`) of a width x height image, read as the
// plug-in reads it: stretched over the image, its alpha (RGBA), red (RGB) or only channel;
// below 0.5 nothing, above 1 one.
float maskWeightAt(const Image& mask, int width, int height, int x, int fromBottom);
// The same for every pixel.
PixelWeights maskWeights(const Image& mask, int width, int height);
// Whether the plug-in's sparse sampling grid over a width x height image meets any weight.
bool maskSelectsSamples(const PixelWeights& weights, int width, int height);
// The share of pixels with an R, G or B outside 0..1 by more than kClipTolerance (only the
// channels marked), which a LUT over 0..1 clips; NaN is not counted. Clipping within the
// tolerance moves a value by about one 10-bit code (1/1023): the rounding of an encoding near black
// (a log DPX's -0.0002) is no loss.
constexpr float kClipTolerance = 1e-3f;
double outOfRangeShare(const Image& image, const bool channels[3]);

// CIEDE2000 with kL = kC = kH = 1, in double precision.
double deltaE2000(const float* labA, const float* labB);

// Images are placed as a host places them (canvasBounds); Same Frame compares the overlap,
// pixels whose weight is 0 on either side left out. Spreads are weighted. Every pixel counts.
PixelDeltaE comparePixels(const LabImage& a, const LabImage& b);
SpreadDeltaE compareSpreads(const LabImage& a, const LabImage& b);
PixelDeltaE comparePixels(const Image& a, const Image& b);
SpreadDeltaE compareSpreads(const Image& a, const Image& b);

// The pixels a frame's figures measure.
constexpr size_t kFigureSamples = 65536;
constexpr size_t kEveryPixel = std::numeric_limits<size_t>::max();

// A pixel on the canvas (x right, y up).
struct CanvasPoint {
  int x = 0, y = 0;
};

// Every pixel of `region` when it has at most `limit`, else one pixel in each cell of a grid of
// at most `limit` near-square cells, at a place in the cell that depends on the cell's index
// alone: the same pixels for every frame of that size, spread over the whole region. Rows from
// the bottom, left to right.
std::vector<CanvasPoint> samplePoints(const PixelRect& region, size_t limit);

// How many pixels were measured, of how many.
struct SampleSize {
  size_t measured = 0;
  size_t of = 0;
};

// Before (Source vs Reference) and after (Output vs Reference), for the sheet and --report.
struct MatchQuality {
  bool sameFrame = false;
  bool masked = false;  // only the pixels the masks select were measured
  PixelDeltaE pixelsBefore, pixelsAfter;
  SpreadDeltaE spreadBefore, spreadAfter;
  // Same Frame: both are the overlap. The Output is measured where the Source is.
  SampleSize sourceSample, referenceSample;
};

// The figures over samplePoints(…, limit) of each picture: Same Frame over the overlap of Source
// and Reference, Different Clips over each picture whole. A mask (null for none) weights the
// pixels of its picture: SourceMask those of Source and Output. `toLinear` (null: none) brings
// the pictures' colours into linear Rec.709; only the sampled pixels are converted.
MatchQuality measureMatch(bool sameFrame, const Image& source, const Image& reference, const Image& output,
                          const Image* sourceMask, const Image* referenceMask, const Conversion* toLinear,
                          size_t limit = kFigureSamples);
std::vector<std::string> describeQuality(const MatchQuality& quality);

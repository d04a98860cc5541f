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
    double meanColorDeltaE = 0.0;      // ΔE2000 between the two mean Lab colours
    double stdDevDifference[3] = {};   // |σa − σb| for L*, a*, b*
    double stdDevDistance = 0.0;       // Euclidean length of the three
};

// Linear-light RGB (the first three of `channels` floats per pixel) to Lab, three floats per pixel;
// pixels with a non-finite component give NaN.
std::vector<float> linearToLab(const float *pixels, size_t count, int channels);

struct LabImage {
    int width = 0;
    int height = 0;
    std::vector<float> lab;  // rows top down, like Image
};
LabImage toLab(const Image &image);

double deltaE2000(const float *labA, const float *labB);

// Images are placed as a host places them, lower-left corners together; rows of `Image` run top down.
PixelDeltaE comparePixels(const LabImage &a, const LabImage &b);
SpreadDeltaE compareSpreads(const LabImage &a, const LabImage &b);
PixelDeltaE comparePixels(const Image &a, const Image &b);
SpreadDeltaE compareSpreads(const Image &a, const Image &b);

// Before (Source vs Reference) and after (Output vs Reference), for the sheet and --report.
struct MatchQuality {
    bool sameFrame = false;
    PixelDeltaE pixelsBefore, pixelsAfter;
    SpreadDeltaE spreadBefore, spreadAfter;
};

MatchQuality measureMatch(bool sameFrame, const Image &source, const Image &reference, const Image &output);
std::vector<std::string> describeQuality(const MatchQuality &quality);

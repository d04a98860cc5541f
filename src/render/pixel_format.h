// Host image layouts and their conversion to and from the float working layouts.
#pragma once

#include <cstdint>
#include <vector>

#include "render/apply_lut.h"

enum class PixelDepth { Unsupported, Byte, Short, Float };

// "OfxBitDepthByte", "OfxBitDepthShort" or "OfxBitDepthFloat"; anything else, or null, is
// Unsupported.
PixelDepth pixelDepthFromName(const char* name);
// 4 for "OfxImageComponentRGBA", 3 for "OfxImageComponentRGB", 1 for "OfxImageComponentAlpha",
// 0 for anything else or null.
int32_t componentCountFromName(const char* name);

// An image as the host hands it over.
struct HostImage {
  unsigned char* data;
  int32_t rowBytes;
  OfxRectI bounds;
  PixelDepth depth;
  int32_t components;
};

int32_t bytesPerPixel(const HostImage& image);
bool isFloatRGBA(const HostImage& image);
// Bounds not inverted, and a non-empty image has data and rows at least one row of pixels
// apart, so that no read or write can leave the memory the host described.
bool hasSaneLayout(const HostImage& image);

// The part of the image inside region as float RGBA, with integer depths scaled to [0, 1] and
// RGB given alpha 1. Float RGBA images are returned in place; otherwise the pixels are
// converted into storage (which may throw std::bad_alloc), and the result's bounds are region
// clipped to the image.
ImageDesc floatRGBAView(const HostImage& image, const OfxRectI& region, std::vector<float>& storage);

// The whole image as float samples of its own component count, packed row by row.
// Float images are returned in place.
const unsigned char* floatSamples(const HostImage& image, int32_t& rowBytes, std::vector<float>& storage);

// Writes the float RGBA pixels of from (all of its bounds, which lie inside to's bounds) into
// the host image in its own depth and components. Integer depths are clamped to [0, 1] and
// rounded to the nearest step; NaN becomes 0.
void storeFloatRGBA(const ImageDesc& from, const HostImage& to);

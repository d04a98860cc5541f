// Conversions between the image layouts a host hands over and the float layouts the engine
// and the application work in.
#pragma once

#include <vector>

#include "render/image.h"

// The part of the image inside region as float RGBA, with integer depths scaled to [0, 1] and
// RGB given alpha 1. A float RGBA image is returned as it stands; otherwise the pixels are
// converted into storage (which may throw std::bad_alloc), and the result covers region clipped
// to the image.
ImageView floatRGBAView(const ImageView& image, const Rect& region, std::vector<float>& storage);

// The whole image as float samples of its own component count, packed row by row. A float
// image is returned as it stands.
ImageView floatSamples(const ImageView& image, std::vector<float>& storage);

// Writes the float RGBA pixels of from (all of its bounds, which lie inside to's bounds) into
// the image in its own depth and components. Integer depths are clamped to [0, 1] and rounded
// to the nearest step; NaN becomes 0.
void storeFloatRGBA(const ImageView& from, const ImageView& to);

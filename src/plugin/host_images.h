// Images as the host hands them over: their properties read into plain views, and the checks
// that keep every read and write inside the memory the host described.
#pragma once

#include "ofx/ofx_api.h"
#include "render/image.h"

// "OfxBitDepthByte", "OfxBitDepthShort" or "OfxBitDepthFloat"; anything else, or null, is
// Unsupported.
PixelDepth pixelDepthFromName(const char* name);
// 4 for "OfxImageComponentRGBA", 3 for "OfxImageComponentRGB", 1 for "OfxImageComponentAlpha",
// 0 for anything else or null.
int32_t componentCountFromName(const char* name);

// The image's data, row bytes, bounds, depth and components. A mask without a known component
// string is read as RGBA.
ImageView describeImage(OfxPropertySetHandle image, bool isMask);

// Refuses formats the effect does not declare (kOfxStatErrUnsupported) and layouts that would
// lead reads or writes astray (kOfxStatFailed), each with one diagnostic line naming the clip;
// kOfxStatOK otherwise.
OfxStatus checkImage(const ImageView& image, const char* clip, bool isMask);

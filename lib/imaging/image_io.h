// Image files in and out of the command-line host: any channel count and sample type that
// OpenImageIO reads becomes float RGBA with the values the file stores (imaging/colour.h converts
// them); outputs go back to the file's format.
#pragma once

#include "imaging/image.h"

#include <array>
#include <optional>
#include <string>

// Parts (subimages) of the file beyond the first, which the tool neither reads nor writes.
int extraParts(const Image& image);

// Colour images always come back as 4 channels, integers scaled to 0..1, nothing decoded.
bool readColourImage(const std::string& path, Image& out, std::string& error);

// What a colour file says of itself (format, depth and colour metadata), without its pixels.
bool readColourHeader(const std::string& path, Image& out, std::string& error);

// Masks are data, never colour-decoded: 1 channel (alpha or grey), 3 (RGB) or 4 (RGBA).
bool readMaskImage(const std::string& path, Image& out, std::string& error);

// Where a file's pixels lie on the canvas, from its header alone.
bool readCanvasBounds(const std::string& path, PixelRect& out, std::string& error);

struct WriteSettings {
  SampleDepth depth = SampleDepth::Unknown;  // Unknown: chosen by outputDepth()
  // The colour space the samples are in, as oiio:ColorSpace and (EXR) chromaticities; the
  // Source's colour profile and chromaticities stay only while its space does. `spaceName`, the
  // space's name in the tool's config, is recorded where the format has room for it (an
  // attribute of EXR and PNG files, a DPX's user data when the Source left it free).
  std::string colourSpace;
  std::string spaceName;
  std::optional<std::array<float, 8>> chromaticities;
  bool sameColourSpace = true;
  bool keepAlpha = true;  // when the image has alpha and the format stores it
  std::string software;   // the Software attribute; empty leaves the Source's
};

// Writes under a temporary name beside the target and renames it into place when complete.
// An image read from a file keeps that file's windows, pixel aspect and metadata; its other
// channels keep their names, order and samples where the format stores them.
bool writeColourImage(const std::string& path, const Image& image, const WriteSettings& settings, std::string& error);

// The writer's format name for a path ("" when OpenImageIO has no writer for its extension).
std::string outputFormatFor(const std::string& path);

// Source's depth when the output format stores it, else the nearest depth it does store.
SampleDepth outputDepth(const std::string& format, SampleDepth sourceDepth);
bool formatStoresDepth(const std::string& format, SampleDepth depth);
// Whether files of the format at that depth are pictures for display, which every viewer shows as
// sRGB: JPEG, PNG, WebP, GIF, BMP, Targa, and TIFF with integer samples (not DPX, which holds log
// or video codes).
bool isDisplayFormat(const std::string& format, SampleDepth depth);

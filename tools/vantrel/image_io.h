// Image files in and out of the command-line host: any channel count and sample type that
// OpenImageIO reads becomes float RGBA with the values the file stores (colour.h converts
// them); outputs go back to the file's format.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

enum class SampleDepth { Unknown, UInt8, UInt16, Half, Float };

// What a file held beyond the colour the tool works on: its header (windows, channel names,
// metadata) and the samples of its other channels as stored. Defined in image_io.cpp.
struct FileLayout;

// Pixels are packed floats of the data window, rows top to bottom as files store them.
struct Image {
  int width = 0;
  int height = 0;
  int channels = 4;
  std::vector<float> pixels;
  // The data window's origin and the display window, in the file's coordinates (y down). A
  // file without windows has its data at 0,0 and a display window of its own size
  // (fullWidth 0 stands for that).
  int x = 0, y = 0;
  int fullX = 0, fullY = 0, fullWidth = 0, fullHeight = 0;
  // What the file held, so outputs can follow it.
  std::string format;  // OpenImageIO format name, e.g. "openexr", "png"
  SampleDepth depth = SampleDepth::Unknown;
  bool hasAlpha = false;
  std::string compression;  // EXR and TIFF: kept when the output is of the same format
  // What the file says of its colour space: the reader's oiio:ColorSpace (its guess for some
  // formats), the space this tool named when it wrote the file, a DPX's transfer characteristic
  // and an EXR's chromaticities.
  std::string storedSpace;
  std::string namedSpace;
  std::string transfer;
  std::optional<std::array<float, 8>> chromaticities;
  std::shared_ptr<const FileLayout> layout;  // null for pictures the tool made
};

// Gives `to` the size, data window and display window of `from`.
void placeLike(const Image& from, Image& to);

// Where a host places an image: x right, y up, (0, 0) the lower-left corner of the display window.
struct PixelRect {
  int x1 = 0, y1 = 0, x2 = 0, y2 = 0;
  int width() const { return x2 - x1; }
  int height() const { return y2 - y1; }
  bool operator==(const PixelRect& o) const { return x1 == o.x1 && y1 == o.y1 && x2 == o.x2 && y2 == o.y2; }
};
PixelRect canvasBounds(const Image& image);

// Parts (subimages) of the file beyond the first, which the tool neither reads nor writes.
int extraParts(const Image& image);

// Colour images always come back as 4 channels, integers scaled to 0..1, nothing decoded.
bool readColorImage(const std::string& path, Image& out, std::string& error);

// What a colour file says of itself (format, depth and colour metadata), without its pixels.
bool readColorHeader(const std::string& path, Image& out, std::string& error);

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
bool writeColorImage(const std::string& path, const Image& image, const WriteSettings& settings, std::string& error);

// The writer's format name for a path ("" when OpenImageIO has no writer for its extension).
std::string outputFormatFor(const std::string& path);

// Source's depth when the output format stores it, else the nearest depth it does store.
SampleDepth outputDepth(const std::string& format, SampleDepth sourceDepth);
bool formatStoresDepth(const std::string& format, SampleDepth depth);

bool parseDepth(const std::string& text, SampleDepth& out);
const char* depthName(SampleDepth depth);
bool isIntegerDepth(SampleDepth depth);

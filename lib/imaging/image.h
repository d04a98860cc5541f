// A picture as the tool holds it: float samples with what its file said of itself, and where a
// host places it on the canvas.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

enum class SampleDepth { Unknown, UInt8, UInt16, Half, Float };

// What a file held beyond the colour the tool works on: its header (windows, channel names,
// metadata) and the samples of its other channels as stored (image_file.h).
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

bool parseDepth(const std::string& text, SampleDepth& out);
const char* depthName(SampleDepth depth);
bool isIntegerDepth(SampleDepth depth);

// Image files in and out of the command-line host: any channel count and sample type that
// OpenImageIO reads becomes float RGBA in linear light; outputs go back to the file's format.
#pragma once

#include <memory>
#include <string>
#include <vector>

enum class ColorEncoding { Auto, Linear, Srgb };
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
    std::shared_ptr<const FileLayout> layout;  // null for pictures the tool made
};

// Where a host places an image: x right, y up, (0, 0) the lower-left corner of the display window.
struct PixelRect {
    int x1 = 0, y1 = 0, x2 = 0, y2 = 0;
    int width() const { return x2 - x1; }
    int height() const { return y2 - y1; }
    bool operator==(const PixelRect &o) const { return x1 == o.x1 && y1 == o.y1 && x2 == o.x2 && y2 == o.y2; }
};
PixelRect canvasBounds(const Image &image);

// Parts (subimages) of the file beyond the first, which the tool neither reads nor writes.
int extraParts(const Image &image);

// Colour images always come back as 4 channels; integer files are decoded from sRGB under Auto.
bool readColorImage(const std::string &path, ColorEncoding encoding, Image &out, std::string &error);

// Masks are data, never colour-decoded: 1 channel (alpha or grey), 3 (RGB) or 4 (RGBA).
bool readMaskImage(const std::string &path, Image &out, std::string &error);

struct WriteSettings {
    SampleDepth depth = SampleDepth::Unknown;  // Unknown: chosen by outputDepth()
    ColorEncoding encoding = ColorEncoding::Auto;
    bool keepAlpha = true;  // when the image has alpha and the format stores it
    std::string software;   // the Software attribute; empty leaves the Source's
};

// Writes under a temporary name beside the target and renames it into place when complete.
// An image read from a file keeps that file's windows, pixel aspect and metadata; its other
// channels keep their names, order and samples where the format stores them.
bool writeColorImage(const std::string &path, const Image &image, const WriteSettings &settings,
                     std::string &error);

// The writer's format name for a path ("" when OpenImageIO has no writer for its extension).
std::string outputFormatFor(const std::string &path);

// Source's depth when the output format stores it, else the nearest depth it does store.
SampleDepth outputDepth(const std::string &format, SampleDepth sourceDepth);
bool formatStoresDepth(const std::string &format, SampleDepth depth);

bool parseDepth(const std::string &text, SampleDepth &out);
const char *depthName(SampleDepth depth);
bool isIntegerDepth(SampleDepth depth);

// Exact sRGB transfer (IEC 61966-2-1) on the RGB of packed pixels with the given channel count.
void srgbToLinear(float *pixels, size_t count, int channels);
void linearToSrgb(float *pixels, size_t count, int channels);

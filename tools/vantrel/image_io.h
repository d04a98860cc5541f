// Image files in and out of the command-line host: any channel count and sample type that
// OpenImageIO reads becomes float RGBA in linear light; outputs go back to the file's format.
#pragma once

#include <string>
#include <vector>

enum class ColorEncoding { Auto, Linear, Srgb };
enum class SampleDepth { Unknown, UInt8, UInt16, Half, Float };

// Pixels are packed floats, rows top to bottom as files store them.
struct Image {
    int width = 0;
    int height = 0;
    int channels = 4;
    std::vector<float> pixels;
    // What the file held, so outputs can follow it.
    std::string format;  // OpenImageIO format name, e.g. "openexr", "png"
    SampleDepth depth = SampleDepth::Unknown;
    bool hasAlpha = false;
    std::string compression;  // EXR and TIFF: kept when the output is of the same format
};

// Colour images always come back as 4 channels; integer files are decoded from sRGB under Auto.
bool readColorImage(const std::string &path, ColorEncoding encoding, Image &out, std::string &error);

// Masks are data, never colour-decoded: 1 channel (alpha or grey), 3 (RGB) or 4 (RGBA).
bool readMaskImage(const std::string &path, Image &out, std::string &error);

struct WriteSettings {
    SampleDepth depth = SampleDepth::Unknown;  // Unknown: chosen by outputDepth()
    ColorEncoding encoding = ColorEncoding::Auto;
    bool keepAlpha = true;  // when the image has alpha and the format stores it
};

// Writes under a temporary name beside the target and renames it into place when complete.
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

// "dir/.name.vantrel-PID.ext": same directory (so rename is atomic), same extension (so
// format-by-extension writers still work), hidden so it is not picked up half-written.
std::string temporaryPathFor(const std::string &path);

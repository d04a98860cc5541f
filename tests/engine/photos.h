// Real photographs for engine tests and benchmarks, as float RGBA images.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct FloatImage {
  std::vector<float> pixels;  // RGBA, rows top to bottom as stored in the file
  int32_t width = 0;
  int32_t height = 0;
  int32_t rowBytes() const { return width * 16; }
  const unsigned char* bytes() const { return reinterpret_cast<const unsigned char*>(pixels.data()); }
};

// Loads tests/data/photos/<name>, resized to width x height (0 keeps the file's size), with
// channel values as stored (0..1). Returns an empty image when the file cannot be read.
FloatImage loadPhoto(const std::string& name, int32_t width = 0, int32_t height = 0);

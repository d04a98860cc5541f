// Shared decoding of fuzzer input: float values that favour the edges of every clamp, and
// images whose shape and stride come from the input while their storage is exactly what that
// shape addresses, so the sanitizer sees any read or write past it.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

namespace fuzzin {

inline float fromBits(uint32_t bits) {
  float v;
  std::memcpy(&v, &bits, 4);
  return v;
}

// Raw bits half the time, so NaN payloads, infinities and denormals all occur; otherwise a value
// at or next to a clamp boundary.
inline float anyFloat(FuzzedDataProvider& in) {
  static const float kEdges[] = {0.0f,
                                 -0.0f,
                                 1.0f,
                                 0.5f,
                                 0.49999997f,
                                 0.99999994f,
                                 1.0000001f,
                                 -1.0f,
                                 2.0f,
                                 0.18f,
                                 1e-40f,
                                 -1e-40f,
                                 FLT_MIN,
                                 FLT_MAX,
                                 -FLT_MAX,
                                 0.008856452f,
                                 0.20689656f,
                                 255.0f,
                                 128.0f,
                                 std::numeric_limits<float>::infinity(),
                                 -std::numeric_limits<float>::infinity(),
                                 std::numeric_limits<float>::quiet_NaN(),
                                 fromBits(0xffc00001u)};
  if (in.ConsumeBool()) return fromBits(in.ConsumeIntegral<uint32_t>());
  return kEdges[in.ConsumeIntegralInRange<size_t>(0, sizeof kEdges / sizeof kEdges[0] - 1)];
}

inline double anyDouble(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0:
      return in.ConsumeFloatingPointInRange(-0.5, 1.5);
    case 1:
      return double(anyFloat(in));
    case 2: {
      const uint64_t bits = in.ConsumeIntegral<uint64_t>();
      double v;
      std::memcpy(&v, &bits, 8);
      return v;
    }
    default:
      return double(in.ConsumeIntegralInRange(-1, 2));
  }
}

// A few values read once and repeated over a whole image: large images stay cheap to describe.
struct Palette {
  std::vector<float> values;
  uint32_t stride = 1;
  float at(size_t i) const { return values[(i * stride) % values.size()]; }
};

inline Palette readPalette(FuzzedDataProvider& in) {
  Palette p;
  const size_t count = in.ConsumeIntegralInRange<size_t>(1, 24);
  for (size_t i = 0; i < count; ++i) p.values.push_back(anyFloat(in));
  p.stride = in.ConsumeIntegralInRange<uint32_t>(1, 7);
  return p;
}

// An image of `perPixel` floats per pixel in storage it owns exactly. Row y starts at
// first() + y * rowBytes; rows may run backwards, be padded, or (with allowOverlap) share memory.
struct OwnedImage {
  std::unique_ptr<float[]> storage;
  size_t floats = 0;
  int32_t width = 0;
  int32_t height = 0;
  int32_t rowBytes = 0;
  int32_t perPixel = 4;
  int64_t firstOffset = 0;  // in floats

  float* first() const { return storage.get() + firstOffset; }
  float* pixel(int32_t x, int32_t y) const { return first() + int64_t(y) * (rowBytes / 4) + int64_t(x) * perPixel; }
  const unsigned char* bytes() const { return reinterpret_cast<const unsigned char*>(first()); }
};

inline OwnedImage readImage(FuzzedDataProvider& in, int32_t perPixel, int32_t maxWidth, int32_t maxHeight,
                            bool allowOverlap) {
  OwnedImage img;
  img.perPixel = perPixel;
  img.width = in.ConsumeIntegralInRange<int32_t>(-1, maxWidth);
  img.height = in.ConsumeIntegralInRange<int32_t>(-1, maxHeight);
  const int32_t rowFloats = img.width > 0 ? img.width * perPixel : 0;
  int32_t pitch = rowFloats + in.ConsumeIntegralInRange<int32_t>(0, 3);
  if (allowOverlap && in.ConsumeProbability<float>() < 0.1f) pitch = in.ConsumeIntegralInRange<int32_t>(0, rowFloats);
  const bool backwards = in.ConsumeBool();
  img.rowBytes = (backwards ? -pitch : pitch) * 4;
  if (img.width > 0 && img.height > 0) {
    const int64_t span = int64_t(img.height - 1) * pitch;
    img.floats = size_t(span + rowFloats);
    img.firstOffset = backwards ? span : 0;
  }
  // Zero floats still gives a distinct heap block, so that any read of an empty image is caught.
  img.storage.reset(new float[img.floats]);
  const Palette palette = readPalette(in);
  for (size_t i = 0; i < img.floats; ++i) img.storage[i] = palette.at(i);
  return img;
}

inline bool sameBits(float a, float b) { return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, 4) == 0; }

}  // namespace fuzzin

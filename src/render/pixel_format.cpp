#include "render/pixel_format.h"

#include <cstdlib>
#include <cstring>

namespace {

inline const unsigned char* rowAt(const ImageView& image, int32_t y) {
  return image.data + int64_t(y - image.bounds.y1) * image.rowBytes;
}

// Reads count samples of the given depth as floats in [0, 1] (float samples as stored).
void readSamples(const unsigned char* from, PixelDepth depth, int64_t count, float* to) {
  if (count <= 0) return;  // an empty row may have no storage on either side
  if (depth == PixelDepth::Float) {
    std::memcpy(to, from, size_t(count) * 4);
  } else if (depth == PixelDepth::Short) {
    for (int64_t i = 0; i < count; ++i) {
      uint16_t v;
      std::memcpy(&v, from + 2 * i, 2);
      to[i] = float(v) / 65535.0f;
    }
  } else {
    for (int64_t i = 0; i < count; ++i) to[i] = float(from[i]) / 255.0f;
  }
}

// Clamped to [0, 1] with NaN as 0, scaled and rounded to nearest (halves up). In double the
// product and the half are exact, so values next to a half step round the right way.
inline uint32_t quantise(float v, double scale) {
  const float c = v > 0.0f ? (v < 1.0f ? v : 1.0f) : 0.0f;
  return uint32_t(double(c) * scale + 0.5);
}

void writeSample(unsigned char* to, PixelDepth depth, float v) {
  if (depth == PixelDepth::Float) {
    std::memcpy(to, &v, 4);
  } else if (depth == PixelDepth::Short) {
    const uint16_t q = uint16_t(quantise(v, 65535.0));
    std::memcpy(to, &q, 2);
  } else {
    *to = uint8_t(quantise(v, 255.0));
  }
}

}  // namespace

ImageView floatRGBAView(const ImageView& image, const Rect& region, std::vector<float>& storage) {
  if (isFloatRGBA(image)) return image;
  const Rect r = intersect(region, image.bounds);
  const int64_t width = r.width();
  const int64_t height = r.height();
  storage.assign(size_t(width * height * 4), 0.0f);
  const int32_t pixelBytes = bytesPerPixel(image);
  const int32_t n = image.components;
  std::vector<float> samples(size_t(width * n));
  // An image without columns may have no data: no row address is formed for it.
  for (int64_t y = 0; width > 0 && y < height; ++y) {
    const unsigned char* from = rowAt(image, int32_t(r.y1 + y)) + int64_t(r.x1 - image.bounds.x1) * pixelBytes;
    readSamples(from, image.depth, width * n, samples.data());
    float* to = storage.data() + y * width * 4;
    for (int64_t x = 0; x < width; ++x, to += 4) {
      const float* s = samples.data() + x * n;
      to[0] = s[0];
      to[1] = n >= 3 ? s[1] : s[0];
      to[2] = n >= 3 ? s[2] : s[0];
      to[3] = n == 4 ? s[3] : 1.0f;
    }
  }
  return floatRGBA(reinterpret_cast<unsigned char*>(storage.data()), int32_t(width * 16), r);
}

ImageView floatSamples(const ImageView& image, std::vector<float>& storage) {
  if (image.depth == PixelDepth::Float) return image;
  const int64_t width = image.bounds.width();
  const int64_t height = image.bounds.height();
  const int64_t rowSamples = width * image.components;
  storage.assign(size_t(rowSamples * height), 0.0f);
  for (int64_t y = 0; rowSamples > 0 && y < height; ++y)
    readSamples(rowAt(image, int32_t(image.bounds.y1 + y)), image.depth, rowSamples, storage.data() + y * rowSamples);
  return ImageView{reinterpret_cast<unsigned char*>(storage.data()), int32_t(rowSamples * 4), image.bounds,
                   PixelDepth::Float, image.components};
}

void storeFloatRGBA(const ImageView& from, const ImageView& to) {
  const int32_t n = to.components;
  const int32_t sample = bytesPerSample(to.depth);
  const int64_t width = from.bounds.width();
  for (int32_t y = from.bounds.y1; y < from.bounds.y2; ++y) {
    const float* s = reinterpret_cast<const float*>(from.data + int64_t(y - from.bounds.y1) * from.rowBytes);
    unsigned char* d = const_cast<unsigned char*>(rowAt(to, y)) + int64_t(from.bounds.x1 - to.bounds.x1) * n * sample;
    for (int64_t x = 0; x < width; ++x, s += 4)
      for (int32_t c = 0; c < n; ++c, d += sample) writeSample(d, to.depth, n == 1 ? s[3] : s[c]);
  }
}

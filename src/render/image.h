// Images as the renderer sees them: a rectangle of pixels and a view of memory over it.
#pragma once

#include <algorithm>
#include <cstdint>

// Pixel coordinates x1 <= x < x2, y1 <= y < y2.
struct Rect {
  int32_t x1 = 0, y1 = 0, x2 = 0, y2 = 0;

  int64_t width() const { return int64_t(x2) - x1; }
  int64_t height() const { return int64_t(y2) - y1; }
  bool empty() const { return x2 <= x1 || y2 <= y1; }
};

// The part of a inside b: never inverted, empty (at the clamped corner) when they do not meet.
inline Rect intersect(const Rect& a, const Rect& b) {
  Rect r;
  r.x1 = std::max(a.x1, b.x1);
  r.y1 = std::max(a.y1, b.y1);
  r.x2 = std::max(r.x1, std::min(a.x2, b.x2));
  r.y2 = std::max(r.y1, std::min(a.y2, b.y2));
  return r;
}

enum class PixelDepth { Unsupported, Byte, Short, Float };

// Pixels over `bounds`: `data` addresses the pixel at (bounds.x1, bounds.y1), and row y starts
// (y - bounds.y1) * rowBytes bytes after it, so rows may run backwards in memory.
struct ImageView {
  unsigned char* data = nullptr;
  int32_t rowBytes = 0;
  Rect bounds;
  PixelDepth depth = PixelDepth::Float;
  int32_t components = 4;
};

// A float RGBA view: the layout the application reads and writes.
inline ImageView floatRGBA(unsigned char* data, int32_t rowBytes, Rect bounds) {
  return ImageView{data, rowBytes, bounds, PixelDepth::Float, 4};
}

inline bool isFloatRGBA(const ImageView& image) { return image.depth == PixelDepth::Float && image.components == 4; }

int32_t bytesPerSample(PixelDepth depth);
inline int32_t bytesPerPixel(const ImageView& image) { return bytesPerSample(image.depth) * image.components; }

// The pixel at (x, y), which must lie inside the bounds.
inline unsigned char* pixelAddress(const ImageView& image, int32_t x, int32_t y) {
  return image.data + int64_t(y - image.bounds.y1) * image.rowBytes +
         int64_t(x - image.bounds.x1) * bytesPerPixel(image);
}

// Bounds not inverted, and a non-empty image has data, rows aligned to its samples and rows at
// least one row of pixels apart, so that no read or write can leave the memory described.
bool hasSaneLayout(const ImageView& image);

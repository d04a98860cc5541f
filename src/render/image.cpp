#include "render/image.h"

#include <cstdlib>

int32_t bytesPerSample(PixelDepth depth) {
  switch (depth) {
    case PixelDepth::Byte:
      return 1;
    case PixelDepth::Short:
      return 2;
    case PixelDepth::Float:
      return 4;
    case PixelDepth::Unsupported:
      break;
  }
  return 0;
}

bool hasSaneLayout(const ImageView& image) {
  const Rect& b = image.bounds;
  if (b.x2 < b.x1 || b.y2 < b.y1) return false;
  if (b.empty()) return true;
  const int64_t rowSize = b.width() * bytesPerPixel(image);
  // Samples are read as whole 16- and 32-bit values, so every row must start on one.
  const int32_t sample = bytesPerSample(image.depth);
  const bool aligned =
      sample > 0 && reinterpret_cast<uintptr_t>(image.data) % uint32_t(sample) == 0 && image.rowBytes % sample == 0;
  return image.data != nullptr && aligned && rowSize > 0 && std::llabs(int64_t(image.rowBytes)) >= rowSize;
}

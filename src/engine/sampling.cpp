#include <cmath>

#include "engine/engine_internal.h"

namespace engine {

int32_t samplingStep(int32_t width, int32_t height, double targetSamples) {
  const int64_t pixels = int64_t(width) * height;
  if (pixels <= 0) return 1;  // nothing gets sampled; keeps sqrt away from negatives
  const int32_t step = int32_t(std::sqrt(double(pixels) / targetSamples));
  return step < 1 ? 1 : step;
}

int32_t maskCoordinate(int32_t maskExtent, int32_t imageExtent, int32_t coord) {
  if (maskExtent == imageExtent || imageExtent == 0) return coord;
  return int32_t(int64_t(maskExtent) * coord / imageExtent);
}

}  // namespace engine

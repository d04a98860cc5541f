#include "engine/engine.h"

#include <new>

float latticeCoordinate(int32_t i, int32_t size) { return float(i) / float(size - 1); }

void lutIdentityValue(int32_t size, int32_t r, int32_t g, int32_t b, float out[3]) {
  out[0] = latticeCoordinate(r, size);
  out[1] = latticeCoordinate(g, size);
  out[2] = latticeCoordinate(b, size);
}

bool LutStorage::reserve(int32_t points) {
  valid = false;
  if (data != nullptr && size == points) return true;
  release();
  if (points < 2 || points > 1024) return false;
  owned_.reset(new (std::nothrow) float[size_t(points) * size_t(points) * size_t(points) * 3]);
  if (!owned_) return false;
  data = owned_.get();
  size = points;
  return true;
}

void LutStorage::release() {
  owned_.reset();
  data = nullptr;
  size = 0;
  valid = false;
}

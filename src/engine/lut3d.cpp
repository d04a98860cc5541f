#include "engine/engine.h"

float latticeCoordinate(int32_t i, int32_t size) { return float(i) / float(size - 1); }

void lutIdentityValue(int32_t size, int32_t r, int32_t g, int32_t b, float out[3]) {
  out[0] = latticeCoordinate(r, size);
  out[1] = latticeCoordinate(g, size);
  out[2] = latticeCoordinate(b, size);
}

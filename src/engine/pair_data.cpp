// Whether the Same Frame learners have anything to learn from: one sampled pair with a finite
// colour on both sides is enough, so the usual answer comes from the first pair.
#include <cmath>

#include "engine/engine.h"
#include "engine/pair_sampling.h"

namespace {

bool finiteColour(const float* px) { return std::isfinite(px[0]) && std::isfinite(px[1]) && std::isfinite(px[2]); }

}  // namespace

bool framePairsHaveData(const FramePair* frames, int32_t frameCount) {
  for (int32_t f = 0; f < frameCount; ++f) {
    const engine::FrameGrid g = engine::frameGrid(frames[f], 0);
    const ImageDesc& s = frames[f].source;
    const ImageDesc& r = frames[f].reference;
    for (int64_t row = 0; row < g.rows; ++row) {
      const int64_t y = row * g.step;
      const float* srow = reinterpret_cast<const float*>(s.pixels + y * s.rowBytes);
      const float* rrow = reinterpret_cast<const float*>(r.pixels + y * r.rowBytes);
      for (int64_t column = 0; column < g.columns; ++column) {
        const int64_t x = column * g.step * 4;
        if (finiteColour(srow + x) && finiteColour(rrow + x)) return true;
      }
    }
  }
  return false;
}

// Regions of interest: which part of each input image a render is handed.
#include <algorithm>
#include <climits>
#include <cmath>

#include "ofx_host.h"
#include "suites.h"

namespace ofxhost {

namespace {

thread_local const RenderRegions* tRegions = nullptr;

int saturate(double v, bool low) {
  if (std::isnan(v)) return low ? INT_MIN : INT_MAX;
  if (v <= double(INT_MIN)) return INT_MIN;
  if (v >= double(INT_MAX)) return INT_MAX;
  return int(v);
}

}  // namespace

ScopedRenderRegions::ScopedRenderRegions(const RenderRegions* regions) : previous_(tRegions) { tRegions = regions; }
ScopedRenderRegions::~ScopedRenderRegions() { tRegions = previous_; }

OfxRectI toPixels(const OfxRectD& c, OfxPointD scale) {
  return OfxRectI{saturate(std::floor(c.x1 * scale.x), true), saturate(std::floor(c.y1 * scale.y), true),
                  saturate(std::ceil(c.x2 * scale.x), false), saturate(std::ceil(c.y2 * scale.y), false)};
}

OfxRectI suppliedBounds(const Clip* clip, const Image& image) {
  const OfxRectI b = image.bounds;
  if (tRegions == nullptr || tRegions->instance != clip->effect) return b;
  auto it = tRegions->pixels.find(clip->name);
  if (it == tRegions->pixels.end()) return b;
  const OfxRectI& r = it->second;
  OfxRectI out{std::max(b.x1, r.x1), std::max(b.y1, r.y1), std::min(b.x2, r.x2), std::min(b.y2, r.y2)};
  // Nothing in common: an empty image at the corner of the bounds.
  if (out.x2 <= out.x1 || out.y2 <= out.y1) out = OfxRectI{b.x1, b.y1, b.x1, b.y1};
  return out;
}

bool fetchAllowed(const Clip* clip, double time) {
  if (tRegions == nullptr || tRegions->instance != clip->effect || time == tRegions->time) return true;
  auto it = tRegions->frames.find(clip->name);
  if (it == tRegions->frames.end()) return false;
  for (const OfxRangeD& range : it->second)
    if (time >= range.min && time <= range.max) return true;
  return false;
}

}  // namespace ofxhost

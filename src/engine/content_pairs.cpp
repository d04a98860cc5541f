// Corresponding colours of a registered frame. Only smooth areas give pairs: at an edge a
// fraction of a pixel of registration error, or a little parallax, pairs a colour with its
// neighbour's. Smoothness is measured in both pictures, each against its own typical variation so
// that a look with more contrast is not held to a stricter standard.
#include <algorithm>
#include <cmath>

#include "engine/matching_content.h"

namespace engine {

namespace {

// The largest RGB step from each working pixel to its four neighbours (counted ones only); -1
// where the pixel does not count.
std::vector<float> variation(const ContentImage& im) {
  const ContentLevel& l = im.levels[0];
  std::vector<float> v(size_t(l.width) * size_t(l.height), -1.0f);
  const int32_t offsets[4][2] = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}};
  for (int32_t y = 0; y < l.height; ++y)
    for (int32_t x = 0; x < l.width; ++x) {
      const size_t p = size_t(y) * size_t(l.width) + size_t(x);
      if (l.weight[p] <= 0.0f) continue;
      float most = 0.0f;
      for (const auto& o : offsets) {
        const int32_t nx = x + o[0], ny = y + o[1];
        if (nx < 0 || ny < 0 || nx >= l.width || ny >= l.height) continue;
        const size_t q = size_t(ny) * size_t(l.width) + size_t(nx);
        if (l.weight[q] <= 0.0f) continue;
        for (int c = 0; c < 3; ++c) most = std::max(most, std::fabs(im.rgb[c][p] - im.rgb[c][q]));
      }
      v[p] = most;
    }
  return v;
}

float medianOf(std::vector<float> v) {
  if (v.empty()) return 0.0f;
  const size_t mid = v.size() / 2;
  std::nth_element(v.begin(), v.begin() + long(mid), v.end());
  return v[mid];
}

struct Candidate {
  int32_t sx, sy;  // Source working pixel
  int32_t rx, ry;  // the Reference working cell whose corners it interpolates
  float fx, fy;
  float vs, vr;
};

}  // namespace

void collectContentPairs(const ContentImage& source, const ContentImage& reference, const Registration& g,
                         const ContentSettings& settings, ContentPairs& pairs) {
  if (source.levels.empty() || reference.levels.empty()) return;
  const ContentLevel& sl = source.levels[0];
  const ContentLevel& rl = reference.levels[0];
  const std::vector<float> vs = variation(source), vr = variation(reference);
  std::vector<Candidate> candidates;
  const float inv = 1.0f / (g.scale * rl.factor);
  for (int32_t y = 0; y < sl.height; ++y) {
    const float v = ((float(y) + 0.5f) * sl.factor - g.ty) * inv - 0.5f;
    if (!(v >= 0.0f)) continue;
    const int32_t ry = int32_t(v);
    if (ry + 1 >= rl.height) continue;
    for (int32_t x = 0; x < sl.width; ++x) {
      const size_t p = size_t(y) * size_t(sl.width) + size_t(x);
      if (vs[p] < 0.0f) continue;
      const float u = ((float(x) + 0.5f) * sl.factor - g.tx) * inv - 0.5f;
      if (!(u >= 0.0f)) continue;
      const int32_t rx = int32_t(u);
      if (rx + 1 >= rl.width) continue;
      const size_t q = size_t(ry) * size_t(rl.width) + size_t(rx);
      const size_t corners[4] = {q, q + 1, q + size_t(rl.width), q + size_t(rl.width) + 1};
      float most = 0.0f;
      bool counted = true;
      for (size_t c : corners) {
        counted = counted && vr[c] >= 0.0f;
        most = std::max(most, vr[c]);
      }
      if (!counted) continue;
      candidates.push_back({x, y, rx, ry, u - float(rx), v - float(ry), vs[p], most});
    }
  }
  if (candidates.empty()) return;
  std::vector<float> all(candidates.size());
  for (size_t i = 0; i < candidates.size(); ++i) all[i] = candidates[i].vs;
  const float typicalS = std::max(medianOf(all), 1e-4f);
  for (size_t i = 0; i < candidates.size(); ++i) all[i] = candidates[i].vr;
  const float typicalR = std::max(medianOf(all), 1e-4f);
  for (size_t i = 0; i < candidates.size(); ++i)
    all[i] = std::max(candidates[i].vs / typicalS, candidates[i].vr / typicalR);
  std::vector<float> sorted = all;
  const size_t keep = std::min(sorted.size() - 1, size_t(double(sorted.size()) * double(settings.smoothShare)));
  std::nth_element(sorted.begin(), sorted.begin() + long(keep), sorted.end());
  const float limit = sorted[keep];
  int64_t smooth = 0;
  for (float a : all) smooth += a <= limit;
  const int64_t stride = std::max<int64_t>(1, (smooth + settings.maxPairs - 1) / std::max(1, settings.maxPairs));
  int64_t seen = 0;
  for (size_t i = 0; i < candidates.size(); ++i) {
    if (!(all[i] <= limit) || seen++ % stride != 0) continue;
    const Candidate& c = candidates[i];
    const size_t p = size_t(c.sy) * size_t(sl.width) + size_t(c.sx);
    const size_t q = size_t(c.ry) * size_t(rl.width) + size_t(c.rx);
    for (int k = 0; k < 3; ++k) {
      const std::vector<float>& r = reference.rgb[k];
      const float top = (1.0f - c.fx) * r[q] + c.fx * r[q + 1];
      const float bottom = (1.0f - c.fx) * r[q + size_t(rl.width)] + c.fx * r[q + size_t(rl.width) + 1];
      pairs.source[k].push_back(source.rgb[k][p]);
      pairs.reference[k].push_back((1.0f - c.fy) * top + c.fy * bottom);
    }
  }
}

}  // namespace engine

#include "imaging/frame_checks.h"

#include <algorithm>
#include <cmath>
#include <vector>

NonFiniteCount countNonFinite(const Image& image) {
  NonFiniteCount count;
  const size_t channels = size_t(image.channels);
  count.pixels = size_t(image.width) * size_t(image.height);
  if (channels < 3) return count;
  for (size_t i = 0; i < count.pixels; ++i) {
    const float* p = &image.pixels[i * channels];
    count.nonFinite += !(std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]));
  }
  return count;
}

std::vector<double> sharesAbove(const Image& image, const Conversion& toLinear, const std::vector<float>& levels) {
  const size_t pixels = size_t(image.width) * size_t(image.height), channels = size_t(image.channels);
  std::vector<size_t> above(levels.size(), 0);
  if (pixels == 0 || channels < 3) return std::vector<double>(levels.size(), 0.0);
  // A block at a time through a scratch buffer, so the frame itself is not copied.
  const size_t block = 4096;
  std::vector<float> scratch(block * channels);
  for (size_t start = 0; start < pixels; start += block) {
    const size_t n = std::min(block, pixels - start);
    std::copy_n(image.pixels.begin() + long(start * channels), n * channels, scratch.begin());
    toLinear.apply(scratch.data(), n, image.channels);
    for (size_t i = 0; i < n; ++i) {
      const float* p = &scratch[i * channels];
      if (!(std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]))) continue;
      const float largest = std::max({p[0], p[1], p[2]});
      for (size_t l = 0; l < levels.size(); ++l) above[l] += largest > levels[l];
    }
  }
  std::vector<double> shares;
  for (size_t count : above) shares.push_back(double(count) / double(pixels));
  return shares;
}

int highlightSpaceFor(const std::vector<double>& above) {
  if (above.size() < 2 || above[0] <= kHighlightShare) return -1;
  size_t narrowest = 0;
  while (narrowest + 2 < above.size() && above[narrowest + 1] > kHighlightShare) ++narrowest;
  return int(narrowest);
}

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

bool looksLogEncoded(const Image& image) {
  const size_t pixels = size_t(image.width) * size_t(image.height), channels = size_t(image.channels);
  if (channels < 3) return false;
  // Counts on a fine grid over -0.5..1.5, the values outside it in its end bins.
  constexpr int kBins = 4096;
  constexpr float kLow = -0.5f, kHigh = 1.5f;
  std::vector<size_t> bins(kBins, 0);
  size_t samples = 0, aboveOne = 0;
  for (size_t i = 0; i < pixels; ++i) {
    const float* p = &image.pixels[i * channels];
    if (!(std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]))) continue;
    for (int c = 0; c < 3; ++c) {
      const float v = std::min(std::max(p[c], kLow), kHigh);
      ++bins[std::min(kBins - 1, int((v - kLow) / (kHigh - kLow) * kBins))];
      aboveOne += p[c] > 1.0f;
    }
    samples += 3;
  }
  if (samples == 0 || double(aboveOne) > 0.001 * double(samples)) return false;
  // The value below which `share` of the samples lie.
  auto quantile = [&](double share) {
    const double wanted = share * double(samples);
    size_t count = 0;
    for (int b = 0; b < kBins; ++b)
      if (double(count += bins[size_t(b)]) >= wanted) return kLow + (b + 0.5f) * (kHigh - kLow) / kBins;
    return kHigh;
  };
  const float darkest = quantile(0.01), brightest = quantile(0.99);
  return darkest >= 0.06f && brightest <= 0.8f && brightest - darkest >= 0.1f;
}

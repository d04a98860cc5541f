// The pictures the registration works on: each image box-averaged to a working size, its lightness
// replaced by its rank among the image's counted pixels (so that any brightening, darkening or
// contrast curve of one picture leaves the ranks alone), and a pyramid of halves.
#include <algorithm>
#include <cmath>
#include <new>
#include <stdexcept>

#include "engine/engine_internal.h"
#include "engine/kernels.h"
#include "engine/matching_content.h"

namespace engine {

namespace {

// Mask weight of full-resolution pixel (x, y), as the statistics read it: below 0.5 it does not
// count.
float maskWeight(const MaskData* mask, int32_t width, int32_t height, int32_t x, int32_t y) {
  if (mask == nullptr || mask->pixels == nullptr) return 1.0f;
  const int32_t mx = maskCoordinate(mask->width, width, x);
  const int32_t my = maskCoordinate(mask->height, height, y);
  if (mx < 0 || my < 0 || mx >= mask->width || my >= mask->height) return 0.0f;
  const float* px = reinterpret_cast<const float*>(mask->pixels + int64_t(my) * mask->rowBytes);
  const float v = mask->components == 4   ? px[int64_t(mx) * 4 + 3]
                  : mask->components == 3 ? px[int64_t(mx) * 3]
                                          : px[mx];
  if (v < 0.5f) return 0.0f;
  return v < 1.0f ? v : 1.0f;
}

// Lightness ranks through a histogram of L8 in steps of 1/64 up to 1024 (linear light up to about
// 70), halves of ties shared: rank = (pixels below + (pixels equal - 1) / 2) / (counted - 1).
void rankLightness(const std::vector<float>& lightness, const std::vector<float>& weight, std::vector<float>& rank) {
  constexpr int32_t kBins = 65536;
  std::vector<int32_t> key(lightness.size());
  std::vector<int64_t> below(kBins + 1, 0);
  int64_t counted = 0;
  for (size_t i = 0; i < lightness.size(); ++i) {
    if (weight[i] <= 0.0f) continue;
    const float v = lightness[i] * 64.0f;
    key[i] = v > 0.0f ? (v < float(kBins - 1) ? int32_t(v) : kBins - 1) : 0;
    ++below[size_t(key[i]) + 1];
    ++counted;
  }
  for (int32_t b = 0; b < kBins; ++b) below[size_t(b) + 1] += below[size_t(b)];
  rank.assign(lightness.size(), 0.0f);
  if (counted < 2) {
    for (size_t i = 0; i < rank.size(); ++i) rank[i] = weight[i] > 0.0f ? 0.5f : 0.0f;
    return;
  }
  const double span = double(counted - 1);
  for (size_t i = 0; i < lightness.size(); ++i) {
    if (weight[i] <= 0.0f) continue;
    const int64_t lo = below[size_t(key[i])], equal = below[size_t(key[i]) + 1] - lo;
    rank[i] = float((double(lo) + double(equal - 1) * 0.5) / span);
  }
}

ContentLevel halve(const ContentLevel& in) {
  ContentLevel out;
  out.width = (in.width + 1) / 2;
  out.height = (in.height + 1) / 2;
  out.factor = in.factor * 2.0f;
  out.rank.assign(size_t(out.width) * size_t(out.height), 0.0f);
  out.weight.assign(out.rank.size(), 0.0f);
  for (int32_t y = 0; y < out.height; ++y)
    for (int32_t x = 0; x < out.width; ++x) {
      float sw = 0.0f, sr = 0.0f;
      int32_t cells = 0;
      for (int32_t dy = 0; dy < 2; ++dy)
        for (int32_t dx = 0; dx < 2; ++dx) {
          const int32_t ix = 2 * x + dx, iy = 2 * y + dy;
          if (ix >= in.width || iy >= in.height) continue;
          const size_t i = size_t(iy) * size_t(in.width) + size_t(ix);
          sw += in.weight[i];
          sr += in.rank[i] * in.weight[i];
          ++cells;
        }
      const size_t o = size_t(y) * size_t(out.width) + size_t(x);
      out.weight[o] = sw / float(cells);
      out.rank[o] = sw > 0.0f ? sr / sw : 0.0f;
    }
  return out;
}

}  // namespace

bool prepareContentImage(const ImageDesc& image, const MaskData* mask, const ContentSettings& settings,
                         KernelSet kernels, ContentImage& out) {
  out = ContentImage{};
  if (image.pixels == nullptr || image.width <= 0 || image.height <= 0) return true;
  try {
    const int32_t side = std::max(image.width, image.height);
    const int32_t f = std::max(1, (side + settings.baseSide - 1) / std::max(1, settings.baseSide));
    const int32_t w = (image.width + f - 1) / f, h = (image.height + f - 1) / f;
    out.fullWidth = image.width;
    out.fullHeight = image.height;
    ContentLevel base;
    base.width = w;
    base.height = h;
    base.factor = float(f);
    const size_t count = size_t(w) * size_t(h);
    for (auto& c : out.rgb) c.assign(count, 0.0f);
    base.weight.assign(count, 0.0f);
    // Box sums of the counted pixels, row by row of full pixels.
    std::vector<double> sum[3], weightSum(count, 0.0);
    for (auto& s : sum) s.assign(count, 0.0);
    std::vector<int32_t> boxPixels(count, 0);
    for (int32_t y = 0; y < image.height; ++y) {
      const float* row = reinterpret_cast<const float*>(image.pixels + int64_t(y) * image.rowBytes);
      const size_t boxRow = size_t(y / f) * size_t(w);
      for (int32_t x = 0; x < image.width; ++x) {
        const size_t b = boxRow + size_t(x / f);
        ++boxPixels[b];
        const float* px = row + int64_t(x) * 4;
        if (!std::isfinite(px[0]) || !std::isfinite(px[1]) || !std::isfinite(px[2])) continue;
        const float mw = maskWeight(mask, image.width, image.height, x, y);
        if (mw == 0.0f) continue;
        weightSum[b] += mw;
        for (int c = 0; c < 3; ++c) sum[c][b] += double(px[c] * mw);
      }
    }
    std::vector<float> mean[3];
    for (auto& m : mean) m.assign(count, 0.0f);
    for (size_t i = 0; i < count; ++i) {
      // A working pixel counts when at least half of its box does.
      if (!(weightSum[i] >= 0.5 * double(boxPixels[i]))) continue;
      base.weight[i] = 1.0f;
      ++out.counted;
      for (int c = 0; c < 3; ++c) {
        mean[c][i] = float(sum[c][i] / weightSum[i]);
        out.rgb[c][i] = clampUnit(mean[c][i]);
      }
    }
    out.lightness.assign(count, 0.0f);
    kernelsFor(kernels).lightness(mean[0].data(), mean[1].data(), mean[2].data(), out.lightness.data(), int64_t(count));
    rankLightness(out.lightness, base.weight, base.rank);

    out.sumRank.assign(size_t(w + 1) * size_t(h + 1), 0.0);
    out.sumW.assign(out.sumRank.size(), 0.0);
    for (int32_t y = 0; y < h; ++y) {
      double rowRank = 0.0, rowW = 0.0;
      for (int32_t x = 0; x < w; ++x) {
        const size_t i = size_t(y) * size_t(w) + size_t(x);
        rowRank += double(base.rank[i] * base.weight[i]);
        rowW += double(base.weight[i]);
        const size_t at = size_t(y + 1) * size_t(w + 1) + size_t(x + 1), above = at - size_t(w + 1);
        out.sumRank[at] = out.sumRank[above] + rowRank;
        out.sumW[at] = out.sumW[above] + rowW;
      }
    }
    out.levels.push_back(std::move(base));
    while (std::max(out.levels.back().width, out.levels.back().height) >= 32)
      out.levels.push_back(halve(out.levels.back()));
  } catch (const std::bad_alloc&) {
    out = ContentImage{};
    return false;
  } catch (const std::length_error&) {
    out = ContentImage{};
    return false;
  }
  return true;
}

}  // namespace engine

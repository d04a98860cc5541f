// Different Clips learnt from matching content: the registration finds known framings, the grade
// between two crops is learnt, and whatever cannot be trusted gives the statistical match.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "engine/engine.h"
#include "engine/matching_content.h"
#include "kernel_sets.h"
#include "photos.h"

namespace {

using engine::ContentDecision;
using engine::ContentFrame;
using engine::Registration;

// A monotone grade, as a camera's look might be.
void grade(const float in[3], float out[3]) {
  out[0] = 0.9f * std::pow(in[0], 0.8f) + 0.05f;
  out[1] = std::pow(in[1], 1.15f);
  out[2] = 0.8f * in[2] + 0.1f;
}

// w x h pixels of `photo` seen from (x0, y0) magnified `zoom` times, bilinear; graded when asked.
// Its pixel u lies at photo x0 + u / zoom.
FloatImage view(const FloatImage& photo, float x0, float y0, float zoom, int32_t w, int32_t h, bool graded) {
  FloatImage out;
  out.width = w;
  out.height = h;
  out.pixels.resize(size_t(w) * h * 4, 1.0f);
  for (int32_t j = 0; j < h; ++j)
    for (int32_t i = 0; i < w; ++i) {
      const float x = x0 + (float(i) + 0.5f) / zoom - 0.5f, y = y0 + (float(j) + 0.5f) / zoom - 0.5f;
      const int32_t xi = std::min(photo.width - 2, std::max(0, int32_t(x)));
      const int32_t yi = std::min(photo.height - 2, std::max(0, int32_t(y)));
      const float fx = x - float(xi), fy = y - float(yi);
      float rgb[3];
      for (int c = 0; c < 3; ++c) {
        auto at = [&](int32_t xx, int32_t yy) { return photo.pixels[(size_t(yy) * photo.width + xx) * 4 + c]; };
        rgb[c] = (1 - fy) * ((1 - fx) * at(xi, yi) + fx * at(xi + 1, yi)) +
                 fy * ((1 - fx) * at(xi, yi + 1) + fx * at(xi + 1, yi + 1));
      }
      float* px = &out.pixels[(size_t(j) * w + i) * 4];
      if (graded)
        grade(rgb, px);
      else
        std::copy(rgb, rgb + 3, px);
    }
  return out;
}

ImageDesc descOf(const FloatImage& im) { return {im.bytes(), im.width, im.height, im.rowBytes()}; }

struct Table {
  std::vector<float> values = std::vector<float>(size_t(kLutFloats), -1.0f);
  LUT3D lut{values.data(), kLutSize, false};
  bool operator==(const Table& o) const { return std::memcmp(values.data(), o.values.data(), values.size() * 4) == 0; }
};

Table contentTable(const FloatImage& s, const FloatImage& r, ContentDecision& d,
                   KernelSet kernels = preferredKernelSet(KernelFamily::Engine)) {
  Table t;
  const ContentFrame frame{descOf(s), nullptr, descOf(r), nullptr};
  EXPECT_TRUE(buildMatchLUT_MatchingContent(&frame, 1, t.lut, PreserveNothing, kernels, nullptr, &d));
  EXPECT_TRUE(t.lut.valid);
  return t;
}

Table statisticsTable(const FloatImage& s, const FloatImage& r) {
  Table t;
  ColorStats ss, rs;
  computeColorStats(s.bytes(), s.width, s.height, s.rowBytes(), Colorspace::Lab, ss, nullptr,
                    preferredKernelSet(KernelFamily::Engine));
  computeColorStats(r.bytes(), r.width, r.height, r.rowBytes(), Colorspace::Lab, rs, nullptr,
                    preferredKernelSet(KernelFamily::Engine));
  EXPECT_TRUE(buildMatchLUT_DifferentClips(ss, rs, t.lut, PreserveNothing, preferredKernelSet(KernelFamily::Engine)));
  return t;
}

// Mean absolute difference, over the pixels and channels, between the table applied to `in`
// (trilinear, as rendered) and `want`.
float tableError(const Table& t, const FloatImage& in, const FloatImage& want) {
  double sum = 0;
  const int32_t n = kLutSize;
  for (size_t i = 0; i < in.pixels.size(); i += 4) {
    int32_t c0[3];
    float f[3];
    for (int a = 0; a < 3; ++a) {
      const float x = std::min(1.0f, std::max(0.0f, in.pixels[i + a])) * float(n - 1);
      c0[a] = std::min(n - 2, int32_t(x));
      f[a] = x - float(c0[a]);
    }
    for (int c = 0; c < 3; ++c) {
      float v = 0;
      for (int k = 0; k < 8; ++k)
        v += ((k & 4) ? f[0] : 1 - f[0]) * ((k & 2) ? f[1] : 1 - f[1]) * ((k & 1) ? f[2] : 1 - f[2]) *
             t.values[size_t(lutOffset(n, c0[0] + (k >> 2 & 1), c0[1] + (k >> 1 & 1), c0[2] + (k & 1)) + c)];
      sum += std::fabs(v - std::min(1.0f, std::max(0.0f, want.pixels[i + c])));
    }
  }
  return float(sum / double(in.pixels.size() / 4 * 3));
}

const FloatImage& astronaut() {
  static const FloatImage photo = loadPhoto("astronaut.png");
  return photo;
}

}  // namespace

TEST(MatchingContent, KnownShiftsAndZoomsAreRecoveredWithinAPixel) {
  ASSERT_FALSE(astronaut().pixels.empty());
  const FloatImage source = view(astronaut(), 60, 80, 1.0f, 320, 240, false);
  struct Case {
    float x0, y0, zoom;
  };
  for (const Case& c : {Case{97, 41, 1.0f}, Case{12.5f, 150.25f, 1.0f}, Case{120, 70, 0.85f}, Case{20, 30, 1.2f}}) {
    SCOPED_TRACE(testing::Message() << c.x0 << ", " << c.y0 << " zoom " << c.zoom);
    const FloatImage reference = view(astronaut(), c.x0, c.y0, c.zoom, 320, 240, true);
    engine::ContentImage s, r;
    const engine::ContentSettings settings;
    ASSERT_TRUE(
        engine::prepareContentImage(descOf(source), nullptr, settings, preferredKernelSet(KernelFamily::Engine), s));
    ASSERT_TRUE(
        engine::prepareContentImage(descOf(reference), nullptr, settings, preferredKernelSet(KernelFamily::Engine), r));
    ContentDecision d;
    engine::registerContent(s, r, settings, nullptr, nullptr, d);
    EXPECT_TRUE(d.matched()) << engine::contentReasonText(d.reason);
    // Every corner of the Reference lands within a pixel of where it truly lies in the Source.
    const Registration truth{1.0f / c.zoom, c.x0 - 60.0f, c.y0 - 80.0f};
    for (float u : {0.0f, 320.0f})
      for (float v : {0.0f, 240.0f}) {
        EXPECT_NEAR(d.registration.scale * u + d.registration.tx, truth.scale * u + truth.tx, 1.0f);
        EXPECT_NEAR(d.registration.scale * v + d.registration.ty, truth.scale * v + truth.ty, 1.0f);
      }
  }
}

TEST(MatchingContent, TheGradeBetweenTwoCropsIsLearnt) {
  const FloatImage source = view(astronaut(), 40, 60, 1.0f, 360, 270, false);
  const FloatImage reference = view(astronaut(), 150, 160, 1.1f, 360, 270, true);
  FloatImage truth = source;
  for (size_t i = 0; i < truth.pixels.size(); i += 4) grade(&source.pixels[i], &truth.pixels[i]);
  ContentDecision d;
  const Table learnt = contentTable(source, reference, d);
  EXPECT_TRUE(d.matched()) << engine::contentReasonText(d.reason);
  EXPECT_GT(d.explained, 0.95f);
  const float error = tableError(learnt, source, truth);
  const float statistics = tableError(statisticsTable(source, reference), source, truth);
  EXPECT_LT(error, 0.012f);
  EXPECT_LT(error, 0.25f * statistics) << error << " against " << statistics;

  // Two frames, the second a little further on: it is found from the first one's framing, and
  // the pairs of both learn the same grade.
  const FloatImage later = view(astronaut(), 46, 57, 1.0f, 360, 270, false);
  const ContentFrame frames[2] = {{descOf(source), nullptr, descOf(reference), nullptr},
                                  {descOf(later), nullptr, descOf(reference), nullptr}};
  Table pooled;
  ContentDecision pd;
  ASSERT_TRUE(buildMatchLUT_MatchingContent(frames, 2, pooled.lut, PreserveNothing,
                                            preferredKernelSet(KernelFamily::Engine), nullptr, &pd));
  EXPECT_TRUE(pd.matched() && pd.tracked);
  EXPECT_NEAR(pd.registration.tx, 150.0f - 46.0f, 1.0f);
  EXPECT_LT(tableError(pooled, source, truth), 0.012f);
}

TEST(MatchingContent, TexturelessAndUnrelatedPicturesGetTheStatisticalMatch) {
  // A clear sky: a smooth gradient with a little noise fits many framings equally well.
  FloatImage sky;
  sky.width = 480;
  sky.height = 320;
  uint32_t seed = 12345;
  for (int32_t y = 0; y < sky.height; ++y)
    for (int32_t x = 0; x < sky.width; ++x) {
      seed = seed * 1664525u + 1013904223u;
      const float noise = float(seed >> 8) / float(1 << 24) * 0.004f;
      const float t = float(y) / float(sky.height);
      sky.pixels.insert(sky.pixels.end(), {0.3f + 0.2f * t + noise, 0.5f + 0.2f * t + noise, 0.9f + noise, 1.0f});
    }
  const FloatImage a = view(sky, 10, 10, 1.0f, 300, 200, false), b = view(sky, 120, 80, 1.0f, 300, 200, true);
  const FloatImage coffee = loadPhoto("coffee.png", 360, 240), rocket = loadPhoto("rocket.jpg", 360, 240);
  ASSERT_FALSE(coffee.pixels.empty());
  ASSERT_FALSE(rocket.pixels.empty());
  const FloatImage noPixels = view(coffee, 0, 0, 1.0f, 0, 0, false);
  for (auto [s, r] : {std::pair{&a, &b}, std::pair{&coffee, &rocket}, std::pair{&coffee, &noPixels}}) {
    ContentDecision d;
    const Table learnt = contentTable(*s, *r, d);
    EXPECT_FALSE(d.matched());
    EXPECT_TRUE(learnt == statisticsTable(*s, *r)) << engine::contentReasonText(d.reason);
  }
  // Masks are honoured: below one half everywhere they leave nothing to compare, and the
  // statistics of the same masked pictures are the result.
  const std::vector<float> low(size_t(coffee.width) * coffee.height, 0.4f);
  const MaskData mask{reinterpret_cast<const unsigned char*>(low.data()), coffee.width, coffee.height, coffee.width * 4,
                      1};
  const ContentFrame masked{descOf(coffee), &mask, descOf(coffee), &mask};
  Table learnt, statistics;
  ContentDecision d;
  ASSERT_TRUE(buildMatchLUT_MatchingContent(&masked, 1, learnt.lut, PreserveNothing,
                                            preferredKernelSet(KernelFamily::Engine), nullptr, &d));
  EXPECT_EQ(d.reason, engine::ContentReason::NoPixels);
  ColorStats ms;
  computeColorStats(coffee.bytes(), coffee.width, coffee.height, coffee.rowBytes(), Colorspace::Lab, ms, &mask,
                    preferredKernelSet(KernelFamily::Engine));
  ASSERT_TRUE(
      buildMatchLUT_DifferentClips(ms, ms, statistics.lut, PreserveNothing, preferredKernelSet(KernelFamily::Engine)));
  EXPECT_TRUE(learnt == statistics);
}

TEST(MatchingContent, EveryKernelSetGivesTheSameTable) {
  const FloatImage source = view(astronaut(), 40, 60, 1.0f, 360, 270, false);
  const FloatImage reference = view(astronaut(), 150, 160, 1.1f, 360, 270, true);
  ContentDecision d;
  const Table generic = contentTable(source, reference, d, KernelSet::Generic);
  ASSERT_TRUE(d.matched());
  forEachKernelSet([&](KernelSet set) { EXPECT_TRUE(contentTable(source, reference, d, set) == generic); });
}

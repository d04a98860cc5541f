#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "engine/engine.h"
#include "kernel_sets.h"
#include "literal_engine.h"
#include "photos.h"

namespace {

struct Lut {
  std::vector<float> storage;
  LUT3D lut;
  explicit Lut(int32_t n = kLutSize) : storage(size_t(n) * n * n * 3, -7.0f), lut{storage.data(), n, false} {}
  const float* at(int32_t r, int32_t g, int32_t b) const { return &storage[lutOffset(lut.size, r, g, b)]; }
};

const ColorStats kSource{{100.0f, 128.0f, 128.0f}, {50.0f, 10.0f, 10.0f}};
const ColorStats kReference{{150.0f, 128.0f, 128.0f}, {25.0f, 10.0f, 10.0f}};

Lut build(const ColorStats& s, const ColorStats& r, PreserveMode mode, int32_t n = kLutSize,
          KernelSet kernels = preferredKernelSet()) {
  Lut l(n);
  EXPECT_TRUE(buildMatchLUT_DifferentClips(s, r, l.lut, mode, kernels));
  EXPECT_TRUE(l.lut.valid);
  return l;
}

void expectGrey(const float* rgb, float v) {
  for (int c = 0; c < 3; ++c) EXPECT_NEAR(rgb[c], v, 1e-5f) << c;
}

void expectNearPlain(const Lut& fast, const ColorStats& s, const ColorStats& r, int32_t mode) {
  std::vector<float> plain;
  literal::buildDifferentClips(s, r, fast.lut.size, mode, plain);
  ASSERT_EQ(plain.size(), fast.storage.size());
  float worst = 0.0f;
  for (size_t i = 0; i < plain.size(); ++i) worst = std::max(worst, std::abs(plain[i] - fast.storage[i]));
  EXPECT_LE(worst, 1e-5f);
}

TEST(DifferentClipsLut, WorkedCornerValues) {
  for (PreserveMode mode : {PreserveNothing, PreserveColors}) {
    SCOPED_TRACE(mode);
    const Lut l = build(kSource, kReference, mode);
    expectGrey(l.at(0, 0, 0), 0.10785f);
    expectGrey(l.at(64, 64, 64), 0.74622f);
  }
  const Lut bright = build(kSource, kReference, PreserveBrightness);
  expectGrey(bright.at(0, 0, 0), 0.0f);
  expectGrey(bright.at(64, 64, 64), 1.0f);
}

TEST(DifferentClipsLut, UnknownPreserveValuesActAsNothing) {
  const Lut nothing = build(kSource, kReference, PreserveNothing);
  for (int32_t v : {7, -1, 3}) {
    const Lut other = build(kSource, kReference, PreserveMode(v));
    EXPECT_EQ(other.storage, nothing.storage) << v;
  }
}

TEST(DifferentClipsLut, EqualSummariesMapEveryColourToItself) {
  const Lut l = build(kSource, kSource, PreserveNothing);
  for (int32_t r = 0; r < 65; ++r)
    for (int32_t g = 0; g < 65; ++g)
      for (int32_t b = 0; b < 65; ++b) {
        const float* v = l.at(r, g, b);
        ASSERT_NEAR(v[0], r / 64.0f, 1e-4f);
        ASSERT_NEAR(v[1], g / 64.0f, 1e-4f);
        ASSERT_NEAR(v[2], b / 64.0f, 1e-4f);
      }
}

TEST(DifferentClipsLut, ReferenceWithoutDataTurnsEverythingDarkBlue) {
  const ColorStats noData{{0.5f, 0.5f, 0.5f}, {0.25f, 0.25f, 0.25f}};
  const Lut l = build(kSource, noData, PreserveNothing);
  for (size_t i = 0; i < l.storage.size(); i += 3) {
    ASSERT_EQ(l.storage[i], 0.0f);
    ASSERT_LT(l.storage[i + 1], 0.06f);
    ASSERT_GT(l.storage[i + 2], 4.0f * l.storage[i + 1]);
    ASSERT_LT(l.storage[i + 2], 0.56f);
  }
}

// A warm Reference: greys stay grey when colours are preserved, and keep their lightness when
// brightness is (near white the warm colour leaves the gamut and the clamp takes lightness).
// Shell points only, since smoothing mixes in non-grey neighbours.
TEST(DifferentClipsLut, PreserveModesKeepTheirComponent) {
  const ColorStats tinted{{150.0f, 140.0f, 140.0f}, {25.0f, 10.0f, 10.0f}};
  const Lut nothing = build(kSource, tinted, PreserveNothing);
  const Lut colors = build(kSource, tinted, PreserveColors);
  const Lut bright = build(kSource, tinted, PreserveBrightness);
  for (int32_t i : {1, 3, 4}) {
    SCOPED_TRACE(i);
    const float* n = nothing.at(i, i, i);
    EXPECT_GT(n[0] - n[2], 0.02f);  // the full match is tinted warm
    const float* c = colors.at(i, i, i);
    EXPECT_NEAR(c[0], c[1], 2e-4f);
    EXPECT_NEAR(c[1], c[2], 2e-4f);
    float inL, ia, ib, outL, oa, ob;
    rgbToLab8(i / 64.0f, i / 64.0f, i / 64.0f, inL, ia, ib);
    const float* b = bright.at(i, i, i);
    rgbToLab8(b[0], b[1], b[2], outL, oa, ob);
    EXPECT_NEAR(outL, inL, 1e-3f);
    EXPECT_NEAR(oa, 140.0f, 1e-2f);
    EXPECT_NEAR(ob, 140.0f, 1e-2f);
  }
}

TEST(DifferentClipsLut, ShellKeepsPerPointValuesAndInteriorAveragesBlocks) {
  const ColorStats tinted{{150.0f, 140.0f, 110.0f}, {25.0f, 12.0f, 9.0f}};
  for (PreserveMode mode : {PreserveNothing, PreserveBrightness, PreserveColors}) {
    SCOPED_TRACE(mode);
    const Lut l = build(kSource, tinted, mode);
    std::vector<float> perPoint;
    literal::transferLattice(kSource, tinted, 65, mode, perPoint);
    for (int32_t r = 0; r < 65; ++r) {
      for (int32_t g = 0; g < 65; ++g) {
        for (int32_t b = 0; b < 65; ++b) {
          if (r >= 5 && r <= 59 && g >= 5 && g <= 59 && b >= 5 && b <= 59) continue;
          const int64_t o = lutOffset(65, r, g, b);
          for (int c = 0; c < 3; ++c) ASSERT_EQ(l.storage[o + c], perPoint[o + c]) << r << " " << g << " " << b;
        }
      }
    }
    for (int c = 0; c < 3; ++c) {
      double sum = 0.0;
      for (int32_t r = 0; r <= 10; ++r)
        for (int32_t g = 0; g <= 10; ++g)
          for (int32_t b = 0; b <= 10; ++b) sum += perPoint[lutOffset(65, r, g, b) + c];
      EXPECT_NEAR(l.at(5, 5, 5)[c], sum / 1331.0, 2e-6);
    }
  }
}

TEST(DifferentClipsLut, AgreesWithThePlainBuilderOnRandomSummaries) {
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> mean(20.0f, 235.0f), dev(2.0f, 60.0f);
  for (int round = 0; round < 12; ++round) {
    const ColorStats s{{mean(rng), mean(rng), mean(rng)}, {dev(rng), dev(rng), dev(rng)}};
    const ColorStats r{{mean(rng), mean(rng), mean(rng)}, {dev(rng), dev(rng), dev(rng)}};
    SCOPED_TRACE(round);
    expectNearPlain(build(s, r, PreserveMode(round % 3), 14), s, r, round % 3);
  }
  const ColorStats s{{mean(rng), mean(rng), mean(rng)}, {dev(rng), dev(rng), dev(rng)}};
  const ColorStats r{{mean(rng), mean(rng), mean(rng)}, {dev(rng), dev(rng), dev(rng)}};
  expectNearPlain(build(s, r, PreserveColors), s, r, PreserveColors);
}

TEST(DifferentClipsLut, AgreesWithThePlainBuilderOnPhotographs) {
  const FloatImage source = loadPhoto("rocket.jpg", 1920, 1080);
  const FloatImage reference = loadPhoto("coffee.png", 1920, 1080);
  ASSERT_EQ(source.width, 1920);
  ASSERT_EQ(reference.width, 1920);
  ColorStats s, r;
  computeColorStats(source.bytes(), 1920, 1080, source.rowBytes(), Colorspace::Lab, s, nullptr, preferredKernelSet());
  computeColorStats(reference.bytes(), 1920, 1080, reference.rowBytes(), Colorspace::Lab, r, nullptr,
                    preferredKernelSet());
  for (PreserveMode mode : {PreserveNothing, PreserveBrightness, PreserveColors}) {
    SCOPED_TRACE(mode);
    expectNearPlain(build(s, r, mode), s, r, mode);
  }
}

// Summaries of pictures holding NaN or infinities carry them into the transfer: the Lab8 clamp
// must turn NaN into 255 and the finished LUT must hold only values in [0, 1], as the plain
// builder gives them.
TEST(DifferentClipsLut, NonFiniteSummariesFollowTheClampRules) {
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  const ColorStats cases[][2] = {
      {{{nan, 128.0f, 128.0f}, {50.0f, 10.0f, 10.0f}}, kReference},
      {kSource, {{150.0f, nan, 128.0f}, {25.0f, 10.0f, nan}}},
      {{{100.0f, 128.0f, 128.0f}, {inf, 10.0f, 0.000001f}}, {{150.0f, -inf, 128.0f}, {25.0f, 10.0f, 10.0f}}},
  };
  for (const auto& c : cases) {
    for (PreserveMode mode : {PreserveNothing, PreserveBrightness, PreserveColors}) {
      SCOPED_TRACE(mode);
      const Lut l = build(c[0], c[1], mode, 14);
      for (float v : l.storage) ASSERT_TRUE(v >= 0.0f && v <= 1.0f) << v;
      expectNearPlain(l, c[0], c[1], mode);
    }
  }
}

float stretchLimit(float sourceDeviation) { return 1.0f + std::pow(sourceDeviation / kStretchDeviation, 2.0f); }

// Where the Source barely varies (a flat frame, the a8 and b8 of a grey ramp) the ratio of the
// deviations is rounding noise: the Source deviation is raised until the stretch is
// 1 + (deviation / kStretchDeviation)^2. The plain builder does the same.
TEST(DifferentClipsLut, BarelyVaryingComponentsAreStretchedOnlySoFar) {
  for (float s : {0.000001f, 0.01f, 0.02f, 0.5f, 4.0f}) {
    SCOPED_TRACE(s);
    const float most = stretchLimit(s);
    EXPECT_EQ(limitedSourceDeviation(s, 0.99f * most * s), s);
    const float raised = limitedSourceDeviation(s, 1.01f * most * s);
    EXPECT_NEAR(1.01f * most * s / raised, most, most * 1e-5f);
  }
  const ColorStats tinted{{150.0f, 140.0f, 110.0f}, {25.0f, 12.0f, 9.0f}};
  const ColorStats ramp{{132.0f, 128.0f, 128.0f}, {75.0f, 0.000014f, 0.00001f}};
  const ColorStats flat{{140.0f, 121.0f, 133.0f}, {0.000001f, 0.000001f, 0.000001f}};
  for (const ColorStats& s : {ramp, flat}) {
    for (PreserveMode mode : {PreserveNothing, PreserveBrightness, PreserveColors}) {
      SCOPED_TRACE(mode);
      expectNearPlain(build(s, tinted, mode, 14), s, tinted, mode);
    }
  }
}

// Photographs vary too much for the limit: each of them matched to any other stretches every
// component at most half as far as the limit allows, so their matches are what they always were.
TEST(DifferentClipsLut, PhotographsStayClearOfTheStretchLimit) {
  std::vector<ColorStats> stats;
  for (const char* name : {"astronaut.png", "chelsea.png", "coffee.png", "rocket.jpg"}) {
    const FloatImage p = loadPhoto(name, 640, 480);
    ASSERT_EQ(p.width, 640) << name;
    stats.emplace_back();
    computeColorStats(p.bytes(), p.width, p.height, p.rowBytes(), Colorspace::Lab, stats.back(), nullptr,
                      preferredKernelSet());
  }
  for (const ColorStats& s : stats)
    for (const ColorStats& r : stats)
      for (int c = 0; c < 3; ++c) EXPECT_LE(r.stdDev[c] / s.stdDev[c], 0.5f * stretchLimit(s.stdDev[c])) << c;
}

TEST(DifferentClipsLut, EveryKernelSetBuildsTheSameLut) {
  const ColorStats tinted{{150.0f, 140.0f, 110.0f}, {25.0f, 12.0f, 9.0f}};
  for (PreserveMode mode : {PreserveNothing, PreserveBrightness, PreserveColors}) {
    const Lut best = build(kSource, tinted, mode);
    forEachKernelSet([&](KernelSet k) { EXPECT_EQ(build(kSource, tinted, mode, kLutSize, k).storage, best.storage); });
  }
}

TEST(DifferentClipsLut, RefusesALatticeWithoutStorage) {
  LUT3D none{nullptr, 65, true};
  EXPECT_FALSE(buildMatchLUT_DifferentClips(kSource, kReference, none, PreserveNothing, preferredKernelSet()));
  EXPECT_FALSE(none.valid);
  float one[3] = {0, 0, 0};
  LUT3D tiny{one, 1, true};
  EXPECT_FALSE(buildMatchLUT_DifferentClips(kSource, kReference, tiny, PreserveNothing, preferredKernelSet()));
  EXPECT_FALSE(tiny.valid);
  EXPECT_EQ(one[0], 0.0f);
  LUT3D absurd{one, 1 << 30, true};  // its float count would not fit 64 bits
  EXPECT_FALSE(buildMatchLUT_DifferentClips(kSource, kReference, absurd, PreserveNothing, preferredKernelSet()));
  EXPECT_FALSE(absurd.valid);
}

}  // namespace

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include <algorithm>
#include <vector>

#include "engine/engine.h"
#include "engine/engine_internal.h"
#include "kernel_sets.h"
#include "literal_engine.h"

namespace {

bool sameBits(float a, float b) { return std::memcmp(&a, &b, sizeof(float)) == 0; }

TEST(Lab8, BlackWhiteAndMidGrey) {
  float L, a, b;
  rgbToLab8(0.0f, 0.0f, 0.0f, L, a, b);
  EXPECT_EQ(L, 0.0f);  // 116 * 0.13793103 - 16 is exactly 0 in single precision
  EXPECT_EQ(a, 128.0f);
  EXPECT_EQ(b, 128.0f);

  rgbToLab8(1.0f, 1.0f, 1.0f, L, a, b);
  EXPECT_NEAR(L, 255.0f, 1e-3f);
  EXPECT_NEAR(a, 128.0f, 1e-2f);
  EXPECT_NEAR(b, 128.0f, 1e-2f);

  rgbToLab8(0.18f, 0.18f, 0.18f, L, a, b);
  EXPECT_NEAR(L, 126.215f, 1e-3f);
}

TEST(Lab8, NegativeLuminanceTakesTheLinearBranch) {
  float L, a, b;
  rgbToLab8(-0.1f, -0.1f, -0.1f, L, a, b);
  const float y = 0.2126729f * -0.1f + 0.7151522f * -0.1f + 0.072175f * -0.1f;
  EXPECT_FLOAT_EQ(L, (116.0f * (y / 0.12841856f + 0.13793103f) - 16.0f) * 255.0f / 100.0f);
  EXPECT_LT(L, 0.0f);
}

TEST(Lab8, InverseClampsWithNaNToOneAndNegativeZeroToPositiveZero) {
  float r, g, b;
  lab8ToRgb(0.0f, 128.0f, 128.0f, r, g, b);
  EXPECT_TRUE(sameBits(r, 0.0f) && sameBits(g, 0.0f) && sameBits(b, 0.0f));

  lab8ToRgb(std::numeric_limits<float>::quiet_NaN(), 128.0f, 128.0f, r, g, b);
  EXPECT_EQ(r, 1.0f);
  EXPECT_EQ(g, 1.0f);
  EXPECT_EQ(b, 1.0f);

  lab8ToRgb(400.0f, 128.0f, 128.0f, r, g, b);  // far above white
  EXPECT_EQ(r, 1.0f);
  lab8ToRgb(-50.0f, 128.0f, 128.0f, r, g, b);  // below black
  EXPECT_TRUE(sameBits(r, 0.0f));
}

TEST(Lab8, RoundTripsInGamutColours) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> unit(0.02f, 0.98f);
  for (int i = 0; i < 2000; ++i) {
    const float in[3] = {unit(rng), unit(rng), unit(rng)};
    float lab[3], out[3];
    rgbToLab8(in[0], in[1], in[2], lab[0], lab[1], lab[2]);
    lab8ToRgb(lab[0], lab[1], lab[2], out[0], out[1], out[2]);
    for (int c = 0; c < 3; ++c) ASSERT_NEAR(out[c], in[c], 2e-5f);
  }
}

// The builders rely on these conversions being exactly the plain powf formulas.
TEST(Lab8, BitIdenticalToThePlainFormulas) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> wide(-0.5f, 1.5f);
  std::uniform_real_distribution<float> lab(-20.0f, 280.0f);
  for (int i = 0; i < 200000; ++i) {
    const float r = wide(rng), g = wide(rng), b = wide(rng);
    float mine[3], ref[3];
    rgbToLab8(r, g, b, mine[0], mine[1], mine[2]);
    literal::rgbToLab8(r, g, b, ref);
    for (int c = 0; c < 3; ++c) ASSERT_TRUE(sameBits(mine[c], ref[c])) << r << " " << g << " " << b;

    const float in[3] = {lab(rng), lab(rng), lab(rng)};
    lab8ToRgb(in[0], in[1], in[2], mine[0], mine[1], mine[2]);
    literal::lab8ToRgb(in, ref);
    for (int c = 0; c < 3; ++c) ASSERT_TRUE(sameBits(mine[c], ref[c]));
  }
}

}  // namespace

namespace {

// The vector cube root must be powf itself on every float the builders can hand it: each
// float of (0.008856452, 2] (clamped colours never give more than about 1.0001).
TEST(Lab8Vector, CubeRootIsPowfOnEveryFloatOfTheRange) {
  const float lowest = std::nextafter(0.008856452f, 1.0f);
  uint32_t first, last;
  const float two = 2.0f;
  std::memcpy(&first, &lowest, 4);
  std::memcpy(&last, &two, 4);
  std::vector<float> t(1 << 20), expected(t.size()), got(t.size());
  for (uint32_t start = first; start <= last; start += uint32_t(t.size())) {
    const uint32_t count = std::min<uint32_t>(uint32_t(t.size()), last - start + 1);
    for (uint32_t k = 0; k < count; ++k) {
      const uint32_t bits = start + k;
      std::memcpy(&t[k], &bits, 4);
      expected[k] = powf(t[k], 0.33333334f);
    }
    forEachKernelSet([&](KernelSet k) {
      engine::labFBatch(k, t.data(), got.data(), count);
      ASSERT_EQ(std::memcmp(got.data(), expected.data(), count * sizeof(float)), 0) << start;
    });
  }
}

TEST(Lab8Vector, BatchesEqualTheScalarConversions) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> wide(-0.5f, 3.0f), lab(-20.0f, 280.0f);
  const int n = 40007;  // not a multiple of any lane count
  std::vector<float> in[3], out[3], expected[3];
  for (int c = 0; c < 3; ++c) {
    in[c].resize(n);
    out[c].resize(n);
    expected[c].resize(n);
  }
  for (int i = 0; i < n; ++i) {
    for (int c = 0; c < 3; ++c) in[c][i] = wide(rng);
    if (i % 97 == 0) in[i % 3][i] = std::numeric_limits<float>::quiet_NaN();
    if (i % 89 == 0) in[i % 3][i] = std::numeric_limits<float>::infinity();
    if (i % 83 == 0) in[i % 3][i] = -0.0f;
    rgbToLab8(in[0][i], in[1][i], in[2][i], expected[0][i], expected[1][i], expected[2][i]);
  }
  forEachKernelSet([&](KernelSet k) {
    engine::rgbToLab8Batch(k, in[0].data(), in[1].data(), in[2].data(), out[0].data(), out[1].data(), out[2].data(), n);
    for (int c = 0; c < 3; ++c) ASSERT_EQ(std::memcmp(out[c].data(), expected[c].data(), n * sizeof(float)), 0);
  });

  for (int i = 0; i < n; ++i) {
    for (int c = 0; c < 3; ++c) in[c][i] = lab(rng);
    if (i % 97 == 0) in[i % 3][i] = std::numeric_limits<float>::quiet_NaN();
    lab8ToRgb(in[0][i], in[1][i], in[2][i], expected[0][i], expected[1][i], expected[2][i]);
  }
  forEachKernelSet([&](KernelSet k) {
    engine::lab8ToRgbBatch(k, in[0].data(), in[1].data(), in[2].data(), out[0].data(), out[1].data(), out[2].data(), n);
    for (int c = 0; c < 3; ++c) ASSERT_EQ(std::memcmp(out[c].data(), expected[c].data(), n * sizeof(float)), 0);
  });
}

}  // namespace

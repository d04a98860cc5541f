#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "engine/engine.h"
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

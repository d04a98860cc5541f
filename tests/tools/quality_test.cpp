#include "quality.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

Image solid(int w, int h, float r, float g, float b) {
  Image image;
  image.width = w;
  image.height = h;
  image.pixels.resize(size_t(w) * size_t(h) * 4);
  for (size_t i = 0; i < image.pixels.size(); i += 4) {
    image.pixels[i] = r;
    image.pixels[i + 1] = g;
    image.pixels[i + 2] = b;
    image.pixels[i + 3] = 1.0f;
  }
  return image;
}

}  // namespace

TEST(Quality, LabOfLinearSrgbAnchors) {
  const float px[] = {1, 1, 1, 1, 0, 0, 0, 1, 0.18f, 0.18f, 0.18f, 1};
  const std::vector<float> lab = linearToLab(px, 3, 4);
  EXPECT_NEAR(lab[0], 100.0, 0.01);
  EXPECT_NEAR(lab[1], 0.0, 0.01);
  EXPECT_NEAR(lab[2], 0.0, 0.01);
  EXPECT_NEAR(lab[3], 0.0, 0.01);
  EXPECT_NEAR(lab[6], 49.496, 0.01);  // 18% grey
  EXPECT_NEAR(lab[7], 0.0, 0.01);
}

TEST(Quality, DeltaE2000MatchesPublishedPairs) {
  // Pairs from the CIEDE2000 test data set of Sharma, Wu and Dalal.
  const float a1[] = {50, 2.6772f, -79.7751f}, b1[] = {50, 0, -82.7485f};
  const float a2[] = {50, 2.5f, 0}, b2[] = {73, 25, -18};
  const float a3[] = {2.0776f, 0.0795f, -1.135f}, b3[] = {0.9033f, -0.0636f, -0.5514f};
  EXPECT_NEAR(deltaE2000(a1, b1), 2.0425, 1e-4);
  EXPECT_NEAR(deltaE2000(a2, b2), 27.1492, 1e-4);
  EXPECT_NEAR(deltaE2000(a3, b3), 0.9082, 1e-4);
}

TEST(Quality, PixelsPairFromTheLowerLeftAndSkipNonFinite) {
  // b is taller: its extra top row must not be compared.
  Image a = solid(2, 2, 0.5f, 0.5f, 0.5f);
  Image b = solid(3, 3, 0.5f, 0.5f, 0.5f);
  for (int x = 0; x < 3; ++x) b.pixels[size_t(x) * 4] = 1.0f;  // top row of b, in file order
  PixelDeltaE same = comparePixels(a, b);
  EXPECT_EQ(same.width, 2);
  EXPECT_EQ(same.height, 2);
  EXPECT_EQ(same.count, 4u);
  EXPECT_DOUBLE_EQ(same.mean, 0.0);

  // One bad pixel in four: the 95th percentile is that pixel, the mean a quarter of it; a NaN is left out.
  Image c = a;
  c.pixels[size_t(2 + 1) * 4 + 0] = 0.0f;  // lower right
  c.pixels[0] = std::numeric_limits<float>::quiet_NaN();
  PixelDeltaE d = comparePixels(c, a);
  EXPECT_EQ(d.count, 3u);
  EXPECT_GT(d.p95, 10.0);
  EXPECT_NEAR(d.mean, d.p95 / 3.0, 1e-9);
}

TEST(Quality, SpreadsCompareMeanColourAndDeviation) {
  Image flat = solid(4, 4, 0.2f, 0.2f, 0.2f);
  Image twoTone = flat;
  for (size_t i = 0; i < twoTone.pixels.size() / 2; i += 4)
    twoTone.pixels[i] = twoTone.pixels[i + 1] = twoTone.pixels[i + 2] = 0.6f;
  SpreadDeltaE self = compareSpreads(flat, flat);
  EXPECT_DOUBLE_EQ(self.meanColorDeltaE, 0.0);
  EXPECT_DOUBLE_EQ(self.stdDevDistance, 0.0);
  SpreadDeltaE other = compareSpreads(flat, twoTone);
  EXPECT_GT(other.meanColorDeltaE, 5.0);
  EXPECT_GT(other.stdDevDifference[0], 5.0);  // lightness spread
  EXPECT_NEAR(other.stdDevDifference[1], 0.0, 0.05);
  EXPECT_NEAR(other.stdDevDistance,
              std::sqrt(other.stdDevDifference[0] * other.stdDevDifference[0] +
                        other.stdDevDifference[1] * other.stdDevDifference[1] +
                        other.stdDevDifference[2] * other.stdDevDifference[2]),
              1e-12);
}

// Images meet where a host places them: a Reference holding the right half of the Source,
// placed over it, compares equal there and only there.
TEST(Quality, SameFrameComparesThePixelsThatShareACanvasPlace) {
  Image source = solid(4, 2, 0.2f, 0.4f, 0.6f);
  for (int row = 0; row < 2; ++row) source.pixels[size_t(row * 4 + 3) * 4] = 0.9f;  // a red right column
  Image right = solid(2, 2, 0.2f, 0.4f, 0.6f);
  for (int row = 0; row < 2; ++row) right.pixels[size_t(row * 2 + 1) * 4] = 0.9f;
  right.x = 2;
  right.fullWidth = 4;
  right.fullHeight = 2;
  const PixelDeltaE placed = comparePixels(source, right);
  EXPECT_EQ(placed.width, 2);
  EXPECT_EQ(placed.count, 4u);
  EXPECT_EQ(placed.mean, 0.0);
  right.x = 0;
  EXPECT_GT(comparePixels(source, right).mean, 1.0) << "at the origin the columns no longer line up";
}

TEST(Quality, MaskWeightsFollowThePlugInsStretchAndSampling) {
  Image mask;
  mask.width = 2;
  mask.height = 2;
  mask.channels = 1;
  mask.pixels = {0.4f, 1.5f, 0.75f, 0.0f};  // rows top down
  const PixelWeights w = maskWeights(mask, 4, 2);
  EXPECT_EQ(w, (PixelWeights{0, 0, 1, 1, 0.75f, 0.75f, 0, 0}));

  // One selected pixel between the grid's samples is not seen; one on the grid is.
  PixelWeights spot(1000 * 1000, 0.0f);
  spot[size_t(999 - 5) * 1000 + 5] = 1.0f;
  EXPECT_FALSE(maskSelectsSamples(spot, 1000, 1000));
  spot[size_t(999 - 10) * 1000 + 10] = 1.0f;
  EXPECT_TRUE(maskSelectsSamples(spot, 1000, 1000));
}

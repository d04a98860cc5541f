#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "engine/engine.h"

// Every reader and writer of the lattice relies on this layout; the exporters convert from it.
TEST(Lut3d, LayoutRedSlowestBlueFastest) {
  EXPECT_EQ(lutOffset(kLutSize, 0, 0, 0), 0);
  EXPECT_EQ(lutOffset(kLutSize, 64, 64, 64), 823872);
  EXPECT_EQ(lutOffset(kLutSize, 64, 0, 0), 270400 * 3);
  EXPECT_EQ(lutOffset(kLutSize, 32, 32, 32), 137312 * 3);
  EXPECT_EQ(lutOffset(kLutSize, 0, 0, 1), 3);
  EXPECT_EQ(lutOffset(kLutSize, 0, 1, 0), 65 * 3);
  EXPECT_EQ(lutOffset(kLutSize, 1, 0, 0), 65 * 65 * 3);
  EXPECT_EQ(kLutFloats, 823875);
  EXPECT_EQ(kLutFloats * int64_t(sizeof(float)), 3295500);
}

TEST(Lut3d, EveryPointHasItsOwnTriple) {
  std::vector<int> hits(kLutFloats / 3, 0);
  for (int r = 0; r < kLutSize; ++r)
    for (int g = 0; g < kLutSize; ++g)
      for (int b = 0; b < kLutSize; ++b) {
        int64_t offset = lutOffset(kLutSize, r, g, b);
        ASSERT_EQ(offset % 3, 0);
        ASSERT_LT(offset / 3, int64_t(hits.size()));
        ++hits[offset / 3];
      }
  for (int h : hits) ASSERT_EQ(h, 1);
}

TEST(Lut3d, CoordinatesSpanZeroToOneExactly) {
  EXPECT_EQ(latticeCoordinate(0, kLutSize), 0.0f);
  EXPECT_EQ(latticeCoordinate(64, kLutSize), 1.0f);
  EXPECT_EQ(latticeCoordinate(32, kLutSize), 0.5f);
  EXPECT_EQ(latticeCoordinate(1, kLutSize), 1.0f / 64.0f);
  EXPECT_EQ(latticeCoordinate(1, 2), 1.0f);

  float identity[3];
  lutIdentityValue(kLutSize, 64, 0, 32, identity);
  EXPECT_EQ(identity[0], 1.0f);
  EXPECT_EQ(identity[1], 0.0f);
  EXPECT_EQ(identity[2], 0.5f);
  lutIdentityValue(kLutSize, 3, 5, 7, identity);
  EXPECT_EQ(identity[0], 3.0f / 64.0f);
  EXPECT_EQ(identity[1], 5.0f / 64.0f);
  EXPECT_EQ(identity[2], 7.0f / 64.0f);
}

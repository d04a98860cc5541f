#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "host_testing.h"

using namespace ofxhost;

namespace {

// A 3x2 gradient with distinct values per pixel and channel, all inside 0..1.
std::vector<float> gradient(int w, int h) {
  std::vector<float> v;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < 4; ++c) v.push_back((y * w * 4 + x * 4 + c + 1) / 32.0f);
  return v;
}

TEST(Images, RoundTripEveryDepthAndLayout) {
  const OfxRectI bounds{10, -5, 13, -3};
  const auto rgba = gradient(3, 2);
  for (PixelDepth depth : {PixelDepth::Byte, PixelDepth::Short, PixelDepth::Half, PixelDepth::Float})
    for (bool negative : {false, true})
      for (int padding : {0, 12}) {
        ImageLayout layout{depth, Components::RGBA, negative, padding};
        auto img = makeImage(rgba, bounds, layout);
        ASSERT_NE(img, nullptr);
        const auto back = readImageRGBA(*img);
        ASSERT_EQ(back.size(), rgba.size());
        const float tol = depth == PixelDepth::Byte    ? 0.5f / 255 + 1e-6f
                          : depth == PixelDepth::Short ? 0.5f / 65535 + 1e-7f
                          : depth == PixelDepth::Half  ? 1e-3f
                                                       : 0.0f;
        for (size_t k = 0; k < rgba.size(); ++k)
          ASSERT_NEAR(back[k], rgba[k], tol) << depthName(depth) << " negative=" << negative << " at " << k;
      }
}

TEST(Images, NegativeRowBytesPutsRowsBackwards) {
  const auto rgba = gradient(2, 3);
  auto img = makeImage(rgba, {0, 0, 2, 3}, {PixelDepth::Float, Components::RGBA, true, 0});
  ASSERT_NE(img, nullptr);
  EXPECT_EQ(img->rowBytes, -32);
  // data is the bottom row, which sits last in memory.
  EXPECT_EQ(static_cast<unsigned char*>(img->data), img->storage.data() + 64);
  float first;
  std::memcpy(&first, img->storage.data(), 4);
  EXPECT_EQ(first, rgba[2 * 2 * 4]) << "the top row comes first in memory";
}

TEST(Images, ComponentsRGBAndAlpha) {
  const auto rgba = gradient(2, 1);
  auto rgb = makeImage(rgba, {0, 0, 2, 1}, {PixelDepth::Float, Components::RGB, false, 0});
  ASSERT_NE(rgb, nullptr);
  EXPECT_EQ(rgb->rowBytes, 24);
  auto back = readImageRGBA(*rgb);
  EXPECT_EQ(back[4], rgba[4]);
  EXPECT_EQ(back[7], 1.0f) << "RGB reads back opaque";

  auto alpha = makeImage(rgba, {0, 0, 2, 1}, {PixelDepth::Byte, Components::Alpha, false, 0});
  ASSERT_NE(alpha, nullptr);
  EXPECT_EQ(alpha->rowBytes, 2);
  back = readImageRGBA(*alpha);
  EXPECT_NEAR(back[4], rgba[7], 0.5f / 255 + 1e-6f);
  EXPECT_EQ(back[4], back[7]);
}

TEST(Images, IntegerDepthsClampOutOfRange) {
  std::vector<float> v = {-1.0f, 2.0f, 0.5f, std::nanf("")};
  auto img = makeImage(v, {0, 0, 1, 1}, {PixelDepth::Short, Components::RGBA, false, 0});
  ASSERT_NE(img, nullptr);
  auto back = readImageRGBA(*img);
  EXPECT_EQ(back[0], 0.0f);
  EXPECT_EQ(back[1], 1.0f);
  EXPECT_NEAR(back[2], 0.5f, 1e-4f);
  EXPECT_EQ(back[3], 0.0f);
}

TEST(Images, RejectsBadShapes) {
  EXPECT_EQ(makeImage(gradient(2, 2), {0, 0, 2, 3}), nullptr) << "pixel count mismatch";
  EXPECT_EQ(makeBlankImage({0, 0, 0, 4}), nullptr);
  EXPECT_EQ(makeBlankImage({5, 0, 2, 4}), nullptr);
  EXPECT_EQ(makeBlankImage({0, 0, 1 << 30, 1 << 30}), nullptr) << "overflowing size";
  EXPECT_EQ(depthFromName("OfxBitDepthNone"), std::nullopt);
  EXPECT_EQ(componentsFromName(kOfxImageComponentRGB), Components::RGB);
}

}  // namespace

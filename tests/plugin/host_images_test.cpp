// The host's names for pixel depths and component sets, as the plug-in reads them.
#include "plugin/host_images.h"

#include <gtest/gtest.h>

TEST(PixelFormat, NamesMapToDepthsAndComponentCounts) {
  EXPECT_EQ(pixelDepthFromName("OfxBitDepthFloat"), PixelDepth::Float);
  EXPECT_EQ(pixelDepthFromName("OfxBitDepthShort"), PixelDepth::Short);
  EXPECT_EQ(pixelDepthFromName("OfxBitDepthByte"), PixelDepth::Byte);
  EXPECT_EQ(pixelDepthFromName("OfxBitDepthHalf"), PixelDepth::Unsupported);
  EXPECT_EQ(pixelDepthFromName("ofxbitdepthfloat"), PixelDepth::Unsupported);
  EXPECT_EQ(pixelDepthFromName(nullptr), PixelDepth::Unsupported);
  EXPECT_EQ(componentCountFromName("OfxImageComponentRGBA"), 4);
  EXPECT_EQ(componentCountFromName("OfxImageComponentRGB"), 3);
  EXPECT_EQ(componentCountFromName("OfxImageComponentAlpha"), 1);
  EXPECT_EQ(componentCountFromName("OfxImageComponentYUVA"), 0);
  EXPECT_EQ(componentCountFromName(nullptr), 0);
}

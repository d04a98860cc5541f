#include "imaging/frame_checks.h"
#include "imaging/image_io.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

TEST(FrameChecks, NonFinitePixelsAndHighlightsAreCounted) {
  Image image;
  image.width = 4;
  image.height = 1;
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  // A NaN alpha does not count; a NaN or infinite colour does.
  image.pixels = {0.5f, 0.5f, 0.5f, nan, nan, 0.2f, 0.2f, 1, 0.1f, -inf, 0.3f, 1, 2.0f, 0.5f, 0.5f, 1};
  const NonFiniteCount count = countNonFinite(image);
  EXPECT_EQ(count.nonFinite, 2u);
  EXPECT_DOUBLE_EQ(count.share(), 0.5);
  EXPECT_TRUE(count.anyFinite());

  // Above 1 in linear light: only the 2.0; read as Linear Rec.709 / 16, every finite pixel.
  const ColourConfig builtIn{builtInConfig(), "built-in"};
  Conversion identity, fromOver16;
  std::string error;
  ASSERT_TRUE(makeMeasureConversion(builtIn, kLinearRec709, identity, error)) << error;
  ASSERT_TRUE(makeMeasureConversion(builtIn, highlightSpace(false, 16), fromOver16, error)) << error;
  EXPECT_EQ(sharesAbove(image, identity, {1.0f, 0.4f}), (std::vector<double>{0.25, 0.5}));
  EXPECT_EQ(sharesAbove(image, fromOver16, {1.0f, 4.0f}), (std::vector<double>{0.5, 0.5}));
  EXPECT_EQ(image.pixels[0], 0.5f) << "the image itself is left alone";

  for (size_t i = 0; i < image.pixels.size(); i += 4) image.pixels[i + 1] = inf;
  EXPECT_FALSE(countNonFinite(image).anyFinite());
}

TEST(FrameChecks, ASourceAbove1TakesTheNarrowestSpaceThatHoldsItsHighlights) {
  EXPECT_EQ(highlightSpaceFor({}), -1);                 // not measured
  EXPECT_EQ(highlightSpaceFor({0.001, 0.0, 0.0}), -1);  // 0.1% above 1 is within 1
  EXPECT_EQ(highlightSpaceFor({0.2, 0.0005, 0.0}), 0);  // all but 0.05% within the first
  EXPECT_EQ(highlightSpaceFor({0.2, 0.05, 0.0}), 1);    // the second holds them
  EXPECT_EQ(highlightSpaceFor({0.2, 0.05, 0.01}), 1);   // none does: the widest
}

// The rule that takes a float file without colour metadata for log codes: ACEScct and every
// camera space of the built-in set on each photograph, at its exposure and 4 times it, and none
// of the linear pictures (the photographs themselves and 4 times brighter, a flat grey card).
TEST(FrameChecks, LogCodesAreToldFromLinearLight) {
  const ColourConfig builtIn{builtInConfig(), "built-in"};
  std::string error;
  for (const char* name : {"astronaut.png", "chelsea.png", "coffee.png", "rocket.jpg"}) {
    Image photo;
    ASSERT_TRUE(readColourImage(std::string(VANTREL_PHOTOS) + "/" + name, photo, error)) << error;
    Conversion toLinear;
    ASSERT_TRUE(makeConversion(builtIn, kSrgbTexture, kLinearRec709, toLinear, error)) << error;
    toLinear.apply(photo);
    for (const float gain : {1.0f, 4.0f}) {
      Image linear = photo;
      for (size_t i = 0; i < linear.pixels.size(); ++i) linear.pixels[i] *= i % 4 == 3 ? 1.0f : gain;
      EXPECT_FALSE(looksLogEncoded(linear)) << name << " x" << gain;
      std::vector<const char*> logSpaces = {kAcesCct};
      for (const CameraSpace& camera : kCameraSpaces) logSpaces.push_back(camera.name);
      for (const char* space : logSpaces) {
        Conversion toLog;
        ASSERT_TRUE(makeConversion(builtIn, kLinearRec709, space, toLog, error)) << error;
        Image log = linear;
        toLog.apply(log);
        EXPECT_TRUE(looksLogEncoded(log)) << name << " x" << gain << " in " << space;
      }
    }
  }
  Image grey;
  grey.width = grey.height = 16;
  grey.pixels.assign(16 * 16 * 4, 0.42f);
  EXPECT_FALSE(looksLogEncoded(grey)) << "a grey card says nothing either way";
}

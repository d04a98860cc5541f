#include "render/pixel_format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace {

ImageView image(void* data, int32_t rowBytes, Rect bounds, PixelDepth depth, int32_t components) {
  return ImageView{static_cast<unsigned char*>(data), rowBytes, bounds, depth, components};
}

std::vector<float> pixel(const ImageView& view, int32_t x, int32_t y) {
  const float* p = reinterpret_cast<const float*>(view.data + int64_t(y - view.bounds.y1) * view.rowBytes) +
                   (x - view.bounds.x1) * 4;
  return std::vector<float>(p, p + 4);
}

}  // namespace

TEST(PixelFormat, LayoutChecksRejectWhatWouldReadOutOfBounds) {
  float buffer[64] = {};
  EXPECT_TRUE(hasSaneLayout(image(buffer, 32, {0, 0, 2, 2}, PixelDepth::Float, 4)));
  EXPECT_TRUE(hasSaneLayout(image(buffer, -32, {0, 0, 2, 2}, PixelDepth::Float, 4)));
  EXPECT_TRUE(hasSaneLayout(image(nullptr, 0, {3, 3, 3, 9}, PixelDepth::Float, 4)));  // empty
  EXPECT_FALSE(hasSaneLayout(image(nullptr, 32, {0, 0, 2, 2}, PixelDepth::Float, 4)));
  EXPECT_FALSE(hasSaneLayout(image(buffer, 16, {0, 0, 2, 2}, PixelDepth::Float, 4)));
  EXPECT_FALSE(hasSaneLayout(image(buffer, 32, {2, 0, 0, 2}, PixelDepth::Float, 4)));
  EXPECT_TRUE(hasSaneLayout(image(buffer, 6, {0, 0, 2, 2}, PixelDepth::Byte, 3)));
  EXPECT_FALSE(hasSaneLayout(image(buffer, 5, {0, 0, 2, 2}, PixelDepth::Byte, 3)));
  // Rows or data off the sample size would make every sample read a misaligned one.
  auto* bytes = reinterpret_cast<unsigned char*>(buffer);
  EXPECT_FALSE(hasSaneLayout(image(buffer, 34, {0, 0, 2, 2}, PixelDepth::Float, 4)));
  EXPECT_FALSE(hasSaneLayout(image(buffer, -30, {0, 0, 1, 2}, PixelDepth::Float, 1)));
  EXPECT_FALSE(hasSaneLayout(image(bytes + 2, 32, {0, 0, 2, 2}, PixelDepth::Float, 4)));
  EXPECT_FALSE(hasSaneLayout(image(bytes + 1, 16, {0, 0, 2, 2}, PixelDepth::Short, 4)));
  EXPECT_FALSE(hasSaneLayout(image(buffer, 17, {0, 0, 2, 2}, PixelDepth::Short, 4)));
  EXPECT_TRUE(hasSaneLayout(image(bytes + 2, 18, {0, 0, 2, 2}, PixelDepth::Short, 4)));
  EXPECT_TRUE(hasSaneLayout(image(bytes + 1, 7, {0, 0, 2, 2}, PixelDepth::Byte, 3)));
}

TEST(PixelFormat, IntegerAndRgbImagesBecomeFloatRgba) {
  // 8-bit RGB, 2x2 at (4, 7), rows padded to 8 bytes.
  uint8_t bytes[16] = {0, 128, 255, 9, 9, 9, 0, 0, 51, 102, 153, 204, 255, 1, 0, 0};
  std::vector<float> storage;
  const ImageView rgb8 = image(bytes, 8, {4, 7, 6, 9}, PixelDepth::Byte, 3);
  ImageView view = floatRGBAView(rgb8, Rect{0, 0, 100, 100}, storage);
  EXPECT_EQ(view.bounds.x1, 4);
  EXPECT_EQ(view.bounds.y2, 9);
  EXPECT_EQ(pixel(view, 4, 7), (std::vector<float>{0.0f, 128.0f / 255.0f, 1.0f, 1.0f}));
  EXPECT_EQ(pixel(view, 5, 8), (std::vector<float>{204.0f / 255.0f, 1.0f, 1.0f / 255.0f, 1.0f}));
  // Only the requested region is converted.
  view = floatRGBAView(rgb8, Rect{5, 8, 6, 9}, storage);
  EXPECT_EQ(storage.size(), 4u);
  EXPECT_EQ(pixel(view, 5, 8)[0], 204.0f / 255.0f);
  // A region beside the image, and an image without columns or data, convert nothing.
  view = floatRGBAView(rgb8, Rect{10, 7, 12, 9}, storage);
  EXPECT_TRUE(storage.empty());
  EXPECT_EQ(view.bounds.x2 - view.bounds.x1, 0);
  EXPECT_EQ(floatSamples(image(nullptr, 0, {3, 0, 3, 4}, PixelDepth::Byte, 1), storage).rowBytes, 0);
  EXPECT_TRUE(storage.empty());

  // 16-bit RGBA with negative row bytes: data points at the bottom row, stored last.
  uint16_t shorts[8] = {65535, 0, 32768, 1, 0, 65535, 0, 65535};
  const ImageView rgba16 = image(shorts + 4, -8, {0, 0, 1, 2}, PixelDepth::Short, 4);
  view = floatRGBAView(rgba16, rgba16.bounds, storage);
  EXPECT_EQ(pixel(view, 0, 0), (std::vector<float>{0.0f, 1.0f, 0.0f, 1.0f}));
  EXPECT_EQ(pixel(view, 0, 1), (std::vector<float>{1.0f, 0.0f, 32768.0f / 65535.0f, 1.0f / 65535.0f}));

  // Float RGBA is used in place.
  float floats[4] = {0.1f, 0.2f, 0.3f, 0.4f};
  const ImageView rgba32 = image(floats, 16, {0, 0, 1, 1}, PixelDepth::Float, 4);
  EXPECT_EQ(floatRGBAView(rgba32, rgba32.bounds, storage).data, reinterpret_cast<unsigned char*>(floats));
}

TEST(PixelFormat, MasksKeepTheirComponentCount) {
  uint8_t alpha[4] = {0, 255, 128, 64};
  std::vector<float> storage;
  const ImageView converted = floatSamples(image(alpha, 2, {0, 0, 2, 2}, PixelDepth::Byte, 1), storage);
  const float* samples = reinterpret_cast<const float*>(converted.data);
  EXPECT_EQ(converted.rowBytes, 8);
  EXPECT_EQ(converted.components, 1);
  EXPECT_EQ(std::vector<float>(samples, samples + 4),
            (std::vector<float>{0.0f, 1.0f, 128.0f / 255.0f, 64.0f / 255.0f}));
  float floats[3] = {0.5f, 0.25f, 2.0f};
  const ImageView inPlace = floatSamples(image(floats, -12, {0, 0, 1, 1}, PixelDepth::Float, 3), storage);
  EXPECT_EQ(inPlace.data, reinterpret_cast<unsigned char*>(floats));
  EXPECT_EQ(inPlace.rowBytes, -12);
}

TEST(PixelFormat, StoringClampsRoundsAndDropsChannels) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  // Two pixels of working storage at (1, 0).
  float work[8] = {0.5f / 255.0f, 0.49f / 255.0f, 1.5f, nan, -0.1f, 0.5f, 1.0f, 0.25f};
  const ImageView from = floatRGBA(reinterpret_cast<unsigned char*>(work), 32, {1, 0, 3, 1});

  uint8_t bytes[9] = {7, 7, 7, 7, 7, 7, 7, 7, 7};
  storeFloatRGBA(from, image(bytes, 9, {0, 0, 3, 1}, PixelDepth::Byte, 3));
  EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 9), (std::vector<uint8_t>{7, 7, 7, 1, 0, 255, 0, 128, 255}));

  uint16_t shorts[8] = {};
  storeFloatRGBA(from, image(shorts, 16, {1, 0, 3, 1}, PixelDepth::Short, 4));
  EXPECT_EQ(std::vector<uint16_t>(shorts, shorts + 8),
            (std::vector<uint16_t>{129, 126, 65535, 0, 0, 32768, 65535, 16384}));

  float rgb[6] = {};
  storeFloatRGBA(from, image(rgb, 24, {1, 0, 3, 1}, PixelDepth::Float, 3));
  EXPECT_EQ(rgb[0], work[0]);
  EXPECT_EQ(rgb[2], 1.5f);  // float output is not clamped
  EXPECT_EQ(rgb[3], -0.1f);
}

#include "sheet.h"

#include "colour.h"

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <limits>

namespace {

Image grey(int w, int h, float v) {
  Image image;
  image.width = w;
  image.height = h;
  image.pixels.assign(size_t(w) * size_t(h) * 4, v);
  return image;
}

}  // namespace

TEST(Sheet, PanelsShareOneHeightAndKeepTheirAspect) {
  const SheetLayout l = sheetLayout(grey(1920, 1080, 0), grey(400, 400, 0), grey(1080, 1920, 0), 3);
  EXPECT_EQ(l.panelWidth[0], 640);
  EXPECT_EQ(l.panelWidth[1], 360);
  EXPECT_EQ(l.panelWidth[2], 203);
  EXPECT_EQ(l.width, 16 + 640 + 16 + 360 + 16 + 203 + 16);
  EXPECT_EQ(l.height, 16 + 30 + 360 + 16 + 3 * 24 + 16);
  // Tiny panels still leave room for the text.
  EXPECT_EQ(sheetLayout(grey(8, 80, 0), grey(8, 80, 0), grey(8, 80, 0), 1).width, l.minimumWidth);
}

TEST(Sheet, IsWrittenAtItsLayoutSizeWithTheImagesInIt) {
  char pattern[] = "/tmp/vantrel-sheet-XXXXXX";
  const std::filesystem::path dir = mkdtemp(pattern);
  const std::string path = (dir / "sheet.png").string();
  const Image source = grey(300, 200, 1.0f), reference = grey(200, 200, 0.0f), output = grey(300, 200, 0.5f);
  const std::vector<std::string> lines = {"Same Frame: CIE \u0394E2000 per pixel", "second line"};
  std::string error;
  ASSERT_TRUE(writeSheet(path, source, reference, output, lines, nullptr, 1, error)) << error;

  auto in = OIIO::ImageInput::open(path);
  ASSERT_TRUE(in);
  const SheetLayout l = sheetLayout(source, reference, output, lines.size());
  EXPECT_EQ(in->spec().width, l.width);
  EXPECT_EQ(in->spec().height, l.height);
  EXPECT_EQ(in->spec().nchannels, 3);
  EXPECT_EQ(in->spec().format, OIIO::TypeDesc::UINT8);
  std::vector<unsigned char> px(size_t(l.width) * size_t(l.height) * 3);
  ASSERT_TRUE(in->read_image(0, 0, 0, 3, OIIO::TypeDesc::UINT8, px.data()));
  auto at = [&](int x, int y) { return px[(size_t(y) * size_t(l.width) + size_t(x)) * 3]; };
  const int mid = l.margin + l.labelHeight + l.panelHeight / 2;
  EXPECT_EQ(at(l.margin + 10, mid), 255);                                          // white Source
  EXPECT_EQ(at(2 * l.margin + l.panelWidth[0] + 10, mid), 0);                      // black Reference
  EXPECT_EQ(at(3 * l.margin + l.panelWidth[0] + l.panelWidth[1] + 10, mid), 188);  // linear 0.5 shown in sRGB
  std::filesystem::remove_all(dir);
}

// A frame-sized picture is averaged down in its own space and only then converted; a value that
// is not a number shows as black rather than as whatever a conversion makes of it.
TEST(Sheet, PanelsAreAveragedInThePicturesSpaceThenConverted) {
  char pattern[] = "/tmp/vantrel-sheet-XXXXXX";
  const std::filesystem::path dir = mkdtemp(pattern);
  const std::string path = (dir / "sheet.png").string();
  Image source = grey(1920, 1080, 0.4f);  // sRGB code values
  for (size_t i = 0; i < source.pixels.size(); i += 4)
    if ((i / 4) % 1920 >= 960) source.pixels[i] = source.pixels[i + 1] = source.pixels[i + 2] = 1.0f;
  Image output = grey(300, 200, std::numeric_limits<float>::quiet_NaN());
  Conversion toLinear;
  std::string error;
  ColourConfig config{builtInConfig(), "built-in"};
  ASSERT_TRUE(makeConversion(config, kSrgbTexture, kLinearRec709, toLinear, error)) << error;
  ASSERT_TRUE(writeSheet(path, source, grey(200, 200, 0.0f), output, {"line"}, &toLinear, 3, error)) << error;
  const Image sheet = [&] {
    Image read;
    EXPECT_TRUE(readColorImage(path, read, error)) << error;
    return read;
  }();
  const SheetLayout l = sheetLayout(source, grey(200, 200, 0.0f), output, 1);
  const int mid = l.margin + l.labelHeight + l.panelHeight / 2;
  auto code = [&](int x) {
    return std::lround(sheet.pixels[(size_t(mid) * size_t(sheet.width) + size_t(x)) * 4] * 255);
  };
  EXPECT_EQ(code(l.margin + 10), 102);                                        // 0.4 in, 0.4 out
  EXPECT_EQ(code(l.margin + l.panelWidth[0] - 10), 255);                      // white half
  EXPECT_EQ(code(3 * l.margin + l.panelWidth[0] + l.panelWidth[1] + 10), 0);  // NaN
  std::filesystem::remove_all(dir);
}

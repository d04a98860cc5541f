#include "imaging/sheet.h"

#include "imaging/colour.h"

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>
#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
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
    EXPECT_TRUE(readColourImage(path, read, error)) << error;
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

namespace {

std::vector<unsigned char> sheetPixels(const std::string& path, int& width, int& height) {
  auto in = OIIO::ImageInput::open(path);
  EXPECT_TRUE(in) << path;
  if (!in) return {};
  width = in->spec().width;
  height = in->spec().height;
  std::vector<unsigned char> px(size_t(width) * size_t(height) * 3);
  EXPECT_TRUE(in->read_image(0, 0, 0, 3, OIIO::TypeDesc::UINT8, px.data()));
  return px;
}

Image ramp(int w, int h, float scale) {
  Image image = grey(w, h, 0.0f);
  for (size_t p = 0; p < size_t(w) * size_t(h); ++p)
    for (size_t c = 0; c < 3; ++c) image.pixels[p * 4 + c] = scale * float((p * (c + 3)) % 997) / 997.0f;
  return image;
}

}  // namespace

// Threads share out bands of rows and a run keeps the panels of unchanged pictures: the sheet
// is the same to the byte however it was made, and a picture whose version changed is drawn
// again, never taken from what was kept.
TEST(Sheet, IsTheSameWithAnyThreadsAndKeptPanelsAndNeverStale) {
  char pattern[] = "/tmp/vantrel-sheet-XXXXXX";
  const std::filesystem::path dir = mkdtemp(pattern);
  const Image source = ramp(1000, 600, 1.0f), reference = ramp(640, 480, 0.5f), other = ramp(640, 480, 0.9f);
  const std::vector<std::string> lines = {"Source vs Reference: mean colour 34.83", "second line"};
  Conversion toLinear;
  std::string error;
  ColourConfig config{builtInConfig(), "built-in"};
  ASSERT_TRUE(makeConversion(config, kSrgbTexture, kLinearRec709, toLinear, error)) << error;
  auto write = [&](const std::string& name, const Image& ref, int threads, SheetPanels* kept) {
    EXPECT_TRUE(writeSheet((dir / name).string(), source, ref, source, lines, &toLinear, threads, error, kept))
        << error;
    int w = 0, h = 0;
    return sheetPixels((dir / name).string(), w, h);
  };
  const auto plain = write("plain.png", reference, 1, nullptr);
  SheetPanels kept;
  kept.versions[1] = 7;
  EXPECT_EQ(write("first.png", reference, 4, &kept), plain);
  EXPECT_EQ(write("kept.png", reference, 2, &kept), plain);  // the Reference panel pasted
  kept.versions[1] = 8;
  EXPECT_EQ(write("changed.png", other, 2, &kept), write("other.png", other, 1, nullptr));
  EXPECT_NE(write("again.png", other, 1, &kept), plain);
  std::filesystem::remove_all(dir);
}

// Labels and lines are what OpenImageIO draws in place over the background, whether drawn once
// and kept or, where labels of narrow panels run into each other, drawn where they land.
TEST(Sheet, TextIsWhatOpenImageIoDrawsInPlace) {
  char pattern[] = "/tmp/vantrel-sheet-XXXXXX";
  const std::filesystem::path dir = mkdtemp(pattern);
  const std::vector<std::string> lines = {"Same Frame: CIE \u0394E2000 per pixel", "Output vs Reference: 1.28"};
  for (int width : {400, 20}) {  // narrow panels: "Reference" runs into "Output"
    const Image picture = grey(width, 400, 0.5f);
    const std::string path = (dir / ("sheet" + std::to_string(width) + ".png")).string();
    std::string error;
    for (int pass = 0; pass < 2; ++pass)  // drawn, then taken from what was kept
      ASSERT_TRUE(writeSheet(path, picture, picture, picture, lines, nullptr, 1, error)) << error;
    int w = 0, h = 0;
    const std::vector<unsigned char> sheet = sheetPixels(path, w, h);
    const SheetLayout l = sheetLayout(picture, picture, picture, lines.size());
    // The same text drawn straight onto a sheet of background.
    std::vector<unsigned char> expected(sheet.size());
    for (size_t i = 0; i < expected.size(); i += 3) std::copy_n(&sheet[0], 3, &expected[i]);  // a corner
    OIIO::ImageBuf buf(OIIO::ImageSpec(w, h, 3, OIIO::TypeDesc::UINT8), expected.data());
    const float text[3] = {0.8f, 0.8f, 0.8f};
    const int top = l.margin + l.labelHeight;
    float colour[3] = {text[0], text[1], text[2]};  // the sheet's text colour, as 8-bit sRGB
    srgbEncode(colour, 1, 3);
    for (float& c : colour) c = std::round(c * 255.0f) / 255.0f;
    const char* labels[3] = {"Source", "Reference", "Output"};
    for (int i = 0, x = l.margin; i < 3; x += l.panelWidth[i] + l.margin, ++i)
      OIIO::ImageBufAlgo::render_text(buf, x, top - 8, labels[i], 20, "DejaVuSans", colour);
    for (size_t i = 0; i < lines.size(); ++i)
      OIIO::ImageBufAlgo::render_text(buf, l.margin, top + l.panelHeight + l.margin + l.lineHeight * int(i + 1) - 6,
                                      lines[i], 16, "DejaVuSans", colour);
    const size_t row = size_t(w) * 3;
    EXPECT_TRUE(std::equal(sheet.begin(), sheet.begin() + top * row, expected.begin())) << width;
    EXPECT_TRUE(std::equal(sheet.begin() + (top + l.panelHeight) * row, sheet.end(),
                           expected.begin() + (top + l.panelHeight) * row))
        << width;
    EXPECT_NE(std::count(sheet.begin(), sheet.begin() + top * row, sheet[0]), std::ptrdiff_t(top * row));
  }
  std::filesystem::remove_all(dir);
}

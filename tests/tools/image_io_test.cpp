#include "imaging/image_io.h"

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

struct TempDir {
  fs::path path;
  TempDir() {
    char pattern[] = "/tmp/vantrel-io-XXXXXX";
    path = mkdtemp(pattern);
  }
  ~TempDir() { fs::remove_all(path); }
  std::string operator/(const std::string& name) const { return (path / name).string(); }
};

template <typename T>
void writeRaw(const std::string& path, int w, int h, int channels, OIIO::TypeDesc type, const std::vector<T>& data) {
  auto out = OIIO::ImageOutput::create(path);
  ASSERT_TRUE(out);
  OIIO::ImageSpec layout(w, h, channels, type);
  if (channels == 2 || channels == 4) layout.attribute("oiio:UnassociatedAlpha", 1);
  ASSERT_TRUE(out->open(path, layout));
  ASSERT_TRUE(out->write_image(type, data.data()));
  ASSERT_TRUE(out->close());
}

template <typename T>
std::vector<T> readRaw(const std::string& path, OIIO::TypeDesc type, int& channels) {
  OIIO::ImageSpec config;
  config.attribute("oiio:UnassociatedAlpha", 1);
  auto in = OIIO::ImageInput::open(path, &config);
  EXPECT_TRUE(in);
  if (!in) return {};
  channels = in->spec().nchannels;
  std::vector<T> data(size_t(in->spec().image_pixels()) * size_t(channels));
  in->read_image(0, 0, 0, channels, type, data.data());
  return data;
}

std::vector<std::string> entries(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  return names;
}

}  // namespace

TEST(ImageIO, IntegerFilesAreReadAsStoredAndWrittenBackExactly) {
  TempDir dir;
  std::vector<unsigned char> bytes;
  for (int v = 0; v < 256; ++v)
    bytes.insert(bytes.end(), {(unsigned char)v, (unsigned char)(255 - v), (unsigned char)(v / 2)});
  writeRaw(dir / "ramp.png", 256, 1, 3, OIIO::TypeDesc::UINT8, bytes);

  Image image;
  std::string error;
  ASSERT_TRUE(readColourImage(dir / "ramp.png", image, error)) << error;
  EXPECT_EQ(image.depth, SampleDepth::UInt8);
  EXPECT_FALSE(image.hasAlpha);
  EXPECT_EQ(image.storedSpace, "sRGB");
  for (int v = 0; v < 256; ++v) {
    EXPECT_FLOAT_EQ(image.pixels[size_t(v) * 4 + 0], float(v) / 255.0f) << v;
    EXPECT_EQ(image.pixels[size_t(v) * 4 + 3], 1.0f);
  }
  ASSERT_TRUE(writeColourImage(dir / "back.png", image, {}, error)) << error;
  int channels = 0;
  EXPECT_EQ(readRaw<unsigned char>(dir / "back.png", OIIO::TypeDesc::UINT8, channels), bytes);
  EXPECT_EQ(channels, 3);
}

TEST(ImageIO, ColourSpaceMetadataIsReadAndWritten) {
  TempDir dir;
  const std::vector<float> values = {0.5f, 2.0f, -0.25f, 0.75f};
  writeRaw(dir / "hdr.exr", 1, 1, 4, OIIO::TypeDesc::FLOAT, values);
  Image image;
  std::string error;
  ASSERT_TRUE(readColourImage(dir / "hdr.exr", image, error)) << error;
  EXPECT_EQ(image.depth, SampleDepth::Float);
  EXPECT_TRUE(image.hasAlpha);
  EXPECT_EQ(image.pixels, values);
  EXPECT_FALSE(image.chromaticities);

  // The primaries go into an EXR and come back; a PNG keeps the space's name.
  WriteSettings settings;
  settings.colourSpace = "ACEScg";
  settings.chromaticities = std::array<float, 8>{0.713f, 0.293f, 0.165f, 0.83f, 0.128f, 0.044f, 0.32168f, 0.33767f};
  ASSERT_TRUE(writeColourImage(dir / "cg.exr", image, settings, error)) << error;
  ASSERT_TRUE(readColourImage(dir / "cg.exr", image, error)) << error;
  ASSERT_TRUE(image.chromaticities);
  EXPECT_EQ(*image.chromaticities, *settings.chromaticities);
  ASSERT_TRUE(writeColourImage(dir / "cg.png", image, settings, error)) << error;
  ASSERT_TRUE(readColourImage(dir / "cg.png", image, error)) << error;
  EXPECT_EQ(image.storedSpace, "ACEScg");

  // Written in another space, an EXR loses the Source's primaries rather than keep wrong ones.
  ASSERT_TRUE(readColourImage(dir / "cg.exr", image, error)) << error;
  WriteSettings other;
  other.sameColourSpace = false;
  ASSERT_TRUE(writeColourImage(dir / "other.exr", image, other, error)) << error;
  ASSERT_TRUE(readColourImage(dir / "other.exr", image, error)) << error;
  EXPECT_FALSE(image.chromaticities);
}

TEST(ImageIO, AnyChannelCountBecomesRgba) {
  TempDir dir;
  // Grey + alpha, 16-bit.
  writeRaw(dir / "ga.png", 2, 1, 2, OIIO::TypeDesc::UINT16, std::vector<unsigned short>{65535, 32768, 0, 65535});
  Image image;
  std::string error;
  ASSERT_TRUE(readColourImage(dir / "ga.png", image, error)) << error;
  ASSERT_EQ(image.pixels.size(), 8u);
  EXPECT_EQ(image.depth, SampleDepth::UInt16);
  EXPECT_TRUE(image.hasAlpha);
  EXPECT_FLOAT_EQ(image.pixels[0], 1.0f);
  EXPECT_FLOAT_EQ(image.pixels[2], 1.0f);
  EXPECT_NEAR(image.pixels[3], 32768.0 / 65535.0, 1e-6);
  EXPECT_FLOAT_EQ(image.pixels[4], 0.0f);
  EXPECT_FLOAT_EQ(image.pixels[7], 1.0f);

  // A single-channel mask stays single-channel and is never colour-decoded.
  writeRaw(dir / "mask.png", 2, 1, 1, OIIO::TypeDesc::UINT8, std::vector<unsigned char>{128, 255});
  ASSERT_TRUE(readMaskImage(dir / "mask.png", image, error)) << error;
  EXPECT_EQ(image.channels, 1);
  EXPECT_FLOAT_EQ(image.pixels[0], 128.0f / 255.0f);
}

TEST(ImageIO, AlphaSurvivesAnIntegerRoundTripUnassociated) {
  TempDir dir;
  const std::vector<unsigned char> rgba = {200, 100, 50, 128, 10, 20, 30, 0};
  writeRaw(dir / "a.png", 2, 1, 4, OIIO::TypeDesc::UINT8, rgba);
  Image image;
  std::string error;
  ASSERT_TRUE(readColourImage(dir / "a.png", image, error));
  ASSERT_TRUE(writeColourImage(dir / "b.png", image, {}, error)) << error;
  int channels = 0;
  EXPECT_EQ(readRaw<unsigned char>(dir / "b.png", OIIO::TypeDesc::UINT8, channels), rgba);

  // JPEG cannot hold alpha: RGB only.
  ASSERT_TRUE(writeColourImage(dir / "b.jpg", image, {}, error)) << error;
  readRaw<unsigned char>(dir / "b.jpg", OIIO::TypeDesc::UINT8, channels);
  EXPECT_EQ(channels, 3);
}

TEST(ImageIO, OutputDepthFollowsTheSourceWhereTheFormatAllows) {
  EXPECT_EQ(outputDepth("png", SampleDepth::UInt16), SampleDepth::UInt16);
  EXPECT_EQ(outputDepth("png", SampleDepth::Float), SampleDepth::UInt16);
  EXPECT_EQ(outputDepth("openexr", SampleDepth::UInt8), SampleDepth::Half);
  EXPECT_EQ(outputDepth("openexr", SampleDepth::Float), SampleDepth::Float);
  EXPECT_EQ(outputDepth("jpeg", SampleDepth::Half), SampleDepth::UInt8);
  EXPECT_EQ(outputDepth("tiff", SampleDepth::Half), SampleDepth::Half);
  EXPECT_FALSE(formatStoresDepth("jpeg", SampleDepth::UInt16));
  EXPECT_FALSE(formatStoresDepth("openexr", SampleDepth::UInt8));
}

TEST(ImageIO, FailuresNameTheFileAndLeaveNothingBehind) {
  TempDir dir;
  Image image;
  std::string error;
  EXPECT_FALSE(readColourImage(dir / "missing.png", image, error));
  EXPECT_NE(error.find("missing.png"), std::string::npos);

  std::ofstream(dir / "junk.png") << "this is not a PNG file";
  error.clear();
  EXPECT_FALSE(readColourImage(dir / "junk.png", image, error));
  EXPECT_NE(error.find("junk.png"), std::string::npos);

  image.width = 4;
  image.height = 4;
  image.channels = 4;
  image.depth = SampleDepth::Float;
  image.pixels.assign(64, 0.5f);
  error.clear();
  EXPECT_FALSE(writeColourImage(dir / "no-such-dir/out.exr", image, {}, error));
  EXPECT_NE(error.find("out.exr"), std::string::npos);

  ASSERT_TRUE(writeColourImage(dir / "out.exr", image, {}, error)) << error;
  EXPECT_EQ(entries(dir.path).size(), 2u) << "only junk.png and out.exr: no temporary file is left";
}

TEST(ImageIO, AnExrKeepsItsCompressionWhenWrittenBackAsExr) {
  TempDir dir;
  auto out = OIIO::ImageOutput::create(dir / "piz.exr");
  OIIO::ImageSpec layout(4, 4, 3, OIIO::TypeDesc::HALF);
  layout.attribute("compression", "piz");
  const std::vector<float> grey(48, 0.25f);
  ASSERT_TRUE(out->open(dir / "piz.exr", layout) && out->write_image(OIIO::TypeDesc::FLOAT, grey.data()) &&
              out->close());

  Image image;
  std::string error;
  ASSERT_TRUE(readColourImage(dir / "piz.exr", image, error)) << error;
  ASSERT_TRUE(writeColourImage(dir / "copy.exr", image, {}, error)) << error;
  ASSERT_TRUE(writeColourImage(dir / "copy.tif", image, {}, error)) << error;
  auto exr = OIIO::ImageInput::open(dir / "copy.exr");
  EXPECT_EQ(exr->spec().get_string_attribute("compression"), "piz");
  EXPECT_EQ(exr->spec().format, OIIO::TypeDesc::HALF);
  auto tif = OIIO::ImageInput::open(dir / "copy.tif");
  EXPECT_NE(tif->spec().get_string_attribute("compression"), "piz");
}

TEST(ImageIO, CanvasBoundsPutTheDisplayWindowsLowerLeftCornerAtTheOrigin) {
  Image image;
  image.width = 64;
  image.height = 40;
  image.x = 10;
  image.y = 6;
  image.fullWidth = 96;
  image.fullHeight = 54;
  EXPECT_EQ(canvasBounds(image), (PixelRect{10, 8, 74, 48}));
  image.x = -8;
  image.y = -5;
  image.fullX = -2;
  image.fullY = 3;
  EXPECT_EQ(canvasBounds(image), (PixelRect{-6, 22, 58, 62}));
  image.fullWidth = 0;  // no display window: the data window is the canvas
  EXPECT_EQ(canvasBounds(image), (PixelRect{0, 0, 64, 40}));
}

TEST(ImageIO, TheSpacesNameTravelsWhereTheFormatHasRoomForIt) {
  TempDir dir;
  Image image;
  image.width = 2;
  image.height = 1;
  image.pixels = {0.1f, 0.2f, 0.3f, 1, 0.4f, 0.5f, 0.6f, 1};
  std::string error;
  WriteSettings settings;
  settings.spaceName = "ARRI LogC3 (EI800) - AWG";
  for (const char* name : {"log.exr", "log.png", "log.dpx", "log.tif"}) {
    ASSERT_TRUE(writeColourImage(dir / name, image, settings, error)) << error;
    Image header;
    ASSERT_TRUE(readColourHeader(dir / name, header, error)) << error;
    EXPECT_EQ(header.namedSpace, std::string(name) == "log.tif" ? "" : settings.spaceName) << name;
  }
  // Written again in another space, a file names that one; a DPX's own user data is kept as it
  // was, and then the name has no place there.
  Image logPlate;
  ASSERT_TRUE(readColourImage(dir / "log.dpx", logPlate, error)) << error;
  settings.spaceName = "Linear Rec.709 (sRGB)";
  ASSERT_TRUE(writeColourImage(dir / "again.dpx", logPlate, settings, error)) << error;
  ASSERT_TRUE(readColourHeader(dir / "again.dpx", logPlate, error)) << error;
  EXPECT_EQ(logPlate.namedSpace, settings.spaceName);

  OIIO::ImageSpec imageSpec(2, 1, 3, OIIO::TypeDesc::UINT16);
  const unsigned char scanner[40] = "Scanner calibration";
  imageSpec.attribute("dpx:UserData", OIIO::TypeDesc(OIIO::TypeDesc::UINT8, 40), scanner);
  imageSpec.attribute("dpx:Transfer", "Printing density");
  auto out = OIIO::ImageOutput::create(dir / "scan.dpx");
  const std::vector<unsigned short> px(6, 1000);
  ASSERT_TRUE(out && out->open(dir / "scan.dpx", imageSpec) && out->write_image(OIIO::TypeDesc::UINT16, px.data()) &&
              out->close());
  Image scan;
  ASSERT_TRUE(readColourImage(dir / "scan.dpx", scan, error)) << error;
  EXPECT_EQ(scan.transfer, "Printing density");
  ASSERT_TRUE(writeColourImage(dir / "scan-out.dpx", scan, settings, error)) << error;
  auto in = OIIO::ImageInput::open(dir / "scan-out.dpx");
  ASSERT_TRUE(in);
  const OIIO::ParamValue* data = in->spec().find_attribute("dpx:UserData");
  ASSERT_TRUE(data);
  EXPECT_STREQ(static_cast<const char*>(data->data()), "Scanner calibration");
}

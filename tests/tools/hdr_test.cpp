// Scene-linear plates and camera footage end to end: highlights above 1 in both modes, the
// camera spaces named by alias, what files say of their space, and frames that are not numbers.
#include "imaging/colour.h"
#include "support.h"

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>

namespace {

class Hdr : public ::testing::Test {
 protected:
  ScratchDir dir;
  ToolRun vantrel(std::vector<std::string> args) { return runMatch(dir, std::move(args)); }
  nlohmann::json report(const std::string& name) {
    std::ifstream in(dir / name);
    return nlohmann::json::parse(in);
  }
};

const ColourConfig builtIn{builtInConfig(), "built-in"};

Image converted(Image image, const std::string& from, const std::string& to) {
  Conversion conversion;
  std::string error;
  EXPECT_TRUE(makeConversion(builtIn, resolveSpace(builtIn, from), resolveSpace(builtIn, to), conversion, error));
  conversion.apply(image);
  return image;
}

// A photograph in linear light times `gain`, as a scene-linear plate.
Image plate(const std::string& photo, float gain) {
  Image image;
  std::string error;
  EXPECT_TRUE(readColourImage(photoPath(photo), image, error)) << error;
  image = converted(image, "srgb", "lin_rec709");
  for (size_t i = 0; i < image.pixels.size(); ++i)
    if (i % 4 != 3) image.pixels[i] *= gain;
  image.depth = SampleDepth::Half;
  return image;
}

// A grade in linear light: exposure and a warm white balance.
Image warmer(Image image) {
  const float gains[3] = {1.5f, 1.3f, 1.0f};
  for (size_t i = 0; i < image.pixels.size(); ++i)
    if (i % 4 != 3) image.pixels[i] *= gains[i % 4];
  return image;
}

struct Range {
  float low = INFINITY, high = -INFINITY;
  double aboveOne = 0;  // share of pixels with a component above 1
};
Range rangeOf(const Image& image) {
  Range r;
  size_t above = 0;
  for (size_t i = 0; i < image.pixels.size(); i += size_t(image.channels)) {
    float largest = 0;
    for (int c = 0; c < 3; ++c) {
      r.low = std::min(r.low, image.pixels[i + size_t(c)]);
      r.high = std::max(r.high, image.pixels[i + size_t(c)]);
      largest = std::max(largest, image.pixels[i + size_t(c)]);
    }
    above += largest > 1.0f;
  }
  r.aboveOne = double(above) / double(image.pixels.size() / size_t(image.channels));
  return r;
}

// One pixel of code value 1 everywhere: the top of a space.
Image whiteOf(int width, int height) {
  Image image = testPicture(width, height);
  std::fill(image.pixels.begin(), image.pixels.end(), 1.0f);
  return image;
}

// A LogC3 plate as a 16-bit scan would come: a DPX whose transfer says logarithmic.
void writeLogDpx(const std::string& path, const Image& linear) {
  const Image log = converted(linear, "lin_rec709", "logc3");
  OIIO::ImageSpec imageSpec(log.width, log.height, 4, OIIO::TypeDesc::UINT16);
  imageSpec.attribute("dpx:Transfer", "Logarithmic");
  auto out = OIIO::ImageOutput::create(path);
  ASSERT_TRUE(out && out->open(path, imageSpec) && out->write_image(OIIO::TypeDesc::FLOAT, log.pixels.data()) &&
              out->close());
}

double figure(const nlohmann::json& frame, const char* when) {
  const nlohmann::json& q = frame["quality"][when];
  return q.contains("mean_colour") ? q["mean_colour"].get<double>() : q["mean"].get<double>();
}

}  // namespace

TEST_F(Hdr, ScaleLinearPlatesKeepTheirHighlightsInBothModes) {
  const Image source = plate("rocket.jpg", 4.0f);
  ASSERT_GT(rangeOf(source).aboveOne, 0.01);
  writeRawImage(dir / "plate.exr", source, SampleDepth::Half);
  writeRawImage(dir / "other.exr", plate("coffee.png", 3.0f), SampleDepth::Half);
  writeRawImage(dir / "graded.exr", warmer(source), SampleDepth::Half);

  const std::pair<const char*, const char*> runs[] = {{"different", "other.exr"}, {"same", "graded.exr"}};
  for (const auto& [mode, reference] : runs) {
    const ToolRun run = vantrel({"plate.exr", reference, "-o", "out.exr", "--mode", mode, "--report", "--report-json",
                                 "report.json", "--depth", "float"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err.find("warning"), std::string::npos) << run.err;
    const nlohmann::json frame = report("report.json")["frames"][0];
    EXPECT_EQ(frame["working_space_from"], "default, Source above 1") << mode;
    EXPECT_NE(run.out.find("(the default for a Source with "), std::string::npos) << run.out;
    // Closer to the Reference as SDR pictures come; nothing below black, nothing beyond the top
    // of the working space; the highlights are still highlights.
    EXPECT_LT(figure(frame, "after"), (std::string(mode) == "same" ? 0.7 : 0.2) * figure(frame, "before")) << mode;
    const Range out = rangeOf(readRawImage(dir / "out.exr"));
    EXPECT_GE(out.low, 0.0f) << mode;
    EXPECT_LE(out.high,
              rangeOf(converted(whiteOf(1, 1), frame["working_space"].get<std::string>(), "lin_rec709")).high * 1.0001f)
        << mode;
    EXPECT_GT(out.aboveOne, 0.5 * rangeOf(source).aboveOne) << mode;
  }
  // A plate with a top of 4: the fitted lattice (the tool's default) matches it in the narrowest
  // log space, the cells in the gamma space stretched 4 times.
  for (const char* fit : {"lattice", "cells"}) {
    const ToolRun run = vantrel(
        {"plate.exr", "graded.exr", "-o", "out.exr", "--mode", "same", "--fit", fit, "--report-json", "report.json"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(report("report.json")["frames"][0]["working_space"],
              std::string(fit) == "lattice" ? "Log Rec.709 - Headroom 16" : "Gamma 2.4 Rec.709 - Headroom 4");
  }

  // A picture within 1 keeps the working space it always had.
  const ToolRun run =
      vantrel({photoPath("rocket.jpg"), photoPath("coffee.png"), "-o", "sdr.png", "--report-json", "sdr.json"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(report("sdr.json")["frames"][0]["working_space"], kLinearRec709);
  EXPECT_EQ(report("sdr.json")["frames"][0]["working_space_from"], "default, Source within 1");
}

TEST_F(Hdr, DifferentClipsInASpaceThatIsNotLinearLightIsWarnedAboutOnce) {
  for (const char* name : {"s.1.exr", "s.2.exr"})
    writeRawImage(dir / name, plate("rocket.jpg", 4.0f), SampleDepth::Half);
  const ToolRun run =
      vantrel({"s.%d.exr", photoPath("coffee.png"), "-o", "o.%d.exr", "--frames", "1-2", "--working-space", "acescct"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string warning = "warning: Different Clips in ACEScct, which is not linear light";
  ASSERT_NE(run.err.find(warning), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find(warning, run.err.find(warning) + 1), std::string::npos) << run.err;
}

TEST_F(Hdr, CameraPlatesByAliasAndOutputsThatSayTheirSpace) {
  writeLogDpx(dir / "plate.dpx", plate("rocket.jpg", 2.0f));
  writeLogDpx(dir / "grade.dpx", plate("coffee.png", 1.0f));

  // Without an option: taken as sRGB, with one warning per file that says why that is wrong.
  ToolRun run = vantrel({"plate.dpx", "grade.dpx", "-o", "guess.dpx", "--report-json", "guess.json"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("warning: SOURCE 'plate.dpx': its DPX transfer characteristic 'Logarithmic' says it is "
                         "logarithmic, but not in which space; taken as sRGB - Texture, which will be wrong: give "
                         "--source-space (the built-in config's log spaces: "),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("warning: REFERENCE 'grade.dpx'"), std::string::npos) << run.err;

  // With the alias: the match, an Output in LogC3 that says so, and an EXR in linear light.
  run = vantrel({"plate.dpx", "grade.dpx", "-o", "matched.dpx", "--source-space", "logc3", "--reference-space", "LogC3",
                 "--report-json", "log.json"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err.find("logarithmic"), std::string::npos) << run.err;
  const nlohmann::json frame = report("log.json")["frames"][0];
  EXPECT_EQ(frame["colour_spaces"]["source"], "ARRI LogC3 (EI800) - AWG");
  EXPECT_LT(figure(frame, "after"), 0.2 * figure(frame, "before"));

  run = vantrel(
      {"matched.dpx", "grade.dpx", "-o", "again.exr", "--reference-space", "logc3", "--report-json", "again.json"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err.find("logarithmic"), std::string::npos) << run.err;
  const nlohmann::json spaces = report("again.json")["frames"][0]["colour_spaces"];
  EXPECT_EQ(spaces["source"], "ARRI LogC3 (EI800) - AWG");
  EXPECT_EQ(spaces["source_from"], "metadata");
  EXPECT_EQ(spaces["output"], kLinearRec709);
  EXPECT_EQ(spaces["output_from"], "scene_linear");

  // An EXR of a photograph is linear light too, and reads back as such.
  run = vantrel({photoPath("chelsea.png"), photoPath("coffee.png"), "-o", "photo.exr", "--mix", "0"});
  ASSERT_EQ(run.status, 0) << run.err;
  Image photo;
  std::string error;
  ASSERT_TRUE(readColourImage(photoPath("chelsea.png"), photo, error)) << error;
  const Image linear = converted(photo, "srgb", "lin_rec709"), written = readRawImage(dir / "photo.exr");
  ASSERT_EQ(written.pixels.size() / size_t(written.channels), linear.pixels.size() / 4);
  double worst = 0;
  for (size_t i = 0; i < linear.pixels.size() / 4; ++i)
    for (size_t c = 0; c < 3; ++c)
      worst = std::max(worst,
                       double(std::fabs(written.pixels[i * size_t(written.channels) + c] - linear.pixels[i * 4 + c])));
  EXPECT_LT(worst, 2e-3);
}

TEST_F(Hdr, FramesThatAreNotNumbersAreCountedAndAnEmptyOneIsRefused) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  Image picture = testPicture(100, 40, 1);
  writeRawImage(dir / "s.1.exr", picture, SampleDepth::Float);
  for (size_t i = 0; i < 400; ++i) picture.pixels[i * 4 + 1] = i % 2 ? nan : INFINITY;  // 10% of the pixels
  writeRawImage(dir / "s.2.exr", picture, SampleDepth::Float);
  for (float& v : picture.pixels) v = nan;
  writeRawImage(dir / "s.3.exr", picture, SampleDepth::Float);
  writeRawImage(dir / "ref.exr", testPicture(100, 40, 4), SampleDepth::Float);

  const ToolRun run = vantrel({"s.%d.exr", "ref.exr", "-o", "o.%d.exr", "--frames", "1-3", "--report-json", "r.json"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("warning: frame 2: SOURCE 's.2.exr': 400 of 4000 pixels (10%) have a NaN or infinite R, G "
                         "or B"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("error: frame 3: SOURCE 's.3.exr' has no pixel whose R, G and B are all finite numbers"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(dir.files(),
            (std::vector<std::string>{"o.1.exr", "o.2.exr", "r.json", "ref.exr", "s.1.exr", "s.2.exr", "s.3.exr"}));
  const nlohmann::json json = report("r.json");
  EXPECT_EQ(json["frames"][0]["non_finite_share"]["source"], 0.0);
  EXPECT_DOUBLE_EQ(json["frames"][1]["non_finite_share"]["source"].get<double>(), 0.1);
  EXPECT_NE(json["frames"][1]["warnings"][0].get<std::string>().find("400 of 4000"), std::string::npos);
  EXPECT_FALSE(json["frames"][2]["written"].get<bool>());
  EXPECT_NE(json["frames"][2]["error"].get<std::string>().find("no pixel whose R, G and B are all finite"),
            std::string::npos);

  // A Reference without a finite colour fails the frame as well, in either mode.
  const ToolRun same = vantrel({"s.1.exr", "s.3.exr", "-o", "x.exr", "--mode", "same"});
  EXPECT_EQ(same.status, 1);
  EXPECT_NE(same.err.find("error: REFERENCE 's.3.exr' has no pixel"), std::string::npos) << same.err;
  EXPECT_FALSE(std::filesystem::exists(dir / "x.exr"));
}

// docs/colour.md's camera examples, typed as printed beside camera plates.
TEST_F(Hdr, TheCameraFootageExamplesRunAsPrinted) {
  const std::string example =
      documentedExample(std::string(VANTREL_SOURCE_DIR) + "/docs/colour.md", "<!-- example: camera -->");
  ASSERT_NE(example.find("--source-space logc3"), std::string::npos);
  writeLogDpx(dir / "plate.dpx", plate("rocket.jpg", 2.0f));
  writeLogDpx(dir / "grade.dpx", plate("coffee.png", 1.0f));
  writeLogDpx(dir / "plate-graded.dpx", warmer(plate("rocket.jpg", 2.0f)));
  std::ofstream(dir / "example.sh") << example;
  const std::string path = "PATH=" + std::filesystem::path(toolPath()).parent_path().string() + ":" +
                           (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
  const ToolRun run = runTool("/bin/bash", {"-e", "example.sh"}, {path}, dir.path);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err.find("logarithmic"), std::string::npos) << run.err;
  // The second command names no space for the first's Output: the file does.
  size_t lines = 0;
  for (size_t at = run.out.find("Colour: Source in ARRI LogC3 (EI800) - AWG"); at != std::string::npos;
       at = run.out.find("Colour: Source in ARRI LogC3 (EI800) - AWG", at + 1))
    ++lines;
  EXPECT_EQ(lines, 2u) << run.out;
  const nlohmann::json same = report("same.json")["frames"][0];
  EXPECT_EQ(same["working_space_from"], "default, Source above 1");
  EXPECT_LT(figure(same, "after"), 0.7 * figure(same, "before"));
}

// Files that do not say their space: a linear Source written into a picture for display comes
// out in sRGB (--output-space still chooses), an EXR of log codes gets a warning that a linear
// one does not, and a 10-bit log DPX decoded a hair below 0 near black is no clipping.
TEST_F(Hdr, UnnamedSpacesAreTakenAsAViewerAndAReaderWouldTakeThem) {
  const Image linear = plate("rocket.jpg", 1.0f);
  writeRawImage(dir / "linear.exr", linear, SampleDepth::Half);
  writeRawImage(dir / "log.exr", converted(linear, "lin_rec709", "logc3"), SampleDepth::Half);
  ToolRun run =
      vantrel({"linear.exr", photoPath("coffee.png"), "-o", "out.jpg", "--mix", "0", "--report-json", "j.json"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err.find("warning"), std::string::npos) << run.err;
  nlohmann::json spaces = report("j.json")["frames"][0]["colour_spaces"];
  EXPECT_EQ(spaces["output"], kSrgbTexture);
  EXPECT_EQ(spaces["output_from"], "display");
  Image photo, written;
  std::string error;
  ASSERT_TRUE(readColourImage(photoPath("rocket.jpg"), photo, error) &&
              readColourImage(dir / "out.jpg", written, error));
  double difference = 0;
  for (size_t i = 0; i < photo.pixels.size(); ++i) difference += std::fabs(photo.pixels[i] - written.pixels[i]);
  EXPECT_LT(difference / double(photo.pixels.size()), 0.01) << "the photograph again, as sRGB codes";
  for (const auto& [output, options, space] :
       {std::tuple<std::string, std::vector<std::string>, std::string>{"out.tif", {"--depth", "16"}, kSrgbTexture},
        {"float.tif", {"--depth", "float"}, kLinearRec709},
        {"out.png", {"--output-space", "lin_rec709"}, kLinearRec709}}) {
    std::vector<std::string> args = {"linear.exr", photoPath("coffee.png"), "-o",    output,
                                     "-q",         "--report-json",         "j.json"};
    args.insert(args.end(), options.begin(), options.end());
    ASSERT_EQ(vantrel(args).status, 0) << output;
    EXPECT_EQ(report("j.json")["frames"][0]["colour_spaces"]["output"], space) << output;
  }

  run = vantrel({"log.exr", "linear.exr", "-o", "o.exr"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("warning: SOURCE 'log.exr': it names no colour space, and its values look like log codes"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(run.err.find("REFERENCE"), std::string::npos) << run.err;
  run = vantrel({"log.exr", "linear.exr", "-o", "o.exr", "--source-space", "logc3"});
  EXPECT_EQ(run.err.find("warning"), std::string::npos) << run.err;

  // A grey scan, a quarter of it at codes 90-94, just under LogC3's black (95): -0.0009 to -0.0002.
  std::vector<uint16_t> codes;
  for (int i = 0; i < 64 * 32; ++i) {
    const uint16_t code = uint16_t(i % 4 == 0 ? 90 + i % 5 : 95 + i % 450);
    codes.insert(codes.end(), {code, code, code});
  }
  OIIO::ImageSpec tenBits(64, 32, 3, OIIO::TypeDesc::UINT16);
  tenBits.attribute("oiio:BitsPerSample", 10);
  auto out = OIIO::ImageOutput::create(dir / "scan.dpx");
  for (uint16_t& code : codes) code = uint16_t(code * 65535 / 1023);
  ASSERT_TRUE(out && out->open(dir / "scan.dpx", tenBits) && out->write_image(OIIO::TypeDesc::UINT16, codes.data()) &&
              out->close());
  run = vantrel({"scan.dpx", photoPath("coffee.png"), "-o", "scan-out.dpx", "--source-space", "logc3",
                 "--working-space", "lin_rec709", "--report-json", "j.json"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err.find("clips"), std::string::npos) << run.err;
}

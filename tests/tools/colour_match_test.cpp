// Colour management end to end: the built tool with the real module, scene-linear plates, and the
// config it writes applied by OpenColorIO itself (the library and ocioconvert).
#include "imaging/colour.h"
#include "support.h"

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <fstream>

namespace {

class ColourMatch : public ::testing::Test {
 protected:
  ScratchDir dir;
  ToolRun vantrel(std::vector<std::string> args, const std::vector<std::string>& env = {}) {
    return runMatch(dir, std::move(args), env);
  }
};

// A scene-linear plate whose top quarter is a sky at about 4.
Image plate(int seed, float gain) {
  Image image = testPicture(96, 64, seed);
  for (size_t i = 0; i < image.pixels.size(); i += 4) {
    const bool sky = i / 4 < 96 * 16;
    for (int c = 0; c < 3; ++c) image.pixels[i + size_t(c)] *= gain * (sky ? 8.0f : 0.7f);
  }
  return image;
}

// The mean of R, G and B over the sky rows.
double skyLevel(const Image& image) {
  double sum = 0;
  for (size_t i = 0; i < size_t(96 * 16); ++i)
    for (int c = 0; c < 3; ++c) sum += image.pixels[i * size_t(image.channels) + size_t(c)];
  return sum / (96 * 16 * 3);
}

double maxDifference(const Image& a, const Image& b) {
  EXPECT_EQ(a.pixels.size(), b.pixels.size());
  double worst = 0;
  for (size_t i = 0; i < a.pixels.size() && i < b.pixels.size(); ++i)
    worst = std::max(worst, double(std::fabs(a.pixels[i] - b.pixels[i])));
  return worst;
}

nlohmann::json readJson(const std::string& path) {
  std::ifstream in(path);
  return nlohmann::json::parse(in);
}

// The Source converted to "Vantrel Match" by OpenColorIO with the written config.
Image throughConfig(const std::string& config, const char* space, Image image) {
  OCIO::ConstConfigRcPtr loaded = OCIO::Config::CreateFromFile(config.c_str());
  OCIO::PackedImageDesc desc(image.pixels.data(), image.width, image.height, image.channels);
  loaded->getProcessor(space, kMatchSpace)->getDefaultCPUProcessor()->apply(desc);
  return image;
}

}  // namespace

TEST_F(ColourMatch, ScaleLinearHighlightsSurviveTheMatchInAcesCctAndByDefault) {
  writeRawImage(dir / "plate.exr", plate(1, 1.0f), SampleDepth::Float);
  writeRawImage(dir / "grade.exr", plate(1, 0.85f), SampleDepth::Float);
  const double sky = skyLevel(plate(1, 1.0f)), gradedSky = skyLevel(plate(1, 0.85f));
  ASSERT_GT(gradedSky, 3.0);

  // In ACEScct, and in the default for such a plate.
  for (const char* space : {"ACEScct", ""}) {
    for (const char* mode : {"same", "different"}) {
      std::vector<std::string> args = {"plate.exr", "grade.exr",     "-o",      "cct.exr", "--mode",
                                       mode,        "--report-json", "cct.json"};
      if (*space) args.insert(args.end(), {"--working-space", space});
      const ToolRun run = vantrel(args);
      ASSERT_EQ(run.status, 0) << run.err;
      const double out = skyLevel(readRawImage(dir / "cct.exr"));
      EXPECT_GT(out, 0.9 * gradedSky) << mode << space;
      EXPECT_LT(out, 1.1 * sky) << mode << space;
      const nlohmann::json report = readJson(dir / "cct.json");
      EXPECT_EQ(report["settings"]["working_space"], *space ? space : report["frames"][0]["working_space"]);
      EXPECT_DOUBLE_EQ(report["frames"][0]["clipped_share"].get<double>(), 0.0) << mode << space;
      EXPECT_TRUE(report["frames"][0]["warnings"].empty()) << report["frames"][0]["warnings"];
    }
  }

  // Where the table ends at 1, the sky is clipped, counted and warned about.
  const ToolRun run =
      vantrel({"plate.exr", "grade.exr", "-o", "lin.exr", "--mode", "same", "--working-space", "lin_rec709"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_LE(skyLevel(readRawImage(dir / "lin.exr")), 1.0);
  EXPECT_NE(run.err.find("warning: 25.00% of the Source pixels have R, G or B outside 0..1 in Linear Rec.709 "
                         "(sRGB), which the match clips (its table covers 0..1); without --working-space, a Source "
                         "above 1 is matched in a space that holds its highlights"),
            std::string::npos)
      << run.err;
}

TEST_F(ColourMatch, TheWrittenConfigAppliesTheWholeMatchInOpenColorIO) {
  // sRGB code values in a float file, so that nothing is lost to 8-bit rounding.
  Image source = testPicture(80, 60, 3), reference = testPicture(80, 60, 7);
  writeRawImage(dir / "source.exr", source, SampleDepth::Float);
  writeRawImage(dir / "reference.exr", reference, SampleDepth::Float);
  ASSERT_EQ(mkdir((dir / "luts").c_str(), 0755), 0);

  // Different Clips in linear light, its .cube beside the config; Same Frame in ACEScct with
  // its .cube in another folder.
  ToolRun run = vantrel({"source.exr", "reference.exr", "-o", "dc.exr", "--source-space", "srgb", "--reference-space",
                         "srgb", "--ocio-config-out", "dc.ocio"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("vantrel: dc.cube maps Linear Rec.709 (sRGB) values: apply it between conversions into "
                         "and out of Linear Rec.709 (sRGB), as dc.ocio does\n"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(run.err.substr(run.err.rfind('\n', run.err.size() - 2) + 1).rfind("vantrel: dc.cube maps", 0), 0u)
      << "the last line names the working space";
  run = vantrel({"source.exr", "reference.exr", "-o", "sf.exr", "--mode", "same", "--source-space", "srgb",
                 "--reference-space", "srgb", "--working-space", "acescct", "--cube", "luts/sf.cube",
                 "--ocio-config-out", "sf.ocio"});
  ASSERT_EQ(run.status, 0) << run.err;

  const Image dc = readRawImage(dir / "dc.exr"), sf = readRawImage(dir / "sf.exr");
  EXPECT_GT(maxDifference(dc, source), 0.05);
  EXPECT_GT(maxDifference(sf, source), 0.05);
  EXPECT_LT(maxDifference(throughConfig(dir / "dc.ocio", "sRGB - Texture", source), dc), 2e-3);
  EXPECT_LT(maxDifference(throughConfig(dir / "sf.ocio", "srgb", source), sf), 2e-3);

  // A config and its .cube moved together still work: the .cube is named relative to it.
  ScratchDir moved;
  std::filesystem::copy_file(dir / "dc.ocio", moved / "dc.ocio");
  std::filesystem::copy_file(dir / "dc.cube", moved / "dc.cube");
  std::filesystem::remove(dir / "dc.cube");
  EXPECT_LT(maxDifference(throughConfig(moved / "dc.ocio", "sRGB - Texture", source), dc), 2e-3);

  // OpenColorIO's own command-line converter, as a user would run it.
  const ToolRun convert =
      runTool("/usr/bin/ocioconvert", {dir / "source.exr", "sRGB - Texture", dir / "via.exr", "Vantrel Match"},
              {"OCIO=" + (dir / "sf.ocio")});
  ASSERT_EQ(convert.status, 0) << "ocioconvert (Debian's opencolorio-tools) failed: " << convert.err << convert.out;
  EXPECT_LT(maxDifference(readRawImage(dir / "via.exr"), sf), 2e-3);
}

TEST_F(ColourMatch, AUsersConfigWithRelativeLutsGoesIntoTheWrittenConfig) {
  // A camera log space defined by a 1D LUT the config finds through a relative search path.
  std::filesystem::create_directories(dir / "show/luts");
  {
    std::ofstream lut(dir / "show/luts/log_to_lin.cube");
    lut << "LUT_1D_SIZE 64\n";
    for (int i = 0; i < 64; ++i) {
      const double v = std::pow(2.0, (i / 63.0) * 8.0 - 6.0) - 0.015;
      lut << v << " " << v << " " << v << "\n";
    }
    std::ofstream config(dir / "show/config.ocio");
    config << "ocio_profile_version: 2\nsearch_path: luts\nroles:\n  default: lin\n  scene_linear: lin\n"
              "displays:\n  sRGB:\n    - !<View> {name: Raw, colorspace: lin}\n"
              "colorspaces:\n  - !<ColorSpace>\n    name: lin\n"
              "  - !<ColorSpace>\n    name: Camera Log\n"
              "    to_scene_reference: !<FileTransform> {src: log_to_lin.cube, interpolation: linear}\n";
  }
  const Image source = testPicture(64, 48, 2);
  writeRawImage(dir / "source.exr", source, SampleDepth::Float);
  writeRawImage(dir / "reference.exr", testPicture(64, 48, 5), SampleDepth::Float);
  ASSERT_EQ(mkdir((dir / "out").c_str(), 0755), 0);

  const std::vector<std::string> args = {
      "source.exr", "reference.exr",   "-o",  "out/a.exr",         "--source-space", "camera log", "--reference-space",
      "Camera Log", "--working-space", "lin", "--ocio-config-out", "out/look.ocio",  "--report"};
  ToolRun run = vantrel(args, {"OCIO=" + (dir / "show/config.ocio")});
  ASSERT_EQ(run.status, 0) << run.err;
  // Without a linear Rec.709 space or an interchange role there is nothing to measure in.
  EXPECT_NE(run.err.find("warning: no match figures: the " + (dir / "show/config.ocio") + " config has no"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(run.out.find("Source vs Reference"), std::string::npos) << run.out;
  const Image output = readRawImage(dir / "out/a.exr");
  EXPECT_LT(maxDifference(throughConfig(dir / "out/look.ocio", "Camera Log", source), output), 2e-3);

  // --config wins over $OCIO and gives the same pixels.
  std::vector<std::string> explicitConfig = args;
  explicitConfig[3] = "out/b.exr";
  explicitConfig.insert(explicitConfig.end(), {"--config", "show/config.ocio"});
  run = vantrel(explicitConfig, {"OCIO=" + (dir / "nowhere.ocio")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(maxDifference(readRawImage(dir / "out/b.exr"), output), 0.0);
}

TEST_F(ColourMatch, TheOutputSaysItsSpaceAndUnknownMetadataIsWarnedAbout) {
  // An Output written in ACEScct is read back as ACEScct, not as the sRGB of its 8 bits.
  ToolRun run =
      vantrel({photoPath("chelsea.png"), photoPath("coffee.png"), "-o", "cct.png", "--output-space", "acescct"});
  ASSERT_EQ(run.status, 0) << run.err;
  run = vantrel({"cct.png", photoPath("coffee.png"), "-o", "again.png", "--report-json", "again.json"});
  ASSERT_EQ(run.status, 0) << run.err;
  const nlohmann::json spaces = readJson(dir / "again.json")["frames"][0]["colour_spaces"];
  EXPECT_EQ(spaces["source"], "ACEScct");
  EXPECT_EQ(spaces["source_from"], "metadata");
  EXPECT_EQ(spaces["output"], "ACEScct");

  // A name the config does not know: the default, and one warning that says so.
  Image picture = testPicture(32, 24);
  OIIO::ImageSpec header(32, 24, 4, OIIO::TypeDesc::UINT8);
  header.attribute("oiio:ColorSpace", "Film Print");
  auto out = OIIO::ImageOutput::create(dir / "log.png");
  ASSERT_TRUE(out && out->open(dir / "log.png", header) && out->write_image(OIIO::TypeFloat, picture.pixels.data()) &&
              out->close());
  run = vantrel({"log.png", photoPath("coffee.png"), "-o", "log-out.png"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("vantrel: warning: SOURCE 'log.png': its colour space 'Film Print' names no colour space "
                         "of the built-in config; taken as sRGB - Texture (--source-space chooses)\n"),
            std::string::npos)
      << run.err;
}

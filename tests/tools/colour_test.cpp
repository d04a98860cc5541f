// The built-in colour spaces against OpenColorIO's own transforms, the names users give, what
// files say of their space, and figures measured through another config's interchange role.
#include "imaging/colour.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

// Colours from deep shadow to highlights, one per pixel, alpha 0.5 to see it left alone.
std::vector<float> samples(float top) {
  std::vector<float> px;
  const float values[] = {0.0f, 0.002f, 0.018f, 0.18f, 0.5f, 0.9f, 1.0f};
  for (float r : values)
    for (float g : values)
      for (float b : values) px.insert(px.end(), {r * top, g * top, b * top, 0.5f});
  return px;
}

OCIO::ConstTransformRcPtr builtin(const char* style, bool inverse = false) {
  auto t = OCIO::BuiltinTransform::Create();
  t->setStyle(style);
  if (inverse) t->setDirection(OCIO::TRANSFORM_DIR_INVERSE);
  return t;
}

std::vector<float> through(const ColourConfig& config, const char* from, const char* to, std::vector<float> px) {
  Conversion c;
  std::string error;
  EXPECT_TRUE(makeConversion(config, from, to, c, error)) << error;
  c.apply(px.data(), px.size() / 4, 4);
  return px;
}

std::vector<float> through(std::initializer_list<OCIO::ConstTransformRcPtr> steps, std::vector<float> px) {
  auto group = OCIO::GroupTransform::Create();
  for (const auto& step : steps) group->appendTransform(step->createEditableCopy());
  OCIO::PackedImageDesc desc(px.data(), long(px.size() / 4), 1, 4);
  OCIO::Config::CreateRaw()->getProcessor(group)->getDefaultCPUProcessor()->apply(desc);
  return px;
}

double worst(const std::vector<float>& a, const std::vector<float>& b) {
  double w = 0;
  for (size_t i = 0; i < a.size(); ++i)
    w = std::max(w, std::fabs(double(a[i]) - double(b[i])) / std::max(1.0, std::fabs(double(b[i]))));
  return w;
}

const ColourConfig builtIn{builtInConfig(), "built-in"};

}  // namespace

TEST(Colour, BuiltInSpacesAgreeWithOpenColorIOsOwnTransforms) {
  const auto ap1To709 = builtin("UTILITY - ACES-AP1_to_LINEAR-REC709_BFD");
  const auto ap0ToAp1 = builtin("ACEScg_to_ACES2065-1", true);
  // Linear Rec.709 to CIE XYZ (D65) through AP1, then the display encodings.
  const auto toXyz = {builtin("UTILITY - ACES-AP1_to_LINEAR-REC709_BFD", true),
                      builtin("UTILITY - ACES-AP1_to_CIE-XYZ-D65_BFD")};
  const std::vector<float> linear = samples(1.0f), hdr = samples(4.0f);

  EXPECT_LT(worst(through(builtIn, kAcesCg, kLinearRec709, hdr), through({ap1To709}, hdr)), 2e-6);
  EXPECT_LT(worst(through(builtIn, kAces2065, kLinearRec709, hdr), through({ap0ToAp1, ap1To709}, hdr)), 2e-6);
  EXPECT_LT(worst(through(builtIn, "acescct", kLinearRec709, linear),
                  through({builtin("ACEScct_to_ACES2065-1"), ap0ToAp1, ap1To709}, linear)),
            2e-6);
  auto display = [&](const char* style) {
    auto group = OCIO::GroupTransform::Create();
    for (const auto& t : toXyz) group->appendTransform(t->createEditableCopy());
    group->appendTransform(builtin(style)->createEditableCopy());
    return through({group}, linear);
  };
  EXPECT_LT(worst(through(builtIn, kLinearRec709, "SRGB", linear), display("DISPLAY - CIE-XYZ-D65_to_sRGB")), 2e-5);
  const std::vector<float> rec709 = display("DISPLAY - CIE-XYZ-D65_to_REC.1886-REC.709");
  EXPECT_LT(worst(through(builtIn, kLinearRec709, "rec709", linear), rec709), 2e-5);
  std::vector<float> headroom = rec709;
  for (size_t i = 0; i < headroom.size(); ++i) headroom[i] *= i % 4 == 3 ? 1.0f : 59.0f / 64.0f;
  EXPECT_LT(worst(through(builtIn, kLinearRec709, "REC709_HEADROOM", linear), headroom), 2e-5);

  // Alpha is never touched, and every space comes back, highlights and values below 0 included.
  std::vector<float> wide = hdr;
  for (size_t i = 0; i < wide.size(); i += 12) wide[i] = -0.01f;
  for (const char* space : {kSrgbTexture, kGamma24Rec709, kHeadroom, kAcesCg, kAcesCct, kAces2065}) {
    const std::vector<float> there = through(builtIn, kLinearRec709, space, wide);
    for (size_t i = 3; i < there.size(); i += 4) ASSERT_EQ(there[i], 0.5f) << space;
    EXPECT_LT(worst(through(builtIn, space, kLinearRec709, there), wide), 1e-5) << space;
  }
}

TEST(Colour, NamesAliasesAndRolesInAnyCase) {
  EXPECT_EQ(resolveSpace(builtIn, "LIN_REC709"), kLinearRec709);
  EXPECT_EQ(resolveSpace(builtIn, "srgb - texture"), kSrgbTexture);
  EXPECT_EQ(resolveSpace(builtIn, "Rec709"), kGamma24Rec709);
  EXPECT_EQ(resolveSpace(builtIn, "acescg"), kAcesCg);
  EXPECT_EQ(resolveSpace(builtIn, "color_timing"), kAcesCct);
  EXPECT_EQ(resolveSpace(builtIn, "log"), "");
  EXPECT_EQ(resolveSpace(builtIn, ""), "");
}

TEST(Colour, AFilesSpaceComesFromItsMetadataElseItsSamples) {
  Image png;
  png.format = "png";
  png.depth = SampleDepth::UInt16;
  EXPECT_EQ(fileSpace(builtIn, png).name, kSrgbTexture);
  EXPECT_EQ(fileSpace(builtIn, png).from, "default");
  png.storedSpace = "Linear";  // a gAMA of 1
  EXPECT_EQ(fileSpace(builtIn, png).name, kLinearRec709);
  EXPECT_EQ(fileSpace(builtIn, png).from, "metadata");
  png.storedSpace = "acescct";  // as the tool writes it
  EXPECT_EQ(fileSpace(builtIn, png).name, kAcesCct);
  png.storedSpace = "GammaCorrected";
  const FileSpace unknown = fileSpace(builtIn, png);
  EXPECT_EQ(unknown.name, kSrgbTexture);
  EXPECT_NE(unknown.note.find("'GammaCorrected' names no colour space of the built-in config"), std::string::npos);

  // An EXR's reader says "Linear" of every file: only its primaries count.
  Image exr;
  exr.format = "openexr";
  exr.depth = SampleDepth::Half;
  exr.storedSpace = "sRGB";
  EXPECT_EQ(fileSpace(builtIn, exr).name, kLinearRec709);
  exr.chromaticities = std::array<float, 8>{0.713f, 0.293f, 0.165f, 0.83f, 0.128f, 0.044f, 0.32168f, 0.33767f};
  EXPECT_EQ(fileSpace(builtIn, exr).name, kAcesCg);
  EXPECT_EQ(spaceMetadata(kAcesCg).primaries, exr.chromaticities);
  exr.chromaticities = std::array<float, 8>{0.68f, 0.32f, 0.265f, 0.69f, 0.15f, 0.06f, 0.3127f, 0.329f};  // P3
  EXPECT_EQ(fileSpace(builtIn, exr).name, kLinearRec709);
  EXPECT_FALSE(fileSpace(builtIn, exr).note.empty());
}

TEST(Colour, FiguresOfAnotherConfigGoThroughItsInterchangeRole) {
  // A config that knows ACES spaces only: its reference is ACES2065-1.
  auto config = OCIO::Config::Create();
  auto aces = OCIO::ColorSpace::Create();
  aces->setName("ACES2065-1");
  config->addColorSpace(aces);
  auto cg = OCIO::ColorSpace::Create();
  cg->setName("ACEScg");
  cg->setTransform(builtin("ACEScg_to_ACES2065-1"), OCIO::COLORSPACE_DIR_TO_REFERENCE);
  config->addColorSpace(cg);
  const ColourConfig bare{config, "test"};
  Conversion measure;
  std::string error;
  EXPECT_FALSE(makeMeasureConversion(bare, "ACEScg", measure, error));
  EXPECT_NE(error.find("aces_interchange"), std::string::npos) << error;

  config->setRole("aces_interchange", "ACES2065-1");
  ASSERT_TRUE(makeMeasureConversion(bare, "ACEScg", measure, error)) << error;
  std::vector<float> px = samples(2.0f);
  const std::vector<float> expected = through(builtIn, kAcesCg, kLinearRec709, px);
  measure.apply(px.data(), px.size() / 4, 4);
  EXPECT_LT(worst(px, expected), 1e-4);
}

TEST(Colour, CameraSpacesAreOpenColorIOsOwnCameraTransforms) {
  // Code values across each curve's range, from below its black to its top.
  std::vector<float> codes;
  for (float v : {0.0f, 0.05f, 0.1f, 0.25f, 0.4f, 0.55f, 0.7f, 0.85f, 1.0f})
    codes.insert(codes.end(), {v, 0.4f, 1 - v, 1});
  for (const CameraSpace& camera : kCameraSpaces) {
    EXPECT_EQ(resolveSpace(builtIn, camera.alias), camera.name);
    const std::vector<float> aces = through({builtin(camera.builtinStyle)}, codes);
    EXPECT_LT(worst(through(builtIn, camera.alias, kAces2065, codes), aces), 1e-5) << camera.alias;
    EXPECT_LT(worst(through(builtIn, kAces2065, camera.alias, aces), codes), 1e-4) << camera.alias;
  }
  // S-Gamut3 and S-Gamut3.Cine share the curve but not the primaries.
  EXPECT_GT(
      worst(through(builtIn, "slog3", kLinearRec709, codes), through(builtIn, "slog3_cine", kLinearRec709, codes)),
      0.01);
}

TEST(Colour, TheSpacesForHighlightsHoldTheirTopWithBlackAtZero) {
  const std::vector<float> linear = samples(64.0f);
  for (const int top : kHighlightTops) {
    for (const bool sameFrame : {false, true}) {
      const std::string space = highlightSpace(sameFrame, top);
      // Black is code 0 both ways; the top sits at 1 (Different Clips) or at 59/64, clear of the
      // Same Frame smoothing's outer steps; a Different Clips space is linear light.
      const float code = sameFrame ? 59.0f / 64.0f : 1.0f;
      const std::vector<float> ends = through(builtIn, space.c_str(), kLinearRec709, {0, 0, 0, 1, code, code, code, 1});
      EXPECT_GE(ends[0], 0.0f) << space;
      EXPECT_LT(ends[0], 1e-8f) << space;
      EXPECT_NEAR(ends[4], float(top), 1e-4f * float(top)) << space;
      EXPECT_EQ(through(builtIn, kLinearRec709, space.c_str(), {0, 0, 0, 1})[0], 0.0f) << space;
      EXPECT_EQ(isLinearLight(builtIn, space), !sameFrame) << space;
      EXPECT_LT(
          worst(through(builtIn, space.c_str(), kLinearRec709, through(builtIn, kLinearRec709, space.c_str(), linear)),
                linear),
          1e-5)
          << space;
    }
  }
  // Up to 8 the Same Frame spaces are the headroom space stretched; from 16 a log curve, which
  // gives the dark half of a plate more of the table.
  const std::vector<float> mid = {0.5f, 0.5f, 0.5f, 1};
  EXPECT_NEAR(through(builtIn, "rec709_headroom_4", kLinearRec709, mid)[0],
              4.0f * through(builtIn, "rec709_headroom", kLinearRec709, mid)[0], 1e-5f);
  EXPECT_LT(through(builtIn, "log_rec709_16", kLinearRec709, mid)[0], 0.2f);
}

TEST(Colour, LinearLightIsTellingFromTheConversion) {
  for (const char* space : {"lin_rec709", "acescg", "aces", "lin_rec709_16"})
    EXPECT_TRUE(isLinearLight(builtIn, space)) << space;
  for (const char* space : {"srgb", "rec709", "rec709_headroom", "acescct", "log_rec709", "logc3", "vlog"})
    EXPECT_FALSE(isLinearLight(builtIn, space)) << space;
}

TEST(Colour, AFileNamedByThisToolOrSayingItIsLogarithmic) {
  Image dpx;
  dpx.format = "dpx";
  dpx.depth = SampleDepth::UInt16;
  dpx.namedSpace = "ARRI LogC3 (EI800) - AWG";
  dpx.transfer = "Logarithmic";
  dpx.storedSpace = "KodakLog";
  EXPECT_EQ(fileSpace(builtIn, dpx).name, "ARRI LogC3 (EI800) - AWG");
  EXPECT_EQ(fileSpace(builtIn, dpx).from, "metadata");
  // Log, but not which log: the default, said to be wrong.
  dpx.namedSpace.clear();
  FileSpace log = fileSpace(builtIn, dpx);
  EXPECT_EQ(log.name, kSrgbTexture);
  EXPECT_TRUE(log.logarithmic);
  EXPECT_NE(log.note.find("DPX transfer characteristic 'Logarithmic'"), std::string::npos) << log.note;
  dpx.transfer = "Printing density";
  EXPECT_TRUE(fileSpace(builtIn, dpx).logarithmic);
  dpx.transfer = "ITU-R 709-4";
  dpx.storedSpace = "Rec709";
  EXPECT_FALSE(fileSpace(builtIn, dpx).logarithmic);
  Image cineon;
  cineon.format = "cineon";
  cineon.depth = SampleDepth::UInt16;
  EXPECT_TRUE(fileSpace(builtIn, cineon).logarithmic);
  // An EXR this tool wrote in a log space names it; its missing primaries do not count.
  Image exr;
  exr.format = "openexr";
  exr.depth = SampleDepth::Float;
  exr.namedSpace = "acescct";
  EXPECT_EQ(fileSpace(builtIn, exr).name, kAcesCct);
  EXPECT_EQ(logSpaces(builtIn).size(), 1u + std::size(kCameraSpaces));  // ACEScct and the cameras
}

// The exports of a match in a plate encoding: the shaper .cube read back by OpenColorIO against the
// render it stands for, and the .cdl fitted to log code values or refused for scene-linear light.
#ifdef VANTREL_HAVE_LINUX_LIBRARIES
#include <OpenColorIO/OpenColorIO.h>

#include <cmath>
#include <string>
#include <vector>

#include "encoding/plate_encoding.h"
#include "export_test_util.h"
#include "render_harness.h"

namespace OCIO = OCIO_NAMESPACE;
using namespace rendertest;

namespace {

// A photograph in linear light with its highlights up to 12, and another scaled to 6.
Picture lightOf(const std::string& name, float peak, bool stretch) {
  Picture p = photo(name, 80, 60);
  for (size_t i = 0; i < p.rgba.size(); ++i) {
    if (i % 4 == 3) continue;
    const float v = std::pow(p.rgba[i], 2.2f);
    p.rgba[i] = stretch ? 2.0f * v / (1.0f - (1.0f - 2.0f / peak) * v * v) : peak * v;
  }
  return p;
}

Picture encoded(const Picture& light, PlateEncoding e) {
  Picture p = light;
  for (size_t i = 0; i < p.rgba.size(); ++i)
    if (i % 4 != 3) p.rgba[i] = float(linearToPlate(e, light.rgba[i]));
  return p;
}

struct Case {
  PlateEncoding encoding;
  int mode, fit;
  float tolerance;  // relative to the rendered value, at least 1e-4
};

}  // namespace

// Shaper, then trilinear 3D table, as OpenColorIO applies the file, gives the render back within
// its range: within 1e-5 (relative above 1) for scene-linear light matched in linear light,
// within 1e-3 of the code values of a log plate, and within 0.7% for scene-linear light matched
// in a log space (there the file's table holds light, interpolated between its points, where the
// effect interpolates code values).
TEST(PlateExport, ShaperCubeGivesTheRenderBack) {
  const Case cases[] = {{PlateEncoding::SceneLinear, 0, 0, 1e-5f}, {PlateEncoding::SceneLinear, 1, 1, 7e-3f},
                        {PlateEncoding::SceneLinear, 1, 0, 7e-3f}, {PlateEncoding::ArriLogC3, 0, 0, 1e-3f},
                        {PlateEncoding::SonyLog3, 1, 1, 1e-3f},    {PlateEncoding::AcesCct, 1, 0, 1e-3f}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << kPlateEncodingLabels[int(c.encoding)] << " mode " << c.mode << " fit "
                                      << c.fit);
    const Picture source = encoded(lightOf("coffee.png", 12.0f, true), c.encoding);
    const Picture reference =
        encoded(lightOf(c.mode == 1 ? "coffee.png" : "chelsea.png", 6.0f, c.mode == 1), c.encoding);
    ScratchDir dir;
    Session s;
    s.setChoice("plateEncoding", int(c.encoding));
    s.setChoice("matchMode", c.mode);
    s.setChoice("sameFrameFit", c.fit);
    s.set("strength", 0.9);
    s.set("strengthG", 0.8);
    s.attach("Source", source);
    s.attach("Reference", reference);
    s.attachOutput(OfxRectI{0, 0, source.width, source.height});
    ASSERT_EQ(s.render(), kOfxStatOK);
    const std::vector<float> rendered = s.output();
    s.host().setParamString(s.instance(), "exportPath", dir.file("look.cube"));
    ASSERT_EQ(s.host().instanceChanged(s.instance(), kOfxTypeParameter, "exportButton"), kOfxStatReplyDefault);

    const std::string text = readFile(dir.file("look.cube"));
    ASSERT_EQ(text.rfind("# Vantrel LUT\n# Baked strength: Mix=0.9000, R=1.0000, G=0.8000, B=1.0000\n", 0), 0u);
    EXPECT_NE(text.find(std::string("# Plate encoding: ") + kPlateEncodingLabels[int(c.encoding)]), std::string::npos);
    EXPECT_NE(text.find("\nLUT_1D_SIZE 4096\nLUT_1D_INPUT_RANGE "), std::string::npos);
    EXPECT_NE(text.find("\nLUT_3D_SIZE 65\n"), std::string::npos);

    auto config = OCIO::Config::CreateRaw();
    auto file = OCIO::FileTransform::Create();
    file->setSrc(dir.file("look.cube").c_str());
    file->setInterpolation(OCIO::INTERP_LINEAR);
    auto cpu = config->getProcessor(file)->getOptimizedCPUProcessor(OCIO::OPTIMIZATION_NONE);
    const PlateTransform& plate = s.record().lutPlate;
    const double end = workingSpaceEnd(plate.space);
    double worst = 0.0;
    int compared = 0;
    for (size_t p = 0; p < rendered.size(); p += 4) {
      float rgb[3] = {source.rgba[p], source.rgba[p + 1], source.rgba[p + 2]};
      const double largest = std::max(
          {plateToLinear(c.encoding, rgb[0]), plateToLinear(c.encoding, rgb[1]), plateToLinear(c.encoding, rgb[2])});
      if (largest > end) continue;  // the effect continues these along their ray; the file holds them
      cpu->applyRGB(rgb);
      for (int k = 0; k < 3; ++k)
        worst =
            std::max(worst, std::fabs(rgb[k] - rendered[p + k]) / std::max(1.0, std::fabs(double(rendered[p + k]))));
      ++compared;
    }
    EXPECT_GT(compared, int(rendered.size() / 4 * 9 / 10));
    EXPECT_LE(worst, c.tolerance);
  }
}

// A .cdl of a log plate's match fits the code values the host delivers: its slope and offset are
// the least-squares line through the effect's render of a grey ramp of code values 0..1. One of
// scene-linear light is refused with a message, and nothing is written.
TEST(PlateExport, CdlFitsLogCodeValuesAndRefusesSceneLinear) {
  for (PlateEncoding e : {PlateEncoding::ArriLogC3, PlateEncoding::SceneLinear}) {
    SCOPED_TRACE(kPlateEncodingLabels[int(e)]);
    ScratchDir dir;
    ofxhost::TestingOptions options;
    options.captureStderr = true;
    Session s(options);
    s.setChoice("plateEncoding", int(e));
    const Picture source = encoded(lightOf("coffee.png", 12.0f, true), e);
    auto image = s.attach("Source", source);
    s.attach("Reference", encoded(lightOf("chelsea.png", 6.0f, false), e));
    s.attachOutput(OfxRectI{0, 0, source.width, source.height});
    ASSERT_EQ(s.render(), kOfxStatOK);
    s.host().setParamString(s.instance(), "exportPath", dir.file("look.cdl"));
    s.host().clearMessages();
    ASSERT_EQ(s.host().instanceChanged(s.instance(), kOfxTypeParameter, "exportCDLButton"),
              e == PlateEncoding::SceneLinear ? kOfxStatOK : kOfxStatReplyDefault);
    const auto messages = s.host().messages();
    ASSERT_EQ(messages.size(), 1u);
    if (e == PlateEncoding::SceneLinear) {
      EXPECT_EQ(messages[0].type, kOfxMessageError);
      EXPECT_EQ(messages[0].text.rfind("A .cdl cannot carry a match of scene-linear light", 0), 0u);
      EXPECT_EQ(s.host().lastStderr(), "Vantrel: CDL Export refused - the match is of scene-linear light\n");
      EXPECT_TRUE(dir.entries().empty());
      continue;
    }
    // The grey ramp through the same cached match (same time and settings: no rebuild).
    Picture ramp = source;
    for (int i = 0; i < source.width * source.height; ++i) {
      const float v = float(std::min(i, 64)) / 64.0f;
      for (int c = 0; c < 3; ++c) ramp.rgba[size_t(i) * 4 + c] = v;
    }
    Session::overwrite(*image, ramp);
    ASSERT_EQ(s.render(), kOfxStatOK);
    const std::vector<float> out = s.output();
    const std::string text = readFile(dir.file("look.cdl"));
    float slope[3], offset[3];
    ASSERT_EQ(std::sscanf(text.c_str() + text.find("<Slope>"), "<Slope>%f %f %f", &slope[0], &slope[1], &slope[2]), 3);
    ASSERT_EQ(std::sscanf(text.c_str() + text.find("<Offset>"), "<Offset>%f %f %f", &offset[0], &offset[1], &offset[2]),
              3);
    for (int c = 0; c < 3; ++c) {
      double sx = 0, sy = 0, sxy = 0, sxx = 0;
      for (int j = 0; j <= 64; ++j) {
        const double x = j / 64.0, y = out[size_t(j) * 4 + c];
        sx += x, sy += y, sxy += x * y, sxx += x * x;
      }
      const double fitted = (sxy * 65 - sx * sy) / (sxx * 65 - sx * sx);
      EXPECT_NEAR(slope[c], fitted, 1e-4) << "channel " << c;
      EXPECT_NEAR(offset[c], (sy - fitted * sx) / 65, 1e-4) << "channel " << c;
    }
  }
}

#endif

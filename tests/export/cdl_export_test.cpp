#ifdef VANTREL_HAVE_LINUX_LIBRARIES
#include <OpenColorIO/OpenColorIO.h>
#endif

#include <string>

#include "export_test_util.h"
#include "module_fixture.h"

namespace {

using CDLExport = ModuleTest;

TEST_F(CDLExport, WritesBesideTheCubeAndLeavesThePath) {
  ScratchDir dir;
  installLut([](float r, float g, float b, float* out) {
    out[0] = 0.5f * r + 0.1f;
    out[1] = 0.5f * g + 0.1f;
    out[2] = 0.5f * b + 0.1f;
  });
  host_.setParamString(instance_, "exportPath", dir.file("look"));
  ASSERT_EQ(change("exportButton"), kOfxStatReplyDefault);
  ASSERT_EQ(exportPath(), dir.file("look.cube"));
  host_.clearMessages();

  EXPECT_EQ(change("exportCDLButton"), kOfxStatReplyDefault);
  EXPECT_EQ(host_.lastStderr(), "Vantrel: CDL Export successful\n");
  const std::string path = dir.file("look.cdl");
  auto messages = host_.messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].type, kOfxMessageMessage);
  EXPECT_FALSE(messages[0].id.has_value());
  EXPECT_EQ(messages[0].text, "CDL saved to:\n" + path);
  EXPECT_EQ(exportPath(), dir.file("look.cube"));
  EXPECT_EQ(readFile(path),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<ColorCorrectionCollection xmlns=\"urn:ASC:CDL:v1.01\">\n"
            "  <ColorCorrection id=\"Vantrel\">\n"
            "    <SOPNode>\n"
            "      <Slope>0.500000 0.500000 0.500000</Slope>\n"
            "      <Offset>0.100000 0.100000 0.100000</Offset>\n"
            "      <Power>1.000000 1.000000 1.000000</Power>\n"
            "    </SOPNode>\n"
            "    <SatNode>\n"
            "      <Saturation>0.500000</Saturation>\n"
            "    </SatNode>\n"
            "  </ColorCorrection>\n"
            "</ColorCorrectionCollection>\n");
}

TEST_F(CDLExport, MixesDoNotChangeTheFile) {
  ScratchDir dir;
  installLut([](float r, float g, float b, float* out) {
    out[0] = 0.8f * r + 0.05f;
    out[1] = 0.9f * g;
    out[2] = 0.3f + 0.6f * b * b;
  });
  host_.setParamString(instance_, "exportPath", dir.file("a.cdl"));
  setMixes(1, 1, 1, 1);
  ASSERT_EQ(change("exportCDLButton"), kOfxStatReplyDefault);
  host_.setParamString(instance_, "exportPath", dir.file("b"));
  setMixes(0, 0.3, 0.2, 0.1);
  ASSERT_EQ(change("exportCDLButton"), kOfxStatReplyDefault);
  EXPECT_EQ(readFile(dir.file("a.cdl")), readFile(dir.file("b.cdl")));
  EXPECT_EQ(exportPath(), dir.file("b"));
}

#ifdef VANTREL_HAVE_LINUX_LIBRARIES
// A colour pipeline reads back what was written.
TEST_F(CDLExport, ReadsBackInOpenColorIO) {
  namespace OCIO = OCIO_NAMESPACE;
  ScratchDir dir;
  installLut([](float r, float g, float b, float* out) {
    float y = 0.2126f * r + 0.7152f * g + 0.0722f * b;
    out[0] = 0.1f + 0.7f * (y + 0.5f * (r - y));
    out[1] = 0.05f + 0.8f * (y + 0.5f * (g - y));
    out[2] = 0.9f * (y + 0.5f * (b - y));
  });
  host_.setParamString(instance_, "exportPath", dir.file("look.cdl"));
  ASSERT_EQ(change("exportCDLButton"), kOfxStatReplyDefault);
  const std::string text = readFile(dir.file("look.cdl"));
  OCIO::CDLTransformRcPtr cdl = OCIO::CDLTransform::CreateFromFile(dir.file("look.cdl").c_str(), "");
  double slope[3], offset[3], power[3];
  cdl->getSlope(slope);
  cdl->getOffset(offset);
  cdl->getPower(power);
  EXPECT_NEAR(slope[0], 0.7, 1e-5);
  EXPECT_NEAR(slope[1], 0.8, 1e-5);
  EXPECT_NEAR(slope[2], 0.9, 1e-5);
  EXPECT_NEAR(offset[0], 0.1, 1e-5);
  EXPECT_NEAR(offset[1], 0.05, 1e-5);
  EXPECT_NEAR(offset[2], 0.0, 1e-5);
  for (double p : power) EXPECT_EQ(p, 1.0);
  EXPECT_GT(cdl->getSat(), 0.3);
  EXPECT_LT(cdl->getSat(), 0.7);
  // The file's own six-decimal figures are what the reader returns.
  char written[64];
  snprintf(written, sizeof written, "<Saturation>%.6f</Saturation>", cdl->getSat());
  EXPECT_NE(text.find(written), std::string::npos);
  EXPECT_EQ(cdl->getID(), std::string("Vantrel"));
}
#endif

TEST_F(CDLExport, UnwritablePathsFailCleanly) {
  ScratchDir dir;
  installIdentity();
  const std::string paths[] = {dir.file("missing/look.cube"), dir.file(std::string(1100, 'x')),
                               dir.path() + "/" + std::string(1020 - dir.path().size(), 'y')};
  for (const std::string& path : paths) {
    host_.setParamString(instance_, "exportPath", path);
    host_.clearMessages();
    EXPECT_EQ(change("exportCDLButton"), kOfxStatReplyDefault);
    EXPECT_EQ(host_.lastStderr(), "Vantrel: CDL Export FAILED\n") << path;
    auto messages = host_.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].type, kOfxMessageError);
    EXPECT_EQ(messages[0].text, "Failed to save .cdl file");
    EXPECT_EQ(exportPath(), path);
  }
  EXPECT_TRUE(dir.entries().empty());
}

}  // namespace

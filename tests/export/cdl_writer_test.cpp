#include "export/cdl_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "export_test_util.h"

namespace {

std::string document(const CDLValues& cdl) {
  char text[2048];
  size_t n = formatCDLDocument(cdl, text, sizeof text);
  return std::string(text, n < sizeof text ? n : 0);
}

std::string documentOf(TestLut& t) { return document(fitCDL(t.lut)); }

std::string expectedDocument(const char* slope, const char* offset, const char* saturation) {
  return std::string(
             "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
             "<ColorCorrectionCollection xmlns=\"urn:ASC:CDL:v1.01\">\n"
             "  <ColorCorrection id=\"Vantrel\">\n"
             "    <SOPNode>\n"
             "      <Slope>") +
         slope + "</Slope>\n      <Offset>" + offset +
         "</Offset>\n"
         "      <Power>1.000000 1.000000 1.000000</Power>\n"
         "    </SOPNode>\n"
         "    <SatNode>\n"
         "      <Saturation>" +
         saturation +
         "</Saturation>\n"
         "    </SatNode>\n"
         "  </ColorCorrection>\n"
         "</ColorCorrectionCollection>\n";
}

TEST(CDLFit, WorkedCases) {
  TestLut t(kLutSize);
  t.fill([](float r, float g, float b, float* out) {
    out[0] = r;
    out[1] = g;
    out[2] = b;
  });
  EXPECT_EQ(documentOf(t), expectedDocument("1.000000 1.000000 1.000000", "0.000000 0.000000 0.000000", "1.000000"));

  t.fill([](float r, float g, float b, float* out) {
    out[0] = 0.5f * r + 0.1f;
    out[1] = 0.5f * g + 0.1f;
    out[2] = 0.5f * b + 0.1f;
  });
  EXPECT_EQ(documentOf(t), expectedDocument("0.500000 0.500000 0.500000", "0.100000 0.100000 0.100000", "0.500000"));

  t.fill([](float r, float g, float b, float* out) {
    float y = 0.2126f * r + 0.7152f * g + 0.0722f * b;
    out[0] = out[1] = out[2] = y;
  });
  EXPECT_EQ(documentOf(t), expectedDocument("1.000000 1.000000 1.000000", "0.000000 0.000000 0.000000", "0.000000"));
}

TEST(CDLFit, ClampsSlopeOffsetAndSaturation) {
  TestLut t(kLutSize);
  // Red: slope 5; green: falling; blue: flat at 2, so its offset passes 1.
  t.fill([](float r, float g, float, float* out) {
    out[0] = 5.0f * r;
    out[1] = 0.5f - g;
    out[2] = 2.0f;
  });
  CDLValues cdl = fitCDL(t.lut);
  EXPECT_EQ(cdl.slope[0], 4.0f);
  EXPECT_EQ(cdl.slope[1], 0.0f);
  EXPECT_EQ(cdl.offset[2], 1.0f);
  EXPECT_NEAR(cdl.offset[1], 0.5f, 1e-6);

  t.fill([](float, float g, float b, float* out) {
    out[0] = -3.0f;
    out[1] = 10.0f * (g - 0.5f);
    out[2] = b;
  });
  cdl = fitCDL(t.lut);
  EXPECT_EQ(cdl.offset[0], -1.0f);
  EXPECT_EQ(cdl.slope[1], 4.0f);
  EXPECT_EQ(cdl.saturation, 4.0f);
  EXPECT_EQ(document(cdl).find("-1.000000"), document(cdl).find("<Offset>") + 8);
}

TEST(CDLFit, DegenerateLatticesKeepDefaults) {
  TestLut one(2);
  LUT3D single{one.values.data(), 1, true};
  CDLValues cdl = fitCDL(single);
  EXPECT_EQ(document(cdl), expectedDocument("1.000000 1.000000 1.000000", "0.000000 0.000000 0.000000", "1.000000"));

  // A NaN on the grey axis makes the fit meaningless: clamped to the top, never written as "nan".
  TestLut t(3);
  t.fill([](float r, float g, float b, float* out) {
    out[0] = r;
    out[1] = g;
    out[2] = b;
  });
  t.at(1, 1, 1)[0] = NAN;
  cdl = fitCDL(t.lut);
  EXPECT_EQ(cdl.slope[0], 4.0f);
  EXPECT_EQ(document(cdl).find("nan"), std::string::npos);
}

TEST(CDLFile, WritesTheDocument) {
  ScratchDir dir;
  TestLut t(5);
  t.fill([](float r, float g, float b, float* out) {
    out[0] = 0.5f * r + 0.1f;
    out[1] = g;
    out[2] = b;
  });
  std::string path = dir.file("look.cdl");
  ASSERT_TRUE(writeCDLFile(path.c_str(), fitCDL(t.lut)));
  EXPECT_EQ(readFile(path), documentOf(t));
  EXPECT_FALSE(writeCDLFile(dir.file("missing/look.cdl").c_str(), fitCDL(t.lut)));
}

}  // namespace

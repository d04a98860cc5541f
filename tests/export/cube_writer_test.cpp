#include "export/cube_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "export_test_util.h"

namespace {

std::string fast(float v) {
  char out[8];
  formatUnitFixed6(v, out);
  return std::string(out, 8);
}

std::string printed(float v) {
  char out[32];
  snprintf(out, sizeof out, "%.6f", double(v));
  return out;
}

// Every rounding boundary k + 1/2 millionths, with the floats on either side of it; ties such as
// 1/128 round to even there.
TEST(CubeFormat, MatchesPrintfAtEveryRoundingBoundary) {
  int mismatches = 0;
  for (int k = 0; k < 1000000 && mismatches < 5; ++k) {
    float v = float((k + 0.5) / 1e6);
    for (int i = 0; i < 3; ++i) v = std::nextafter(v, 0.0f);
    for (int i = 0; i < 7; ++i, v = std::nextafter(v, 2.0f)) {
      if (v > 1.0f) break;
      if (fast(v) != printed(v)) {
        ADD_FAILURE() << "value " << v << ": " << fast(v) << " vs " << printed(v);
        ++mismatches;
      }
    }
  }
}

TEST(CubeFormat, MatchesPrintfOnRandomFloats) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<uint32_t> bits(0, 0x3f800000u);  // every float in [0, 1]
  std::uniform_real_distribution<float> uniform(0.0f, 1.0f);
  int mismatches = 0;
  for (int i = 0; i < 3000000 && mismatches < 5; ++i) {
    float v;
    if (i % 2) {
      uint32_t b = bits(rng);
      memcpy(&v, &b, 4);
    } else {
      v = uniform(rng);
    }
    if (fast(v) != printed(v)) {
      ADD_FAILURE() << "value " << v << ": " << fast(v) << " vs " << printed(v);
      ++mismatches;
    }
  }
  for (float v : {0.0f, 1.0f, 1.0f / 128, 3.0f / 128, 0.9999995f, 0.99999994f, 5e-7f, 1e-45f}) {
    EXPECT_EQ(fast(v), printed(v)) << v;
  }
}

TEST(CubeFormat, ClampsEntries) {
  EXPECT_EQ(clampCubeEntry(1.3f), 1.0f);
  EXPECT_EQ(clampCubeEntry(-0.2f), 0.0f);
  EXPECT_FALSE(std::signbit(clampCubeEntry(-0.0f)));
  EXPECT_EQ(clampCubeEntry(NAN), 1.0f);
  EXPECT_EQ(clampCubeEntry(INFINITY), 1.0f);
  EXPECT_EQ(clampCubeEntry(-INFINITY), 0.0f);
  EXPECT_EQ(clampCubeEntry(0.25f), 0.25f);
}

// A literal reading of the file format, one snprintf per line, to hold the fast writer against.
std::string referenceCube(const LUT3D& lut, const CubeMixes& m) {
  char line[512];
  float mix = float(m.mix), r = float(m.red), g = float(m.green), b = float(m.blue);
  float sR = mix * r, sG = mix * g, sB = mix * b;
  const int n = lut.size;
  auto at = [&](int i, int j, int k) { return lut.data + ((int64_t(i) * n + j) * n + k) * 3; };
  const float *p0 = at(0, 0, 0), *pm = at(n / 2, n / 2, n / 2), *p1 = at(n - 1, n - 1, n - 1);
  snprintf(line, sizeof line,
           "TITLE \"Vantrel LUT\"\n# Baked strength: Mix=%.4f, R=%.4f, G=%.4f, B=%.4f\n"
           "# Combined: sR=%.4f, sG=%.4f, sB=%.4f\n# LUT size: %d, valid: %d\n"
           "# Raw LUT[0,0,0]: %.4f %.4f %.4f\n# Raw LUT[mid]: %.4f %.4f %.4f\n# Raw LUT[1,1,1]: %.4f %.4f %.4f\n"
           "LUT_3D_SIZE %d\n\n",
           mix, r, g, b, sR, sG, sB, n, 1, p0[0], p0[1], p0[2], pm[0], pm[1], pm[2], p1[0], p1[1], p1[2], n);
  std::string text = line;
  const float d = float(n - 1);
  auto clamp = [](float v) { return v >= 1.0f || std::isnan(v) ? 1.0f : v <= 0.0f ? 0.0f : v; };
  for (int bi = 0; bi < n; ++bi)
    for (int gi = 0; gi < n; ++gi)
      for (int ri = 0; ri < n; ++ri) {
        const float* e = at(ri, gi, bi);
        float vr = float(ri) / d * (1.0f - sR) + sR * e[0];
        float vg = float(gi) / d * (1.0f - sG) + sG * e[1];
        float vb = float(bi) / d * (1.0f - sB) + sB * e[2];
        snprintf(line, sizeof line, "%.6f %.6f %.6f\n", clamp(vr), clamp(vg), clamp(vb));
        text += line;
      }
  return text;
}

TEST(CubeFile, MatchesLiteralWriterOnRandomLattices) {
  ScratchDir dir;
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> value(-0.3f, 1.3f);
  const CubeMixes mixes[] = {{1, 1, 1, 1}, {0.5, 1, 0.5, 0}, {0.37, 0.91, 0.05, 0.66}, {0, 1, 1, 1}};
  for (int32_t size : {2, 5, 17}) {
    TestLut t(size);
    for (float& v : t.values) v = value(rng);
    t.values[7] = NAN;
    for (const CubeMixes& m : mixes) {
      std::string path = dir.file("random.cube");
      ASSERT_TRUE(writeCubeFile(path.c_str(), t.lut, m));
      EXPECT_EQ(readFile(path), referenceCube(t.lut, m)) << "size " << size << " mix " << m.mix;
    }
  }
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

TEST(CubeFile, FullSizeHeaderOrderAndBake) {
  ScratchDir dir;
  TestLut t(kLutSize);
  // Red reversed, green squared, blue pushed out of range at the top: order and clamping show.
  t.fill([](float r, float g, float b, float* out) {
    out[0] = 1.0f - r;
    out[1] = g * g;
    out[2] = b * 1.3f - 0.2f;
  });
  std::string path = dir.file("look.cube");
  ASSERT_TRUE(writeCubeFile(path.c_str(), t.lut, {0.5, 1, 0.5, 0}));
  std::string text = readFile(path);
  std::vector<std::string> l = lines(text);
  ASSERT_EQ(l.size(), size_t(9 + 65 * 65 * 65));
  EXPECT_EQ(l[0], "TITLE \"Vantrel LUT\"");
  EXPECT_EQ(l[1], "# Baked strength: Mix=0.5000, R=1.0000, G=0.5000, B=0.0000");
  EXPECT_EQ(l[2], "# Combined: sR=0.5000, sG=0.2500, sB=0.0000");
  EXPECT_EQ(l[3], "# LUT size: 65, valid: 1");
  EXPECT_EQ(l[4], "# Raw LUT[0,0,0]: 1.0000 0.0000 -0.2000");
  EXPECT_EQ(l[5], "# Raw LUT[mid]: 0.5000 0.2500 0.4500");
  EXPECT_EQ(l[6], "# Raw LUT[1,1,1]: 0.0000 1.0000 1.1000");
  EXPECT_EQ(l[7], "LUT_3D_SIZE 65");
  EXPECT_EQ(l[8], "");
  EXPECT_EQ(text.size() - text.find("LUT_3D_SIZE 65\n\n") - 16, size_t(7414875));
  // Red runs fastest: with sR 0.5 the red entry is r/64 * 0.5 + (1 - r/64) * 0.5 = 0.5 throughout,
  // so look at green (sG 0.25) and blue (sB 0, the lattice coordinate).
  for (int i : {0, 1, 64, 65, 4224, 4225, 274624}) {
    int r = i % 65, g = i / 65 % 65, b = i / 4225;
    float gin = float(g) / 64.0f;
    float green = gin * 0.75f + 0.25f * (gin * gin);
    char expected[64];
    snprintf(expected, sizeof expected, "%.6f %.6f %.6f", 0.5, double(green), double(float(b) / 64.0f));
    EXPECT_EQ(l[9 + i], expected) << "entry " << i << " (r " << r << ")";
  }
}

TEST(CubeFile, MixZeroWritesTheIdentityAndFullMixTheClampedLut) {
  ScratchDir dir;
  TestLut t(kLutSize);
  t.fill([](float, float, float, float* out) {
    out[0] = 1.3f;
    out[1] = -0.2f;
    out[2] = 0.25f;
  });
  std::string path = dir.file("look.cube");
  ASSERT_TRUE(writeCubeFile(path.c_str(), t.lut, {0, 1, 1, 1}));
  std::vector<std::string> l = lines(readFile(path));
  EXPECT_EQ(l[9], "0.000000 0.000000 0.000000");
  EXPECT_EQ(l[10], "0.015625 0.000000 0.000000");
  EXPECT_EQ(l.back(), "1.000000 1.000000 1.000000");

  ASSERT_TRUE(writeCubeFile(path.c_str(), t.lut, {1, 1, 1, 1}));
  l = lines(readFile(path));
  EXPECT_EQ(l[9], "1.000000 0.000000 0.250000");
  EXPECT_EQ(l.back(), "1.000000 0.000000 0.250000");
}

// Mixes come from the host unchecked: the widest numbers still make a complete file.
TEST(CubeFile, ExtremeValuesStillMakeAWholeFile) {
  ScratchDir dir;
  TestLut t(3);
  for (float& v : t.values) v = -3.4e38f;
  std::string path = dir.file("wide.cube");
  ASSERT_TRUE(writeCubeFile(path.c_str(), t.lut, {-3e38, -3e38, 3e38, -1e300}));
  std::vector<std::string> l = lines(readFile(path));
  ASSERT_EQ(l.size(), size_t(9 + 27));
  EXPECT_EQ(l[1].rfind("# Baked strength: Mix=-300000000", 0), 0u);
  EXPECT_EQ(l[7], "LUT_3D_SIZE 3");
  for (size_t i = 9; i < l.size(); ++i) EXPECT_EQ(l[i].size(), 26u) << l[i];
}

TEST(CubeFile, RefusesLatticeWithoutRoom) {
  ScratchDir dir;
  TestLut t(2);
  LUT3D one{t.values.data(), 1, true};
  LUT3D none{nullptr, 65, true};
  EXPECT_FALSE(writeCubeFile(dir.file("a.cube").c_str(), one, {1, 1, 1, 1}));
  EXPECT_FALSE(writeCubeFile(dir.file("a.cube").c_str(), none, {1, 1, 1, 1}));
  EXPECT_TRUE(dir.entries().empty());
}

}  // namespace

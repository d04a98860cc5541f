#include "imaging/quality.h"

#include "imaging/colour.h"

#include <gtest/gtest.h>
#include <lcms2.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <set>

namespace {

Image solid(int w, int h, float r, float g, float b) {
  Image image;
  image.width = w;
  image.height = h;
  image.pixels.resize(size_t(w) * size_t(h) * 4);
  for (size_t i = 0; i < image.pixels.size(); i += 4) {
    image.pixels[i] = r;
    image.pixels[i + 1] = g;
    image.pixels[i + 2] = b;
    image.pixels[i + 3] = 1.0f;
  }
  return image;
}

}  // namespace

TEST(Quality, LabOfLinearSrgbAnchors) {
  const float px[] = {1, 1, 1, 1, 0, 0, 0, 1, 0.18f, 0.18f, 0.18f, 1};
  const std::vector<float> lab = linearToLab(px, 3, 4);
  EXPECT_NEAR(lab[0], 100.0, 0.01);
  EXPECT_NEAR(lab[1], 0.0, 0.01);
  EXPECT_NEAR(lab[2], 0.0, 0.01);
  EXPECT_NEAR(lab[3], 0.0, 0.01);
  EXPECT_NEAR(lab[6], 49.496, 0.01);  // 18% grey
  EXPECT_NEAR(lab[7], 0.0, 0.01);
}

TEST(Quality, DeltaE2000MatchesPublishedPairs) {
  // Pairs from the CIEDE2000 test data set of Sharma, Wu and Dalal.
  const float a1[] = {50, 2.6772f, -79.7751f}, b1[] = {50, 0, -82.7485f};
  const float a2[] = {50, 2.5f, 0}, b2[] = {73, 25, -18};
  const float a3[] = {2.0776f, 0.0795f, -1.135f}, b3[] = {0.9033f, -0.0636f, -0.5514f};
  EXPECT_NEAR(deltaE2000(a1, b1), 2.0425, 1e-4);
  EXPECT_NEAR(deltaE2000(a2, b2), 27.1492, 1e-4);
  EXPECT_NEAR(deltaE2000(a3, b3), 0.9082, 1e-4);
}

TEST(Quality, PixelsPairFromTheLowerLeftAndSkipNonFinite) {
  // b is taller: its extra top row must not be compared.
  Image a = solid(2, 2, 0.5f, 0.5f, 0.5f);
  Image b = solid(3, 3, 0.5f, 0.5f, 0.5f);
  for (int x = 0; x < 3; ++x) b.pixels[size_t(x) * 4] = 1.0f;  // top row of b, in file order
  PixelDeltaE same = comparePixels(a, b);
  EXPECT_EQ(same.width, 2);
  EXPECT_EQ(same.height, 2);
  EXPECT_EQ(same.count, 4u);
  EXPECT_DOUBLE_EQ(same.mean, 0.0);

  // One bad pixel in four: the 95th percentile is that pixel, the mean a quarter of it; a NaN is left out.
  Image c = a;
  c.pixels[size_t(2 + 1) * 4 + 0] = 0.0f;  // lower right
  c.pixels[0] = std::numeric_limits<float>::quiet_NaN();
  PixelDeltaE d = comparePixels(c, a);
  EXPECT_EQ(d.count, 3u);
  EXPECT_GT(d.p95, 10.0);
  EXPECT_NEAR(d.mean, d.p95 / 3.0, 1e-9);
}

TEST(Quality, SpreadsCompareMeanColourAndDeviation) {
  Image flat = solid(4, 4, 0.2f, 0.2f, 0.2f);
  Image twoTone = flat;
  for (size_t i = 0; i < twoTone.pixels.size() / 2; i += 4)
    twoTone.pixels[i] = twoTone.pixels[i + 1] = twoTone.pixels[i + 2] = 0.6f;
  SpreadDeltaE self = compareSpreads(flat, flat);
  EXPECT_DOUBLE_EQ(self.meanColourDeltaE, 0.0);
  EXPECT_DOUBLE_EQ(self.stdDevDistance, 0.0);
  SpreadDeltaE other = compareSpreads(flat, twoTone);
  EXPECT_GT(other.meanColourDeltaE, 5.0);
  EXPECT_GT(other.stdDevDifference[0], 5.0);  // lightness spread
  EXPECT_NEAR(other.stdDevDifference[1], 0.0, 0.05);
  EXPECT_NEAR(other.stdDevDistance,
              std::sqrt(other.stdDevDifference[0] * other.stdDevDifference[0] +
                        other.stdDevDifference[1] * other.stdDevDifference[1] +
                        other.stdDevDifference[2] * other.stdDevDifference[2]),
              1e-12);
}

// Images meet where a host places them: a Reference holding the right half of the Source,
// placed over it, compares equal there and only there.
TEST(Quality, SameFrameComparesThePixelsThatShareACanvasPlace) {
  Image source = solid(4, 2, 0.2f, 0.4f, 0.6f);
  for (int row = 0; row < 2; ++row) source.pixels[size_t(row * 4 + 3) * 4] = 0.9f;  // a red right column
  Image right = solid(2, 2, 0.2f, 0.4f, 0.6f);
  for (int row = 0; row < 2; ++row) right.pixels[size_t(row * 2 + 1) * 4] = 0.9f;
  right.x = 2;
  right.fullWidth = 4;
  right.fullHeight = 2;
  const PixelDeltaE placed = comparePixels(source, right);
  EXPECT_EQ(placed.width, 2);
  EXPECT_EQ(placed.count, 4u);
  EXPECT_EQ(placed.mean, 0.0);
  right.x = 0;
  EXPECT_GT(comparePixels(source, right).mean, 1.0) << "at the origin the columns no longer line up";
}

TEST(Quality, MaskWeightsFollowThePlugInsStretchAndSampling) {
  Image mask;
  mask.width = 2;
  mask.height = 2;
  mask.channels = 1;
  mask.pixels = {0.4f, 1.5f, 0.75f, 0.0f};  // rows top down
  const PixelWeights w = maskWeights(mask, 4, 2);
  EXPECT_EQ(w, (PixelWeights{0, 0, 1, 1, 0.75f, 0.75f, 0, 0}));

  // One selected pixel between the grid's samples is not seen; one on the grid is.
  PixelWeights spot(1000 * 1000, 0.0f);
  spot[size_t(999 - 5) * 1000 + 5] = 1.0f;
  EXPECT_FALSE(maskSelectsSamples(spot, 1000, 1000));
  spot[size_t(999 - 10) * 1000 + 10] = 1.0f;
  EXPECT_TRUE(maskSelectsSamples(spot, 1000, 1000));
}

// ---- Figures as fast as a frame allows, checked against Little CMS and against every pixel.

namespace {

// A photograph of the repository in linear light.
Image photo(const char* name) {
  Image image;
  std::string error;
  EXPECT_TRUE(readColourImage(std::string(VANTREL_PHOTOS) + "/" + name, image, error)) << error;
  srgbDecode(image.pixels.data(), size_t(image.width) * size_t(image.height), 4);
  return image;
}

// A second grade of a picture: per-channel gain and power, as Same Frame measures.
Image graded(Image image, float r, float g, float b, float power) {
  for (size_t i = 0; i < image.pixels.size(); i += 4) {
    const float gain[3] = {r, g, b};
    for (size_t c = 0; c < 3; ++c) image.pixels[i + c] = gain[c] * std::pow(image.pixels[i + c], power);
  }
  return image;
}

double littleCmsDeltaE(const float* a, const float* b) {
  const cmsCIELab la = {a[0], a[1], a[2]}, lb = {b[0], b[1], b[2]};
  return cmsCIE2000DeltaE(&la, &lb, 1.0, 1.0, 1.0);
}

}  // namespace

TEST(Quality, DeltaE2000AndLabAgreeWithLittleCmsWithinAThousandth) {
  // Lab of photographs' pixels and of random colours in and beyond 0..1, from both.
  std::mt19937 random(7);
  std::uniform_real_distribution<float> wide(-0.2f, 1.6f);
  std::vector<float> rgb;
  for (const char* name : {"astronaut.png", "chelsea.png", "coffee.png", "rocket.jpg"}) {
    const Image image = photo(name);
    for (size_t i = 0; i < image.pixels.size(); i += 4 * 17)
      rgb.insert(rgb.end(), image.pixels.begin() + long(i), image.pixels.begin() + long(i) + 3);
  }
  for (int i = 0; i < 30000; ++i) rgb.push_back(wide(random));
  const size_t count = rgb.size() / 3;
  const std::vector<float> ours = linearToLab(rgb.data(), count, 3);
  std::vector<float> theirs(count * 3);
  const cmsCIExyY white = {0.3127, 0.3290, 1.0};
  const cmsCIExyYTRIPLE primaries = {{0.64, 0.33, 1.0}, {0.30, 0.60, 1.0}, {0.15, 0.06, 1.0}};
  cmsToneCurve* linear = cmsBuildGamma(nullptr, 1.0);
  cmsToneCurve* curves[3] = {linear, linear, linear};
  cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves), lab = cmsCreateLab4Profile(nullptr);
  cmsHTRANSFORM transform =
      cmsCreateTransform(profile, TYPE_RGB_FLT, lab, TYPE_Lab_FLT, INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_NOCACHE);
  cmsDoTransform(transform, rgb.data(), theirs.data(), cmsUInt32Number(count));
  cmsDeleteTransform(transform);
  cmsCloseProfile(profile);
  cmsCloseProfile(lab);
  cmsFreeToneCurve(linear);
  double worstLab = 0.0, worstDeltaE = 0.0;
  for (size_t i = 0; i < count; ++i) {
    worstLab = std::max(worstLab, littleCmsDeltaE(&ours[i * 3], &theirs[i * 3]));
    // Neighbours, pixels far apart, and colours of nearly opposite hue, where the formula takes
    // its other branches (exactly opposite hues are its discontinuity, where rounding decides).
    const float* a = &theirs[i * 3];
    const double hue = std::atan2(a[2], a[1]) + M_PI + (i % 2 ? 0.01 : -0.01), chroma = 10.0 + double(i % 90);
    const float opposite[3] = {float(i % 100), float(chroma * std::cos(hue)), float(chroma * std::sin(hue))};
    for (const float* b : std::initializer_list<const float*>{&theirs[(i + 1) % count * 3],
                                                              &theirs[(i * 7919 + 13) % count * 3], opposite})
      worstDeltaE = std::max(worstDeltaE, std::fabs(deltaE2000(a, b) - littleCmsDeltaE(a, b)));
  }
  EXPECT_LT(worstLab, 1e-3);
  EXPECT_LT(worstDeltaE, 1e-3);
}

TEST(Quality, SamplePointsAreFixedSpreadOverTheRegionAndDistinct) {
  const PixelRect small{-3, 2, 97, 52};
  const std::vector<CanvasPoint> every = samplePoints(small, kFigureSamples);
  ASSERT_EQ(every.size(), 5000u) << "a region within the limit is measured whole";
  EXPECT_EQ(every.front().x, -3);
  EXPECT_EQ(every.back().y, 51);

  const PixelRect uhd{-10, 5, 3830, 2165};
  const std::vector<CanvasPoint> points = samplePoints(uhd, kFigureSamples);
  EXPECT_LE(points.size(), kFigureSamples);
  EXPECT_GT(points.size(), kFigureSamples * 98 / 100);
  const std::vector<CanvasPoint> again = samplePoints(uhd, kFigureSamples);
  ASSERT_EQ(again.size(), points.size());
  std::set<std::pair<int, int>> seen;
  int blocks[8][8] = {};
  for (size_t i = 0; i < points.size(); ++i) {
    const CanvasPoint p = points[i];
    ASSERT_TRUE(p.x >= uhd.x1 && p.x < uhd.x2 && p.y >= uhd.y1 && p.y < uhd.y2) << p.x << "," << p.y;
    EXPECT_TRUE(p.x == again[i].x && p.y == again[i].y);
    seen.insert({p.x, p.y});
    ++blocks[(p.x - uhd.x1) * 8 / uhd.width()][(p.y - uhd.y1) * 8 / uhd.height()];
  }
  EXPECT_EQ(seen.size(), points.size());
  for (auto& column : blocks)
    for (int n : column) EXPECT_NEAR(n, double(points.size()) / 64, double(points.size()) / 64 * 0.03);
}

// The figures of the fixed sample against those of every pixel, on the repository's photographs
// as they are and scaled to a 1080p frame (where the sample is one pixel in 32): within the
// bounds docs/quality.md states (bench/tools/figures_agreement measures them).
TEST(Quality, SampledFiguresAgreeWithEveryPixelOfThePhotographs) {
  auto scaled = [](const Image& image, int width, int height) {
    Image out;
    out.width = width;
    out.height = height;
    out.pixels.resize(size_t(width) * size_t(height) * 4);
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x)
        std::copy_n(
            &image.pixels[(size_t(y * image.height / height) * size_t(image.width) + size_t(x * image.width / width)) *
                          4],
            4, &out.pixels[(size_t(y) * size_t(width) + size_t(x)) * 4]);
    return out;
  };
  const char* names[] = {"astronaut.png", "chelsea.png", "coffee.png", "rocket.jpg"};
  for (int frame : {0, 1}) {
    for (int i = 0; i < 4; i += 1 + frame) {  // at 1080p two of them, to keep the test short
      Image source = photo(names[i]), reference = photo(names[(i + 1) % 4]);
      if (frame) {
        source = scaled(source, 1920, 1080);
        reference = scaled(reference, 1920, 1080);
      }
      const Image grade = graded(source, 1.1f, 1.0f, 0.85f, 1.1f), output = graded(source, 1.05f, 1.0f, 0.9f, 1.05f);
      SCOPED_TRACE(std::string(names[i]) + (frame ? " at 1920x1080" : ""));
      const MatchQuality sampled = measureMatch(true, source, grade, output, nullptr, nullptr, nullptr);
      const MatchQuality whole = measureMatch(true, source, grade, output, nullptr, nullptr, nullptr, kEveryPixel);
      EXPECT_LT(sampled.sourceSample.measured, whole.sourceSample.measured);
      for (const auto& [s, w] :
           {std::pair{sampled.pixelsBefore, whole.pixelsBefore}, {sampled.pixelsAfter, whole.pixelsAfter}}) {
        EXPECT_NEAR(s.mean, w.mean, 0.01);
        EXPECT_NEAR(s.p95, w.p95, 0.05);
      }
      const MatchQuality spreadSampled = measureMatch(false, source, reference, output, nullptr, nullptr, nullptr);
      const MatchQuality spreadWhole =
          measureMatch(false, source, reference, output, nullptr, nullptr, nullptr, kEveryPixel);
      for (const auto& [s, w] : {std::pair{spreadSampled.spreadBefore, spreadWhole.spreadBefore},
                                 {spreadSampled.spreadAfter, spreadWhole.spreadAfter}}) {
        EXPECT_NEAR(s.meanColourDeltaE, w.meanColourDeltaE, 0.05);
        EXPECT_NEAR(s.stdDevDistance, w.stdDevDistance, 0.1);
      }
    }
  }
}

// A log DPX decoded near black gives -0.0002: clipping within a thousandth loses nothing.
TEST(Quality, OnlyValuesMoreThanAThousandthOutside0To1CountAsClipped) {
  Image image = solid(5, 1, 0.5f, 0.5f, 0.5f);
  const float red[5] = {-0.0002f, 1.0009f, -0.0011f, 1.0011f, 0.5f};
  for (int i = 0; i < 5; ++i) image.pixels[size_t(i) * 4] = red[i];
  const bool all[3] = {true, true, true}, notRed[3] = {false, true, true};
  EXPECT_DOUBLE_EQ(outOfRangeShare(image, all), 0.4);
  EXPECT_DOUBLE_EQ(outOfRangeShare(image, notRed), 0.0);
}

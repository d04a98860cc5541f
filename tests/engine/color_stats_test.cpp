#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "engine/engine.h"
#include "engine/engine_internal.h"
#include "kernel_sets.h"
#include "literal_engine.h"
#include "photos.h"

namespace {

struct Image {
  std::vector<float> px;
  int32_t w, h;
  void set(int32_t x, int32_t y, float r, float g, float b) {
    float* p = &px[(size_t(y) * w + x) * 4];
    p[0] = r;
    p[1] = g;
    p[2] = b;
    p[3] = 1.0f;
  }
  const unsigned char* bytes() const { return reinterpret_cast<const unsigned char*>(px.data()); }
};

Image uniformImage(int32_t w, int32_t h, float r, float g, float b) {
  Image im{std::vector<float>(size_t(w) * h * 4), w, h};
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) im.set(x, y, r, g, b);
  return im;
}

ColorStats stats(const Image& im, const MaskData* mask = nullptr) {
  ColorStats s;
  computeColorStats(im.bytes(), im.w, im.h, im.w * 16, Colorspace::Lab, s, mask, preferredKernelSet());
  return s;
}

void expectNoData(const ColorStats& s) {
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(s.mean[c], 0.5f);
    EXPECT_EQ(s.stdDev[c], 0.25f);
  }
}

void expectUniform(const ColorStats& s, float r, float g, float b) {
  float lab[3];
  rgbToLab8(r, g, b, lab[0], lab[1], lab[2]);
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(s.mean[c], lab[c]) << c;
    EXPECT_EQ(s.stdDev[c], 0.000001f) << c;
  }
}

TEST(SamplingStep, VisitsAboutTheTargetNumberOfPixels) {
  EXPECT_EQ(engine::samplingStep(100, 100, 10000.0), 1);
  EXPECT_EQ(engine::samplingStep(1920, 1080, 10000.0), 14);
  EXPECT_EQ(engine::samplingStep(4096, 2160, 10000.0), 29);
  EXPECT_EQ(engine::samplingStep(1920, 1080, 50000.0), 6);
  EXPECT_EQ(engine::samplingStep(200, 200, 50000.0), 1);
  EXPECT_EQ(engine::samplingStep(1, 1, 10000.0), 1);
  EXPECT_EQ(engine::samplingStep(0, 1080, 10000.0), 1);
  EXPECT_EQ(engine::samplingStep(-5, 1080, 10000.0), 1);
}

// Pixel counts beyond 2^31 must not wrap (a wrapped count gives a negative or tiny step).
TEST(SamplingStep, HugeImagesDoNotOverflow) {
  EXPECT_EQ(engine::samplingStep(50000, 50000, 10000.0), 500);
  EXPECT_EQ(engine::samplingStep(50000, 50000, 50000.0), 223);
  EXPECT_EQ(engine::samplingStep(46341, 46341, 10000.0), 463);
  EXPECT_EQ(engine::samplingStep(2147483647, 2147483647, 10000.0), 21474836);
}

TEST(MaskCoordinate, StretchesWithTruncationIn64Bits) {
  EXPECT_EQ(engine::maskCoordinate(1920, 1920, 1919), 1919);
  EXPECT_EQ(engine::maskCoordinate(960, 1920, 1919), 959);
  EXPECT_EQ(engine::maskCoordinate(960, 1920, 1), 0);
  EXPECT_EQ(engine::maskCoordinate(3840, 1920, 7), 14);
  EXPECT_EQ(engine::maskCoordinate(50000, 100000, 99999), 49999);  // 50000 * 99999 > 2^32
  EXPECT_EQ(engine::maskCoordinate(50000, 50001, 50000), 49999);
}

TEST(ColorStats, UniformImages) {
  const ColorStats white = stats(uniformImage(100, 100, 1.0f, 1.0f, 1.0f));
  EXPECT_NEAR(white.mean[0], 255.0f, 1e-3f);
  EXPECT_NEAR(white.mean[1], 128.0f, 1e-2f);
  EXPECT_NEAR(white.mean[2], 128.0f, 1e-2f);
  for (int c = 0; c < 3; ++c) EXPECT_EQ(white.stdDev[c], 0.000001f);

  const ColorStats black = stats(uniformImage(64, 48, 0.0f, 0.0f, 0.0f));
  EXPECT_EQ(black.mean[0], 0.0f);
  EXPECT_EQ(black.mean[1], 128.0f);
  EXPECT_EQ(black.mean[2], 128.0f);

  EXPECT_NEAR(stats(uniformImage(30, 30, 0.18f, 0.18f, 0.18f)).mean[0], 126.215f, 1e-3f);
  expectUniform(stats(uniformImage(37, 23, 1.5f, -0.25f, 0.3f)), 1.5f, -0.25f, 0.3f);  // no clamping
}

TEST(ColorStats, NoDataSummary) {
  Image im = uniformImage(10, 10, 0.3f, 0.3f, 0.3f);
  ColorStats s;
  // The summary says whether any sample counted: the no-data values are no summary to match by.
  EXPECT_TRUE(computeColorStats(im.bytes(), 10, 10, 160, Colorspace::Lab, s, nullptr, preferredKernelSet()));
  EXPECT_FALSE(computeColorStats(im.bytes(), 0, 10, 160, Colorspace::Lab, s, nullptr, preferredKernelSet()));
  expectNoData(s);
  EXPECT_FALSE(computeColorStats(im.bytes(), 10, 0, 160, Colorspace::Lab, s, nullptr, preferredKernelSet()));
  expectNoData(s);
  EXPECT_FALSE(computeColorStats(im.bytes(), 10, -3, 160, Colorspace::Lab, s, nullptr, preferredKernelSet()));
  expectNoData(s);
  EXPECT_FALSE(computeColorStats(nullptr, 10, 10, 160, Colorspace::Lab, s, nullptr, preferredKernelSet()));
  expectNoData(s);
  const float zero = 0.0f;
  const MaskData nothing{reinterpret_cast<const unsigned char*>(&zero), 1, 1, 4, 1};
  EXPECT_FALSE(computeColorStats(im.bytes(), 10, 10, 160, Colorspace::Lab, s, &nothing, preferredKernelSet()));
  expectNoData(s);
}

// At 1920 x 1080 the grid takes every 14th pixel of every 14th row, starting at (0, 0).
TEST(ColorStats, SamplesTheGridOnly) {
  Image onGrid = uniformImage(1920, 1080, 0.0f, 0.0f, 0.0f);
  Image offGrid = onGrid;
  for (int32_t y = 0; y < 1080; ++y)
    for (int32_t x = 0; x < 1920; ++x) {
      if (x % 14 == 0 && y % 14 == 0) onGrid.set(x, y, 0.25f, 0.5f, 0.75f);
      if (x % 14 == 1 || y % 14 == 13) offGrid.set(x, y, 0.25f, 0.5f, 0.75f);
    }
  expectUniform(stats(onGrid), 0.25f, 0.5f, 0.75f);
  expectUniform(stats(offGrid), 0.0f, 0.0f, 0.0f);
}

TEST(ColorStats, NegativeRowBytesReadsRowsUpwardFromThePointer) {
  const FloatImage photo = loadPhoto("chelsea.png", 300, 200);
  ASSERT_EQ(photo.width, 300);
  // The same rows stored in reverse order, addressed from the last one with a negative stride.
  std::vector<float> flipped(photo.pixels.size());
  const size_t rowFloats = size_t(photo.width) * 4;
  for (int32_t y = 0; y < photo.height; ++y)
    std::copy_n(&photo.pixels[y * rowFloats], rowFloats, &flipped[(photo.height - 1 - y) * rowFloats]);
  ColorStats up, down;
  computeColorStats(photo.bytes(), photo.width, photo.height, photo.rowBytes(), Colorspace::Lab, up, nullptr,
                    preferredKernelSet());
  computeColorStats(reinterpret_cast<const unsigned char*>(&flipped[(photo.height - 1) * rowFloats]), photo.width,
                    photo.height, -photo.rowBytes(), Colorspace::Lab, down, nullptr, preferredKernelSet());
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(up.mean[c], down.mean[c]);
    EXPECT_EQ(up.stdDev[c], down.stdDev[c]);
  }
}

// Left band of the image one colour, the rest another; masks select the band.
struct Banded {
  Image image = uniformImage(200, 100, 0.9f, 0.1f, 0.1f);
  Banded() {
    for (int32_t y = 0; y < 100; ++y)
      for (int32_t x = 0; x < 50; ++x) image.set(x, y, 0.2f, 0.4f, 0.6f);
  }
};

std::vector<float> maskPixels(int32_t w, int32_t h, int32_t comps, int32_t selected, float inside, float outside,
                              int32_t bandWidth) {
  std::vector<float> m(size_t(w) * h * comps, 0.0f);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x)
      for (int32_t c = 0; c < comps; ++c)
        m[(size_t(y) * w + x) * comps + c] =
            c == selected ? (x < bandWidth ? inside : outside) : (x < bandWidth ? 0.0f : 1.0f);
  return m;
}

TEST(ColorStats, MaskComponentSelection) {
  Banded banded;
  struct Case {
    int32_t comps, selected;
  } cases[] = {{1, 0}, {3, 0}, {4, 3}};
  for (const Case& k : cases) {
    std::vector<float> m = maskPixels(200, 100, k.comps, k.selected, 1.0f, 0.0f, 50);
    MaskData mask{reinterpret_cast<const unsigned char*>(m.data()), 200, 100, 200 * 4 * k.comps, k.comps};
    SCOPED_TRACE(k.comps);
    expectUniform(stats(banded.image, &mask), 0.2f, 0.4f, 0.6f);
  }
  std::vector<float> m = maskPixels(200, 100, 1, 0, 1.0f, 0.0f, 50);
  MaskData nullPixels{nullptr, 200, 100, 800, 1};
  const ColorStats unmasked = stats(banded.image);
  const ColorStats withNull = stats(banded.image, &nullPixels);
  for (int c = 0; c < 3; ++c) EXPECT_EQ(unmasked.mean[c], withNull.mean[c]);
}

TEST(ColorStats, SmallerMaskIsStretchedOverTheImage) {
  Banded banded;
  // Half size: image x maps to mask x / 2, so mask columns 0..24 cover image columns 0..49.
  std::vector<float> m = maskPixels(100, 50, 1, 0, 1.0f, 0.0f, 25);
  MaskData mask{reinterpret_cast<const unsigned char*>(m.data()), 100, 50, 400, 1};
  expectUniform(stats(banded.image, &mask), 0.2f, 0.4f, 0.6f);
  // One mask column fewer covers image columns 0..47 only, still inside the band.
  std::vector<float> narrow = maskPixels(100, 50, 1, 0, 1.0f, 0.0f, 24);
  mask.pixels = reinterpret_cast<const unsigned char*>(narrow.data());
  expectUniform(stats(banded.image, &mask), 0.2f, 0.4f, 0.6f);
  // A mask with no columns at all excludes everything.
  mask.width = -4;
  expectNoData(stats(banded.image, &mask));
}

TEST(ColorStats, MaskWeights) {
  Banded banded;
  const ColorStats unmasked = stats(banded.image);

  std::vector<float> m = maskPixels(200, 100, 1, 0, 0.4f, 0.4f, 50);
  MaskData mask{reinterpret_cast<const unsigned char*>(m.data()), 200, 100, 800, 1};
  expectNoData(stats(banded.image, &mask));

  // Halving every weight changes nothing, to the last bit.
  m = maskPixels(200, 100, 1, 0, 0.5f, 0.5f, 50);
  mask.pixels = reinterpret_cast<const unsigned char*>(m.data());
  ColorStats half = stats(banded.image, &mask);
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(half.mean[c], unmasked.mean[c]);
    EXPECT_EQ(half.stdDev[c], unmasked.stdDev[c]);
  }

  // Values of 1 and above, and NaN, count fully.
  m = maskPixels(200, 100, 1, 0, 7.0f, std::numeric_limits<float>::quiet_NaN(), 50);
  mask.pixels = reinterpret_cast<const unsigned char*>(m.data());
  half = stats(banded.image, &mask);
  for (int c = 0; c < 3; ++c) EXPECT_EQ(half.mean[c], unmasked.mean[c]);

  // Band weight 1, the rest 0.75: the mean moves toward the band by the weights.
  m = maskPixels(200, 100, 1, 0, 1.0f, 0.75f, 50);
  mask.pixels = reinterpret_cast<const unsigned char*>(m.data());
  const ColorStats weighted = stats(banded.image, &mask);
  float band[3], rest[3];
  rgbToLab8(0.2f, 0.4f, 0.6f, band[0], band[1], band[2]);
  rgbToLab8(0.9f, 0.1f, 0.1f, rest[0], rest[1], rest[2]);
  for (int c = 0; c < 3; ++c) {
    const double mean = (5000.0 * band[c] + 15000.0 * double(rest[c] * 0.75f)) / (5000.0 + 15000.0 * 0.75);
    EXPECT_NEAR(weighted.mean[c], mean, 1e-4);
    const double var = (5000.0 * std::pow(band[c] - mean, 2) + 11250.0 * std::pow(rest[c] - mean, 2)) / 16250.0;
    EXPECT_NEAR(weighted.stdDev[c], std::sqrt(var), 1e-3);
  }
}

TEST(ColorStats, PhotographsMatchThePlainComputation) {
  for (const char* name : {"coffee.png", "rocket.jpg"}) {
    const FloatImage photo = loadPhoto(name, 1920, 1080);
    ASSERT_EQ(photo.width, 1920) << name;
    ColorStats fast, plain;
    computeColorStats(photo.bytes(), photo.width, photo.height, photo.rowBytes(), Colorspace::Lab, fast, nullptr,
                      preferredKernelSet());
    literal::computeColorStats(photo.bytes(), photo.width, photo.height, photo.rowBytes(), plain, nullptr);
    forEachKernelSet([&](KernelSet k) {
      computeColorStats(photo.bytes(), photo.width, photo.height, photo.rowBytes(), Colorspace::Lab, fast, nullptr, k);
      for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(fast.mean[c], plain.mean[c]) << name;
        EXPECT_EQ(fast.stdDev[c], plain.stdDev[c]) << name;
      }
    });
    EXPECT_GT(fast.stdDev[0], 10.0f);  // a real picture, not a flat one
  }
}

// A bad render's NaN and infinite pixels on the grid are left out exactly as a mask leaves samples
// out; every other sample keeps its weight, and an all-NaN frame has no data.
TEST(ColorStats, NonFiniteSamplesAreLeftOut) {
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  const FloatImage clean = loadPhoto("coffee.png", 600, 400);
  ASSERT_EQ(clean.width, 600);
  const int32_t step = engine::samplingStep(600, 400, 10000.0);
  FloatImage bad = clean;
  std::vector<float> alpha(size_t(600) * 400, 1.0f);
  for (int i = 0; i < 64; ++i) {
    const int32_t x = (i * 37 % 40) * step, y = (i * 11 % 28) * step;
    float* px = &bad.pixels[(size_t(y) * 600 + x) * 4];
    px[i % 3] = i % 4 == 0 ? nan : (i % 4 == 1 ? inf : (i % 4 == 2 ? -inf : nan));
    alpha[size_t(y) * 600 + x] = 0.0f;
  }
  const MaskData leaveOut{reinterpret_cast<const unsigned char*>(alpha.data()), 600, 400, 600 * 4, 1};
  ColorStats expected, plain;
  computeColorStats(clean.bytes(), 600, 400, clean.rowBytes(), Colorspace::Lab, expected, &leaveOut,
                    preferredKernelSet());
  literal::computeColorStats(bad.bytes(), 600, 400, bad.rowBytes(), plain, nullptr);
  forEachKernelSet([&](KernelSet k) {
    ColorStats got;
    computeColorStats(bad.bytes(), 600, 400, bad.rowBytes(), Colorspace::Lab, got, nullptr, k);
    for (int c = 0; c < 3; ++c) {
      EXPECT_EQ(got.mean[c], expected.mean[c]);
      EXPECT_EQ(got.stdDev[c], expected.stdDev[c]);
      EXPECT_EQ(got.mean[c], plain.mean[c]);
      EXPECT_EQ(got.stdDev[c], plain.stdDev[c]);
    }
  });
  expectNoData(stats(uniformImage(50, 40, nan, 0.5f, 0.5f)));
}

// Several frames, each on its own grid and with its own mask (or none), summarised as one pool:
// the plain computation gathers every counted sample first and sums the list.
TEST(ColorStatsFrames, PoolsEveryFramesSamplesLikeThePlainComputation) {
  const FloatImage a = loadPhoto("coffee.png", 320, 200), b = loadPhoto("rocket.jpg", 256, 256);
  const FloatImage c = loadPhoto("chelsea.png", 96, 80);
  ASSERT_EQ(c.width, 96);
  std::vector<float> half(size_t(48) * 40);
  for (size_t i = 0; i < half.size(); ++i) half[i] = float(i % 7) / 6.0f;  // weights, skips and fringes
  const MaskData mask{reinterpret_cast<const unsigned char*>(half.data()), 48, 40, 48 * 4, 1};
  const std::vector<MaskedImage> frames = {{{a.bytes(), 320, 200, a.rowBytes()}, nullptr},
                                           {{nullptr, 64, 64, 1024}, nullptr},  // a frame the host did not give
                                           {{c.bytes(), 96, 80, c.rowBytes()}, &mask},
                                           {{b.bytes(), 256, 256, b.rowBytes()}, nullptr}};
  ColorStats plain;
  literal::computeColorStatsFrames(frames, plain);
  forEachKernelSet([&](KernelSet k) {
    ColorStats pooled;
    computeColorStatsFrames(frames.data(), int32_t(frames.size()), Colorspace::Lab, pooled, k);
    for (int ch = 0; ch < 3; ++ch) {
      EXPECT_EQ(pooled.mean[ch], plain.mean[ch]);
      EXPECT_EQ(pooled.stdDev[ch], plain.stdDev[ch]);
    }
    // One frame is the single-image summary, mask included, bit for bit.
    ColorStats one, single;
    computeColorStatsFrames(&frames[2], 1, Colorspace::Lab, one, k);
    computeColorStats(c.bytes(), 96, 80, c.rowBytes(), Colorspace::Lab, single, &mask, k);
    EXPECT_EQ(std::memcmp(&one, &single, sizeof one), 0);
  });
  // The pool lies between its frames: not simply one frame's summary.
  const ColorStats first = stats(Image{a.pixels, 320, 200});
  EXPECT_NE(plain.mean[0], first.mean[0]);
  // No frame, or frames without pixels, have no data.
  ColorStats none;
  EXPECT_FALSE(computeColorStatsFrames(frames.data() + 1, 1, Colorspace::Lab, none, preferredKernelSet()));
  expectNoData(none);
  EXPECT_FALSE(computeColorStatsFrames(nullptr, 0, Colorspace::Lab, none, preferredKernelSet()));
  expectNoData(none);
}

}  // namespace

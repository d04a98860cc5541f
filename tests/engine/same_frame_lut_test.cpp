#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "engine/engine.h"
#include "kernel_sets.h"
#include "literal_engine.h"
#include "photos.h"

namespace {

struct Lut {
  std::vector<float> storage;
  LUT3D lut;
  explicit Lut(int32_t n = kLutSize) : storage(size_t(n) * n * n * 3, -7.0f), lut{storage.data(), n, false} {}
  const float* at(int32_t r, int32_t g, int32_t b) const { return &storage[lutOffset(lut.size, r, g, b)]; }
};

struct Image {
  std::vector<float> px;
  int32_t w, h;
  Image(int32_t width, int32_t height, float r, float g, float b)
      : px(size_t(width) * height * 4), w(width), h(height) {
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x) set(x, y, r, g, b);
  }
  void set(int32_t x, int32_t y, float r, float g, float b) {
    float* p = &px[(size_t(y) * w + x) * 4];
    p[0] = r;
    p[1] = g;
    p[2] = b;
    p[3] = 1.0f;
  }
  const unsigned char* bytes() const { return reinterpret_cast<const unsigned char*>(px.data()); }
};

Lut build(const Image& s, const Image& r, float radius, PreserveMode mode = PreserveNothing) {
  Lut l;
  EXPECT_TRUE(buildMatchLUT_SameClip(s.bytes(), s.w, s.h, s.w * 16, r.bytes(), r.w, r.h, r.w * 16, l.lut, radius, mode,
                                     preferredKernelSet()));
  EXPECT_TRUE(l.lut.valid);
  return l;
}

bool isIdentity(const Lut& l, int32_t r, int32_t g, int32_t b) {
  const float* v = l.at(r, g, b);
  return v[0] == r / 64.0f && v[1] == g / 64.0f && v[2] == b / 64.0f;
}

// Every cell but the listed ones holds exactly its identity value.
void expectIdentityExcept(const Lut& l, std::vector<std::array<int32_t, 3>> occupied) {
  for (int32_t r = 0; r < 65; ++r)
    for (int32_t g = 0; g < 65; ++g)
      for (int32_t b = 0; b < 65; ++b) {
        bool skip = false;
        for (const auto& o : occupied) skip |= o[0] == r && o[1] == g && o[2] == b;
        if (!skip) {
          ASSERT_TRUE(isIdentity(l, r, g, b)) << r << " " << g << " " << b;
        }
      }
}

TEST(SameFrameLut, WithoutSamplesTheIdentityIsSmoothedTowardTheInterior) {
  const Image source(8, 8, 0.3f, 0.3f, 0.3f);
  const Image empty(0, 8, 0.0f, 0.0f, 0.0f);
  expectIdentityExcept(build(source, empty, 0.0f), {});

  const Lut l = build(source, empty, 5.0f);
  const float* v = l.at(0, 32, 64);
  EXPECT_NEAR(v[0], 0.0390625f, 1e-6f);
  EXPECT_NEAR(v[1], 0.5f, 1e-6f);
  EXPECT_NEAR(v[2], 0.9609375f, 1e-6f);
  for (int32_t i : {5, 20, 32, 59}) {
    const float* p = l.at(i, 59, 5);
    EXPECT_NEAR(p[0], i / 64.0f, 1e-6f);
    EXPECT_NEAR(p[1], 59 / 64.0f, 1e-6f);
    EXPECT_NEAR(p[2], 5 / 64.0f, 1e-6f);
  }
}

TEST(SameFrameLut, BinsToTheNearestLatticePointAndClamps) {
  // 0.5 -> 32.5 truncates to 32; 0.5078125 -> 33.0 gives 33; 1.7 acts as 1.
  const Image source(1, 1, 0.5f, 0.5078125f, 1.7f);
  const Image reference(1, 1, -0.2f, 0.3f, std::numeric_limits<float>::quiet_NaN());
  const Lut l = build(source, reference, 0.0f);
  const float* v = l.at(32, 33, 64);
  EXPECT_EQ(v[0], 0.0f);
  EXPECT_FALSE(std::signbit(v[0]));
  EXPECT_EQ(v[1], 0.3f);
  EXPECT_EQ(v[2], 1.0f);
  expectIdentityExcept(l, {{32, 33, 64}});
}

TEST(SameFrameLut, CellsAverageTheirTargets) {
  Image source(2, 2, 0.25f, 0.25f, 0.25f);
  Image reference(2, 2, 0.1f, 0.2f, 0.3f);
  reference.set(1, 0, 0.3f, 0.4f, 0.5f);
  reference.set(0, 1, 0.2f, 0.3f, 0.4f);
  reference.set(1, 1, 0.2f, 0.3f, 0.4f);
  source.set(1, 1, 0.75f, 0.0f, 1.0f);
  const Lut l = build(source, reference, 0.0f);
  const float* v = l.at(16, 16, 16);
  EXPECT_EQ(v[0], (0.1f + 0.3f + 0.2f) / 3.0f);
  EXPECT_EQ(v[1], (0.2f + 0.4f + 0.3f) / 3.0f);
  EXPECT_EQ(v[2], (0.3f + 0.5f + 0.4f) / 3.0f);
  EXPECT_EQ(l.at(48, 0, 64)[0], 0.2f);
  expectIdentityExcept(l, {{16, 16, 16}, {48, 0, 64}});
}

// The step comes from the Source's size (6 at 1920 x 1080) and only the overlap is sampled.
TEST(SameFrameLut, ImagesOfDifferentSizesAlignAtTheirFirstPixels) {
  Image source(1920, 1080, 0.25f, 0.25f, 0.25f);  // off-grid pixels
  for (int32_t y = 0; y < 1080; ++y)
    for (int32_t x = 0; x < 1920; ++x) {
      if (x >= 1280 || y >= 720) {
        source.set(x, y, 0.75f, 0.75f, 0.75f);  // outside the Reference
      } else if (x % 6 == 0 && y % 6 == 0) {
        source.set(x, y, 0.5f, 0.0f, 1.0f);
      }
    }
  const Image reference(1280, 720, 0.1f, 0.6f, 0.9f);
  const Lut l = build(source, reference, 0.0f);
  const float* v = l.at(32, 0, 64);  // 25,680 single-precision additions: near, not exact
  EXPECT_NEAR(v[0], 0.1f, 1e-3f);
  EXPECT_NEAR(v[1], 0.6f, 1e-3f);
  EXPECT_NEAR(v[2], 0.9f, 1e-3f);
  expectIdentityExcept(l, {{32, 0, 64}});
}

TEST(SameFrameLut, RadiusRules) {
  const FloatImage a = loadPhoto("astronaut.png", 160, 120);
  const FloatImage b = loadPhoto("chelsea.png", 160, 120);
  ASSERT_EQ(a.width, 160);
  auto fast = [&](float radius) {
    Lut l;
    EXPECT_TRUE(buildMatchLUT_SameClip(a.bytes(), 160, 120, a.rowBytes(), b.bytes(), 160, 120, b.rowBytes(), l.lut,
                                       radius, PreserveNothing, preferredKernelSet()));
    return l.storage;
  };
  std::vector<float> binned;
  literal::binLattice(a.bytes(), 160, 120, a.rowBytes(), b.bytes(), 160, 120, b.rowBytes(), 65, 0, binned);
  EXPECT_EQ(fast(0.0f), binned);
  EXPECT_EQ(fast(-3.0f), binned);
  EXPECT_EQ(fast(std::numeric_limits<float>::quiet_NaN()), binned);

  std::vector<float> rad1 = binned;
  literal::smoothClipped(rad1, 65, 1.0f);
  const std::vector<float> half = fast(0.5f);
  const std::vector<float> oneAndAHalf = fast(1.9f);
  for (size_t i = 0; i < rad1.size(); ++i) {
    ASSERT_NEAR(half[i], rad1[i], 1e-6f);
    ASSERT_EQ(half[i], oneAndAHalf[i]);
  }

  // Radii past the lattice, infinity included, average over the whole lattice.
  const std::vector<float> huge = fast(1e30f);
  EXPECT_EQ(fast(std::numeric_limits<float>::infinity()), huge);
  EXPECT_EQ(fast(64.0f), huge);
  for (size_t i = 3; i < huge.size(); ++i) ASSERT_NEAR(huge[i], huge[i % 3], 1e-6f);
}

TEST(SameFrameLut, NegativeRowBytesReadRowsUpwardFromThePointer) {
  const FloatImage a = loadPhoto("rocket.jpg", 640, 360);
  const FloatImage b = loadPhoto("coffee.png", 640, 360);
  auto flipped = [](const FloatImage& im) {
    std::vector<float> out(im.pixels.size());
    const size_t row = size_t(im.width) * 4;
    for (int32_t y = 0; y < im.height; ++y) std::copy_n(&im.pixels[y * row], row, &out[(im.height - 1 - y) * row]);
    return out;
  };
  const std::vector<float> fa = flipped(a), fb = flipped(b);
  const size_t last = size_t(359) * 640 * 4;
  Lut up, down;
  ASSERT_TRUE(buildMatchLUT_SameClip(a.bytes(), 640, 360, a.rowBytes(), b.bytes(), 640, 360, b.rowBytes(), up.lut, 5.0f,
                                     PreserveColors, preferredKernelSet()));
  ASSERT_TRUE(buildMatchLUT_SameClip(reinterpret_cast<const unsigned char*>(&fa[last]), 640, 360, -a.rowBytes(),
                                     reinterpret_cast<const unsigned char*>(&fb[last]), 640, 360, -b.rowBytes(),
                                     down.lut, 5.0f, PreserveColors, preferredKernelSet()));
  EXPECT_EQ(up.storage, down.storage);
}

TEST(SameFrameLut, PerModeTargetsMatchThePlainBinning) {
  const FloatImage a = loadPhoto("chelsea.png", 400, 300);
  const FloatImage b = loadPhoto("astronaut.png", 400, 300);
  for (int32_t mode : {0, 1, 2, 7}) {
    SCOPED_TRACE(mode);
    Lut l;
    ASSERT_TRUE(buildMatchLUT_SameClip(a.bytes(), 400, 300, a.rowBytes(), b.bytes(), 400, 300, b.rowBytes(), l.lut,
                                       0.0f, PreserveMode(mode), preferredKernelSet()));
    std::vector<float> plain;
    literal::binLattice(a.bytes(), 400, 300, a.rowBytes(), b.bytes(), 400, 300, b.rowBytes(), 65, mode, plain);
    EXPECT_EQ(l.storage, plain);
  }
}

TEST(SameFrameLut, AgreesWithThePlainBuilderOnPhotographs) {
  const FloatImage source = loadPhoto("chelsea.png", 1920, 1080);
  const FloatImage reference = loadPhoto("coffee.png", 1920, 1080);
  ASSERT_EQ(source.width, 1920);
  for (PreserveMode mode : {PreserveNothing, PreserveBrightness, PreserveColors}) {
    SCOPED_TRACE(mode);
    Lut l;
    ASSERT_TRUE(buildMatchLUT_SameClip(source.bytes(), 1920, 1080, source.rowBytes(), reference.bytes(), 1920, 1080,
                                       reference.rowBytes(), l.lut, 5.0f, mode, preferredKernelSet()));
    std::vector<float> plain;
    literal::buildSameClip(source.bytes(), 1920, 1080, source.rowBytes(), reference.bytes(), 1920, 1080,
                           reference.rowBytes(), 65, 5.0f, mode, plain);
    float worst = 0.0f;
    for (size_t i = 0; i < plain.size(); ++i) worst = std::max(worst, std::abs(plain[i] - l.storage[i]));
    EXPECT_LE(worst, 1e-5f);
  }
}

TEST(SameFrameLut, EveryKernelSetBuildsTheSameLut) {
  const FloatImage a = loadPhoto("rocket.jpg", 480, 270);
  const FloatImage b = loadPhoto("chelsea.png", 480, 270);
  for (int32_t mode : {0, 1, 2}) {
    for (float radius : {5.0f, 2.0f}) {
      auto run = [&](KernelSet kernels) {
        Lut l;
        EXPECT_TRUE(buildMatchLUT_SameClip(a.bytes(), 480, 270, a.rowBytes(), b.bytes(), 480, 270, b.rowBytes(), l.lut,
                                           radius, PreserveMode(mode), kernels));
        return l.storage;
      };
      const std::vector<float> best = run(preferredKernelSet());
      forEachKernelSet([&](KernelSet k) { EXPECT_EQ(run(k), best); });
    }
  }
}

TEST(SameFrameLut, RefusesALatticeWithoutStorage) {
  const Image image(4, 4, 0.5f, 0.5f, 0.5f);
  LUT3D none{nullptr, 0, true};
  EXPECT_FALSE(buildMatchLUT_SameClip(image.bytes(), 4, 4, 64, image.bytes(), 4, 4, 64, none, 5.0f, PreserveNothing,
                                      preferredKernelSet()));
  EXPECT_FALSE(none.valid);
}

// The pairs of several frames go into the same cells before the means are taken, each frame on
// its own grid and over its own overlap; the lattice is smoothed once.
TEST(SameFrameLutFrames, PoolsEveryFramesPairsLikeThePlainBinning) {
  const FloatImage s1 = loadPhoto("chelsea.png", 400, 300), r1 = loadPhoto("astronaut.png", 400, 300);
  const FloatImage s2 = loadPhoto("rocket.jpg", 320, 180), r2 = loadPhoto("coffee.png", 300, 200);
  ASSERT_EQ(r2.width, 300);
  const std::vector<FramePair> frames = {
      {{s1.bytes(), 400, 300, s1.rowBytes()}, {r1.bytes(), 400, 300, r1.rowBytes()}},
      {{s2.bytes(), 320, 180, s2.rowBytes()}, {nullptr, 0, 0, 0}},  // no Reference that frame
      {{s2.bytes(), 320, 180, s2.rowBytes()}, {r2.bytes(), 300, 200, r2.rowBytes()}}};
  for (int32_t mode : {0, 1, 2}) {
    SCOPED_TRACE(mode);
    std::vector<float> plain;
    literal::binLatticeFrames(frames, 65, mode, plain);
    forEachKernelSet([&](KernelSet k) {
      Lut binned;
      ASSERT_TRUE(buildMatchLUT_SameClipFrames(frames.data(), 3, binned.lut, 0.0f, PreserveMode(mode), k));
      EXPECT_EQ(binned.storage, plain);
    });
    Lut smoothed;
    ASSERT_TRUE(
        buildMatchLUT_SameClipFrames(frames.data(), 3, smoothed.lut, 5.0f, PreserveMode(mode), preferredKernelSet()));
    literal::smoothClipped(plain, 65, 5.0f);
    float worst = 0.0f;
    for (size_t i = 0; i < plain.size(); ++i) worst = std::max(worst, std::abs(plain[i] - smoothed.storage[i]));
    EXPECT_LE(worst, 1e-5f);
    // One frame is the single-pair builder, bit for bit.
    Lut one, single;
    ASSERT_TRUE(
        buildMatchLUT_SameClipFrames(frames.data() + 2, 1, one.lut, 5.0f, PreserveMode(mode), preferredKernelSet()));
    ASSERT_TRUE(buildMatchLUT_SameClip(s2.bytes(), 320, 180, s2.rowBytes(), r2.bytes(), 300, 200, r2.rowBytes(),
                                       single.lut, 5.0f, PreserveMode(mode), preferredKernelSet()));
    EXPECT_EQ(one.storage, single.storage);
  }
  // No frame at all: the smoothed identity, as with no pairs.
  Lut none;
  ASSERT_TRUE(buildMatchLUT_SameClipFrames(nullptr, 0, none.lut, 0.0f, PreserveNothing, preferredKernelSet()));
  expectIdentityExcept(none, {});
}

// One sampled pair finite on both sides is enough to learn from; pixels between the grid points,
// a colour with one NaN or infinite channel, and frames without pixels give nothing.
TEST(SameFrameLutFrames, PairsHaveDataWhenOneSampledPairIsFinite) {
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  Image broken(1000, 600, nan, 0.5f, 0.5f);  // a grid step of 3
  const Image fine(1000, 600, 0.2f, 0.4f, 0.6f);
  auto frame = [](const Image& s, const Image& r) {
    return FramePair{{s.bytes(), s.w, s.h, s.w * 16}, {r.bytes(), r.w, r.h, r.w * 16}};
  };
  const FramePair none{{nullptr, 64, 64, 1024}, {fine.bytes(), 64, 64, 1024}};
  EXPECT_TRUE(framePairsHaveData(std::vector<FramePair>{frame(fine, fine)}.data(), 1));
  EXPECT_FALSE(framePairsHaveData(std::vector<FramePair>{frame(broken, fine)}.data(), 1));
  EXPECT_FALSE(framePairsHaveData(std::vector<FramePair>{frame(fine, broken), none}.data(), 2));
  EXPECT_FALSE(framePairsHaveData(nullptr, 0));
  broken.set(4, 5, 0.3f, 0.3f, 0.3f);  // between the grid points
  EXPECT_FALSE(framePairsHaveData(std::vector<FramePair>{frame(broken, fine)}.data(), 1));
  broken.set(6, 9, 0.3f, 0.3f, inf);
  EXPECT_FALSE(framePairsHaveData(std::vector<FramePair>{frame(broken, fine)}.data(), 1));
  broken.set(996, 597, 0.3f, 0.3f, 0.3f);  // a grid point of the last row
  EXPECT_TRUE(framePairsHaveData(std::vector<FramePair>{none, frame(broken, fine)}.data(), 2));
}

}  // namespace

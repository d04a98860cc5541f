#include "render/apply_lut.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include <OpenImageIO/imagebuf.h>

#include "render/apply_kernels.h"

namespace OIIO = OIIO_NAMESPACE;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

struct OwnedLut {
  std::vector<float> values;
  LUT3D lut;
  explicit OwnedLut(int32_t size) : values(size_t(size) * size * size * 3), lut{values.data(), size, true} {}
};

OwnedLut identityLut(int32_t size = kLutSize) {
  OwnedLut l(size);
  for (int r = 0; r < size; ++r)
    for (int g = 0; g < size; ++g)
      for (int b = 0; b < size; ++b) lutIdentityValue(size, r, g, b, &l.values[lutOffset(size, r, g, b)]);
  return l;
}

OwnedLut randomLut(uint32_t seed, int32_t size = kLutSize) {
  OwnedLut l(size);
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  for (float& v : l.values) v = unit(rng);
  return l;
}

// A single-row float RGBA image with its own storage.
struct Row {
  std::vector<float> pixels;
  ImageView view;
  Row(int32_t x1, int32_t y, int32_t count)
      : pixels(size_t(count) * 4),
        view{floatRGBA(reinterpret_cast<unsigned char*>(pixels.data()), count * 16, {x1, y, x1 + count, y + 1})} {}
};

std::vector<float> applyPixels(KernelSet kernels, const std::vector<float>& in, const LUT3D& lut, bool useLut, double s,
                               double sr, double sg, double sb, const RedPairs* pairs = nullptr) {
  const int32_t count = int32_t(in.size() / 4);
  Row src(0, 0, count), dst(0, 0, count);
  src.pixels = in;
  src.view.data = reinterpret_cast<unsigned char*>(src.pixels.data());
  applyLUT(src.view, dst.view, src.view.bounds, useLut ? &lut : nullptr, pairs, channelMixes(s, sr, sg, sb), kernels);
  return dst.pixels;
}

std::vector<float> applyOne(const LUT3D& lut, bool useLut, std::vector<float> pixel, double s = 1.0, double sr = 1.0,
                            double sg = 1.0, double sb = 1.0) {
  return applyPixels(KernelSet::Generic, pixel, lut, useLut, s, sr, sg, sb);
}

float triple(const OwnedLut& l, int r, int g, int b, int c) { return l.values[lutOffset(l.lut.size, r, g, b) + c]; }

// A photograph as float RGBA rows (alpha 1), through OpenImageIO.
std::vector<float> loadPhotoRGBA(const char* name) {
  OIIO::ImageBuf file(std::string(VANTREL_PHOTOS) + "/" + name);
  if (!file.read(0, 0, true, OIIO::TypeDesc::FLOAT)) return {};
  const OIIO::ImageSpec& imageSpec = file.spec();
  std::vector<float> rgb(size_t(imageSpec.width) * imageSpec.height * 3),
      rgba(size_t(imageSpec.width) * imageSpec.height * 4, 1.0f);
  file.get_pixels(OIIO::ROI(0, imageSpec.width, 0, imageSpec.height, 0, 1, 0, 3), OIIO::TypeDesc::FLOAT, rgb.data());
  for (size_t i = 0; i < rgb.size() / 3; ++i) std::memcpy(&rgba[i * 4], &rgb[i * 3], 12);
  return rgba;
}

}  // namespace

TEST(SampleLUT, LatticeMidpointAndLastPointAreExact) {
  OwnedLut l = randomLut(7);
  float r, g, b;
  sampleLUT(l.lut, 0.5f, 0.5f, 0.5f, r, g, b);
  EXPECT_EQ(r, triple(l, 32, 32, 32, 0));
  EXPECT_EQ(g, triple(l, 32, 32, 32, 1));
  EXPECT_EQ(b, triple(l, 32, 32, 32, 2));
  sampleLUT(l.lut, 1.0f, 1.0f, 1.0f, r, g, b);
  EXPECT_EQ(r, l.values[823872]);
  EXPECT_EQ(g, l.values[823873]);
  EXPECT_EQ(b, l.values[823874]);
  sampleLUT(l.lut, 1.0f, 0.0f, 0.0f, r, g, b);
  EXPECT_EQ(r, triple(l, 64, 0, 0, 0));
}

TEST(SampleLUT, InterpolatesBlueThenGreenThenRed) {
  OwnedLut l = randomLut(11);
  const float v[3] = {0.3f, 0.71f, 0.052f};
  int idx[3];
  float f[3];
  for (int a = 0; a < 3; ++a) {
    const float x = v[a] * 64.0f;
    idx[a] = int(x);
    f[a] = x - float(idx[a]);
  }
  float out[3];
  sampleLUT(l.lut, v[0], v[1], v[2], out[0], out[1], out[2]);
  for (int c = 0; c < 3; ++c) {
    auto T = [&](int dr, int dg, int db) { return triple(l, idx[0] + dr, idx[1] + dg, idx[2] + db, c); };
    auto E = [&](int dr, int dg) { return T(dr, dg, 0) * (1.0f - f[2]) + T(dr, dg, 1) * f[2]; };
    auto F = [&](int dr) { return E(dr, 0) * (1.0f - f[1]) + E(dr, 1) * f[1]; };
    EXPECT_EQ(out[c], F(0) * (1.0f - f[0]) + F(1) * f[0]) << "channel " << c;
  }
}

TEST(ApplyLUT, ClampsWithoutTheLutAndPassesAlpha) {
  OwnedLut l = randomLut(3);
  const std::vector<float> out = applyOne(l.lut, false, {1.7f, -0.2f, kNaN, 0.3f});
  EXPECT_EQ(out, (std::vector<float>{1.0f, 0.0f, 1.0f, 0.3f}));
  const std::vector<float> zero = applyOne(l.lut, false, {-0.0f, kInf, -kInf, -1.0f});
  EXPECT_FALSE(std::signbit(zero[0]));
  EXPECT_EQ(zero, (std::vector<float>{0.0f, 1.0f, 0.0f, -1.0f}));
  const std::vector<float> alpha = applyOne(l.lut, true, {0.2f, 0.2f, 0.2f, 1.5f});
  EXPECT_EQ(alpha[3], 1.5f);
  const std::vector<float> nanAlpha = applyOne(l.lut, true, {0.2f, 0.2f, 0.2f, kNaN});
  EXPECT_TRUE(std::isnan(nanAlpha[3]));
}

TEST(ApplyLUT, MixesBlendTheLookupWithTheClampedSource) {
  OwnedLut l = randomLut(5);
  const std::vector<float> in = {0.25f, 1.4f, -3.0f, 1.0f};
  float lr, lg, lb;
  sampleLUT(l.lut, 0.25f, 1.0f, 0.0f, lr, lg, lb);
  EXPECT_EQ(applyOne(l.lut, true, in), (std::vector<float>{lr, lg, lb, 1.0f}));
  EXPECT_EQ(applyOne(l.lut, true, in, 0.0), (std::vector<float>{0.25f, 1.0f, 0.0f, 1.0f}));
  const std::vector<float> half = applyOne(l.lut, true, in, 1.0, 0.5, 1.0, 1.0);
  EXPECT_EQ(half[0], 0.5f * lr + 0.5f * 0.25f);
  EXPECT_EQ(half[1], lg);
  EXPECT_EQ(half[2], lb);
  // The mix product is rounded to float once: 0.3 x 0.7 in double, not 0.3f x 0.7f.
  const float s = float(0.3 * 0.7);
  const std::vector<float> mixed = applyOne(l.lut, true, in, 0.3, 0.7, 0.7, 0.7);
  EXPECT_EQ(mixed[0], s * lr + (1.0f - s) * 0.25f);
}

TEST(ApplyLUT, IdentityLutGivesTheClampedSource) {
  OwnedLut l = identityLut();
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> dist(-0.5f, 1.5f);
  for (int i = 0; i < 1000; ++i) {
    const std::vector<float> in = {dist(rng), dist(rng), dist(rng), 1.0f};
    const std::vector<float> out = applyOne(l.lut, true, in);
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(out[c], std::clamp(in[c], 0.0f, 1.0f), 1e-6f);
  }
}

// The fast kernels, over the lattice and over its red-pair table, must reproduce the literal one
// bit for bit, whatever the input.
TEST(ApplyKernels, FastKernelsAreBitIdenticalToTheLiteralOne) {
  std::vector<KernelSet> kernels;
  for (KernelSet k : {KernelSet::Avx2, KernelSet::Avx512})
    if (supports(detectCpu(), k)) kernels.push_back(k);
  if (kernels.empty()) GTEST_SKIP() << "no fast kernel on this processor";
  const float edges[] = {0.0f, -0.0f, 1.0f, kNaN, kInf, -kInf, 0.5f, 1.0f - 1e-7f, 1e-7f, 2.0f, -1.0f, 63.0f / 64.0f};
  std::mt19937 rng(2024);
  std::uniform_real_distribution<float> wide(-0.25f, 1.25f);
  std::uniform_int_distribution<int> pick(0, 15);
  OwnedLut l = randomLut(1);
  RedPairs pairs;
  ASSERT_TRUE(prepareRedPairs(l.lut, pairs));
  // 2,000,003 pixels: not a multiple of the kernels' block, so the tail path runs too.
  std::vector<float> in(2000003 * 4);
  for (size_t i = 0; i < in.size(); ++i) {
    const int p = pick(rng);
    in[i] = p < 12 ? edges[p] : wide(rng);
  }
  for (bool useLut : {true, false}) {
    const std::vector<float> literal = applyPixels(KernelSet::Generic, in, l.lut, useLut, 0.8, 0.9, 0.35, 1.0);
    for (KernelSet k : kernels)
      for (const RedPairs* table : {static_cast<const RedPairs*>(nullptr), static_cast<const RedPairs*>(&pairs)}) {
        const std::vector<float> fast = applyPixels(k, in, l.lut, useLut, 0.8, 0.9, 0.35, 1.0, table);
        ASSERT_EQ(std::memcmp(literal.data(), fast.data(), literal.size() * 4), 0)
            << "kernel " << kernelSetName(k) << " useLut " << useLut << " pairs " << (table != nullptr);
      }
  }
  // Other lattice sizes take the same paths.
  for (int32_t size : {2, 3, 17}) {
    OwnedLut small = randomLut(9, size);
    RedPairs smallPairs;
    ASSERT_TRUE(prepareRedPairs(small.lut, smallPairs));
    std::vector<float> few(1003 * 4);
    for (float& v : few) v = wide(rng);
    const std::vector<float> literal = applyPixels(KernelSet::Generic, few, small.lut, true, 1, 1, 1, 1);
    for (KernelSet k : kernels)
      for (const RedPairs* table : {static_cast<const RedPairs*>(nullptr), static_cast<const RedPairs*>(&smallPairs)}) {
        const std::vector<float> fast = applyPixels(k, few, small.lut, true, 1, 1, 1, 1, table);
        EXPECT_EQ(std::memcmp(literal.data(), fast.data(), literal.size() * 4), 0)
            << "kernel " << kernelSetName(k) << " size " << size << " pairs " << (table != nullptr);
      }
  }
  // A table made from a lattice of another size is not used.
  const std::vector<float> literal = applyPixels(KernelSet::Generic, in, l.lut, true, 1, 1, 1, 1);
  OwnedLut other = randomLut(3, 17);
  RedPairs otherPairs;
  ASSERT_TRUE(prepareRedPairs(other.lut, otherPairs));
  const std::vector<float> fast = applyPixels(kernels.back(), in, l.lut, true, 1, 1, 1, 1, &otherPairs);
  EXPECT_EQ(std::memcmp(literal.data(), fast.data(), literal.size() * 4), 0);
}

// Photographs through a lattice with the shape of a real grade, every kernel against the literal.
TEST(ApplyKernels, PhotographsGiveTheLiteralBits) {
  OwnedLut l(kLutSize);
  for (int r = 0; r < kLutSize; ++r)
    for (int g = 0; g < kLutSize; ++g)
      for (int b = 0; b < kLutSize; ++b) {
        float* t = &l.values[lutOffset(kLutSize, r, g, b)];
        t[0] = std::pow(r / 64.0f, 0.8f) * 0.9f + b / 640.0f;
        t[1] = std::sqrt(g / 64.0f * (r + 1) / 65.0f);
        t[2] = 1.0f - std::pow(1.0f - b / 64.0f, 1.3f);
      }
  RedPairs pairs;
  ASSERT_TRUE(prepareRedPairs(l.lut, pairs));
  for (const char* name : {"astronaut.png", "chelsea.png", "coffee.png", "rocket.jpg"}) {
    const std::vector<float> photo = loadPhotoRGBA(name);
    ASSERT_FALSE(photo.empty()) << name;
    const std::vector<float> literal = applyPixels(KernelSet::Generic, photo, l.lut, true, 0.7, 1, 0.5, 1);
    for (KernelSet k : {KernelSet::Avx2, KernelSet::Avx512}) {
      if (!supports(detectCpu(), k)) continue;
      for (const RedPairs* table : {static_cast<const RedPairs*>(nullptr), static_cast<const RedPairs*>(&pairs)})
        EXPECT_EQ(applyPixels(k, photo, l.lut, true, 0.7, 1, 0.5, 1, table), literal)
            << name << " " << kernelSetName(k) << " pairs " << (table != nullptr);
    }
  }
}

TEST(RedPairs, HoldEachPointBesideItsRedNeighbourAndRefuseWhatTheyCannotHold) {
  OwnedLut l = randomLut(11, 5);
  RedPairs pairs;
  ASSERT_TRUE(prepareRedPairs(l.lut, pairs));
  EXPECT_EQ(pairs.size, 5);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(pairs.data) % 64, 0u);
  const float* p = pairs.data + ((3 * 5 + 4) * 5 + 2) * 8;  // point (3, 4, 2)
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(p[c], triple(l, 3, 4, 2, c));
    EXPECT_EQ(p[4 + c], triple(l, 4, 4, 2, c));
  }
  const LUT3D empty{nullptr, 65, true};
  EXPECT_FALSE(prepareRedPairs(empty, pairs));
  EXPECT_EQ(pairs.size, 0);
  const LUT3D huge{l.values.data(), 1000, true};  // offsets past 32 bits
  EXPECT_FALSE(prepareRedPairs(huge, pairs));
}

// No kernel reads past the lattice: the table ends exactly where an inaccessible page starts,
// so a stray read beyond the last triple faults.
TEST(ApplyKernels, CornerReadsStayInsideTheTable) {
  OwnedLut l = randomLut(4);
  const size_t bytes = l.values.size() * 4;
  const size_t page = size_t(sysconf(_SC_PAGESIZE));
  const size_t readable = (bytes + page - 1) / page * page;
  void* mapping = mmap(nullptr, readable + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mapping, MAP_FAILED);
  ASSERT_EQ(mprotect(static_cast<char*>(mapping) + readable, page, PROT_NONE), 0);
  float* table = reinterpret_cast<float*>(static_cast<char*>(mapping) + readable - bytes);
  std::memcpy(table, l.values.data(), bytes);
  const LUT3D guarded{table, kLutSize, true};
  std::vector<float> in;
  for (float v : {1.0f, 0.999f, 0.0f, 0.5f})
    for (int i = 0; i < 8; ++i) in.insert(in.end(), {v, v, v, 1.0f});
  for (KernelSet kernel : {KernelSet::Generic, KernelSet::Avx2, KernelSet::Avx512}) {
    if (!supports(detectCpu(), kernel)) continue;
    const std::vector<float> out = applyPixels(kernel, in, guarded, true, 1, 1, 1, 1);
    EXPECT_EQ(out[0], l.values[823872]);
    EXPECT_EQ(out[2], l.values[823874]);
  }
  munmap(mapping, readable + page);
}

TEST(ApplyLUT, WindowsBoundsAndStrides) {
  OwnedLut l = randomLut(8);
  // Source 6x4 at (10, 20) stored bottom row last (negative row bytes); Output 10x8 at (8, 18)
  // with padded rows.
  const int sw = 6, sh = 4, ow = 10, oh = 8, opad = 3;
  std::vector<float> srcStore(sw * sh * 4);
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> dist(-0.2f, 1.2f);
  for (float& v : srcStore) v = dist(rng);
  const ImageView src =
      floatRGBA(reinterpret_cast<unsigned char*>(srcStore.data() + (sh - 1) * sw * 4), -sw * 16, {10, 20, 16, 24});
  const float sentinel = -77.0f;
  std::vector<float> outStore((ow + opad) * oh * 4, sentinel);
  const ImageView out = floatRGBA(reinterpret_cast<unsigned char*>(outStore.data()), (ow + opad) * 16, {8, 18, 18, 26});
  // The window reaches past every edge of the Output.
  applyLUT(src, out, Rect{5, 15, 30, 22}, &l.lut, channelMixes(1, 1, 1, 1), preferredKernelSet());
  for (int y = 18; y < 26; ++y)
    for (int x = 8; x < 18 + opad; ++x) {
      const float* o = &outStore[((y - 18) * (ow + opad) + (x - 8)) * 4];
      if (x >= 18 || y >= 22) {
        EXPECT_EQ(o[0], sentinel) << x << "," << y;  // outside the Output or the window
        continue;
      }
      if (x < 10 || x >= 16 || y < 20) {
        EXPECT_EQ(std::vector<float>(o, o + 4), std::vector<float>(4, 0.0f)) << x << "," << y;
        continue;
      }
      const float* s = &srcStore[((sh - 1 - (y - 20)) * sw + (x - 10)) * 4];
      float r, g, b;
      sampleLUT(l.lut, std::clamp(s[0], 0.0f, 1.0f), std::clamp(s[1], 0.0f, 1.0f), std::clamp(s[2], 0.0f, 1.0f), r, g,
                b);
      EXPECT_EQ(std::vector<float>(o, o + 4), (std::vector<float>{r, g, b, s[3]})) << x << "," << y;
    }
  // An empty window writes nothing.
  std::vector<float> before = outStore;
  applyLUT(src, out, Rect{12, 21, 12, 25}, &l.lut, channelMixes(1, 1, 1, 1), preferredKernelSet());
  EXPECT_EQ(before, outStore);
}

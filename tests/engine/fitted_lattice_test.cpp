#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <numeric>
#include <random>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "engine/fitted_lattice.h"
#include "kernel_sets.h"
#include "literal_engine.h"
#include "photos.h"

namespace {

using Grade = std::function<void(const float in[3], float out[3])>;

struct Pictures {
  FloatImage source, reference;
  FramePair frame() const {
    return {{source.bytes(), source.width, source.height, source.rowBytes()},
            {reference.bytes(), reference.width, reference.height, reference.rowBytes()}};
  }
};

Pictures graded(FloatImage source, const Grade& grade) {
  Pictures p{source, source};
  for (size_t i = 0; i < source.pixels.size(); i += 4) grade(&source.pixels[i], &p.reference.pixels[i]);
  return p;
}

FloatImage randomColours(int32_t width, int32_t height, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  FloatImage image;
  image.width = width;
  image.height = height;
  image.pixels.resize(size_t(width) * height * 4, 1.0f);
  for (size_t i = 0; i < image.pixels.size(); ++i)
    if (i % 4 != 3) image.pixels[i] = unit(rng);
  return image;
}

FloatImage uniform(int32_t width, int32_t height, float r, float g, float b) {
  FloatImage image;
  image.width = width;
  image.height = height;
  for (int32_t i = 0; i < width * height; ++i) image.pixels.insert(image.pixels.end(), {r, g, b, 1.0f});
  return image;
}

std::vector<float> fit(const FramePair* frames, int32_t count, PreserveMode mode = PreserveNothing,
                       KernelSet kernels = preferredKernelSet()) {
  std::vector<float> storage(size_t(kLutFloats), -7.0f);
  LUT3D lut{storage.data(), kLutSize, false};
  EXPECT_TRUE(buildMatchLUT_FittedLattice(frames, count, lut, mode, kernels));
  EXPECT_TRUE(lut.valid);
  return storage;
}

std::vector<float> fit(const Pictures& p, PreserveMode mode = PreserveNothing) {
  const FramePair frame = p.frame();
  return fit(&frame, 1, mode);
}

// The renderer's trilinear lookup.
void lookup(const std::vector<float>& lut, const float in[3], float out[3]) {
  const int n = kLutSize;
  int i[3];
  float f[3];
  for (int a = 0; a < 3; ++a) {
    const float x = std::min(std::max(in[a], 0.0f), 1.0f) * float(n - 1);
    i[a] = std::min(int(x), n - 2);
    f[a] = x - float(i[a]);
  }
  for (int c = 0; c < 3; ++c) {
    float v[2][2][2];
    for (int k = 0; k < 8; ++k)
      v[k >> 2][(k >> 1) & 1][k & 1] = lut[lutOffset(n, i[0] + (k >> 2), i[1] + ((k >> 1) & 1), i[2] + (k & 1)) + c];
    float e[2];
    for (int r = 0; r < 2; ++r)
      e[r] = (v[r][0][0] * (1 - f[2]) + v[r][0][1] * f[2]) * (1 - f[1]) +
             (v[r][1][0] * (1 - f[2]) + v[r][1][1] * f[2]) * f[1];
    out[c] = e[0] * (1 - f[0]) + e[1] * f[0];
  }
}

// The differences between the table and the grade at colours the fit never saw.
std::vector<float> errors(const std::vector<float>& lut, const Grade& grade) {
  const FloatImage probe = randomColours(100, 100, 99);
  std::vector<float> out;
  for (size_t i = 0; i < probe.pixels.size(); i += 4) {
    float want[3], got[3];
    grade(&probe.pixels[i], want);
    lookup(lut, &probe.pixels[i], got);
    for (int c = 0; c < 3; ++c) out.push_back(std::abs(want[c] - got[c]));
  }
  return out;
}

float worstError(const std::vector<float>& lut, const Grade& grade) {
  const std::vector<float> e = errors(lut, grade);
  return *std::max_element(e.begin(), e.end());
}

float meanError(const std::vector<float>& lut, const Grade& grade) {
  const std::vector<float> e = errors(lut, grade);
  return float(std::accumulate(e.begin(), e.end(), 0.0) / double(e.size()));
}

void expectSane(const std::vector<float>& lut) {
  for (float v : lut) ASSERT_TRUE(v >= 0.0f && v <= 1.0f) << v;
}

float identityDeparture(const std::vector<float>& lut, int32_t r, int32_t g, int32_t b) {
  const float* v = &lut[lutOffset(kLutSize, r, g, b)];
  return std::max({std::abs(v[0] - r / 64.0f), std::abs(v[1] - g / 64.0f), std::abs(v[2] - b / 64.0f)});
}

}  // namespace

// Grades known in closed form come back from 50,000 random samples of the cube, at colours
// the samples missed.
TEST(FittedLattice, ReproducesKnownGradesFromTheirSamples) {
  const FloatImage colours = randomColours(250, 200, 7);
  const Grade identity = [](const float in[3], float out[3]) { std::copy(in, in + 3, out); };
  const Grade matrix = [](const float in[3], float out[3]) {
    out[0] = std::min(1.0f, 0.85f * in[0] + 0.1f * in[1] + 0.03f * in[2]);
    out[1] = std::min(1.0f, 0.05f * in[0] + 0.9f * in[1] + 0.05f * in[2]);
    out[2] = std::min(1.0f, 0.02f * in[0] + 0.08f * in[1] + 0.8f * in[2] + 0.05f);
  };
  const Grade curves = [](const float in[3], float out[3]) {
    out[0] = std::pow(in[0], 0.8f);
    out[1] = in[1] * in[1] * (3.0f - 2.0f * in[1]);  // an S-curve
    out[2] = 0.06f + 0.9f * in[2];
  };
  const std::vector<float> same = fit(graded(colours, identity));
  for (int32_t i = 0; i < kLutSize; ++i) ASSERT_EQ(identityDeparture(same, i, (i * 7) % 65, 64 - i), 0.0f);
  // A matrix is affine, which the curvature price leaves free: float rounding only.
  EXPECT_LE(worstError(fit(graded(colours, matrix)), matrix), 1e-5f);
  // Curves bend between lattice points; the worst is at the foot of x^0.8, whose slope has no
  // bound.
  const std::vector<float> bent = fit(graded(colours, curves));
  EXPECT_LE(meanError(bent, curves), 2e-4f);
  EXPECT_LE(worstError(bent, curves), 1.5e-2f);
}

// An image matched against itself gives the identity: exactly, or within the rounding of the
// Lab round trip that Preserve puts each target through.
TEST(FittedLattice, AnImageAgainstItselfGivesTheIdentity) {
  const FloatImage photo = loadPhoto("chelsea.png", 480, 270);
  const Pictures p{photo, photo};
  EXPECT_EQ(fit(p), [] {
    std::vector<float> identity(static_cast<size_t>(kLutFloats));
    for (int32_t r = 0; r < kLutSize; ++r)
      for (int32_t g = 0; g < kLutSize; ++g)
        for (int32_t b = 0; b < kLutSize; ++b) lutIdentityValue(kLutSize, r, g, b, &identity[lutOffset(65, r, g, b)]);
    return identity;
  }());
  for (PreserveMode mode : {PreserveBrightness, PreserveColors}) {
    const std::vector<float> lut = fit(p, mode);
    float worst = 0.0f;
    for (int32_t r = 0; r < kLutSize; r += 4)
      for (int32_t g = 0; g < kLutSize; g += 4)
        for (int32_t b = 0; b < kLutSize; b += 4) worst = std::max(worst, identityDeparture(lut, r, g, b));
    EXPECT_LE(worst, 1e-3f) << mode;
  }
}

// Few samples, one colour, no overlap, colours outside 0..1: no NaN, nothing outside 0..1, the
// identity where nothing was learnt.
TEST(FittedLattice, SparseOrEmptyInputsGiveSaneTables) {
  const Pictures one{uniform(64, 64, 0.5f, 0.4f, 0.3f), uniform(64, 64, 0.7f, 0.4f, 0.1f)};
  const std::vector<float> learnt = fit(one);
  expectSane(learnt);
  float at[3];
  const float colour[3] = {0.5f, 0.4f, 0.3f};
  lookup(learnt, colour, at);
  EXPECT_NEAR(at[0], 0.7f, 1e-3f);
  EXPECT_NEAR(at[2], 0.1f, 1e-3f);
  for (int32_t corner : {0, 7, 56, 63})  // the far corners of the cube, by bit
    EXPECT_LE(identityDeparture(learnt, (corner & 4) ? 64 : 0, (corner & 2) ? 64 : 0, (corner & 1) ? 64 : 0), 1e-3f);

  FloatImage three = uniform(3, 1, 0.0f, 0.0f, 0.0f), wild = three;
  const float values[] = {0.2f, 0.9f, 0.1f, 1.0f, 0.8f, 0.5f, 0.6f, 0.3f, 1.0f, 0.0f, 0.0f, 1.0f};
  const float out[] = {-3.0f, 1e30f, NAN, 1.0f, 0.1f, INFINITY, -INFINITY, 1.0f, 0.5f, 0.5f, 0.5f, 1.0f};
  std::copy(values, values + 12, three.pixels.begin());
  std::copy(out, out + 12, wild.pixels.begin());
  expectSane(fit(Pictures{three, wild}));
  expectSane(fit(Pictures{wild, three}));

  const std::vector<float> identity = fit(Pictures{one.source, uniform(0, 64, 0, 0, 0)});
  for (int32_t r = 0; r < kLutSize; r += 8)
    for (int32_t b = 0; b < kLutSize; ++b) ASSERT_EQ(identityDeparture(identity, r, 64 - r, b), 0.0f);
}

// The frames' pairs are pooled: a frame without pixels adds none.
TEST(FittedLattice, PoolsThePairsOfEveryFrame) {
  const Pictures p = graded(loadPhoto("rocket.jpg", 320, 180), [](const float in[3], float out[3]) {
    for (int c = 0; c < 3; ++c) out[c] = std::sqrt(in[c]);
  });
  const FramePair frames[] = {p.frame(), {{nullptr, 0, 0, 0}, {nullptr, 0, 0, 0}}};
  EXPECT_EQ(fit(frames, 2), fit(frames, 1));
}

TEST(FittedLattice, EveryKernelSetBuildsTheSameTable) {
  const Pictures p{loadPhoto("astronaut.png", 480, 270), loadPhoto("coffee.png", 480, 270)};
  const FramePair frame = p.frame();
  for (PreserveMode mode : {PreserveNothing, PreserveBrightness, PreserveColors}) {
    const std::vector<float> best = fit(&frame, 1, mode);
    forEachKernelSet([&](KernelSet k) { EXPECT_EQ(fit(&frame, 1, mode, k), best) << mode; });
  }
}

// However the work is spread (threads taking tasks as they come, or every task in reverse order
// on one thread), the table has the same bits.
TEST(FittedLattice, SpreadingTheWorkChangesNoBit) {
  const Pictures p{loadPhoto("rocket.jpg", 480, 270), loadPhoto("chelsea.png", 480, 270)};
  const FramePair frame = p.frame();
  engine::FitTasks threads{3, [](int32_t count, const engine::FitTaskBody& body) {
                             std::atomic<int32_t> next{0};
                             std::vector<std::thread> pool;
                             for (int32_t slot = 0; slot < 3; ++slot)
                               pool.emplace_back([&, slot] {
                                 for (int32_t t; (t = next++) < count;) body(t, slot);
                               });
                             for (auto& t : pool) t.join();
                           }};
  engine::FitTasks reversed{4, [](int32_t count, const engine::FitTaskBody& body) {
                              for (int32_t t = count - 1; t >= 0; --t) body(t, 0);
                            }};
  for (PreserveMode mode : {PreserveNothing, PreserveColors}) {
    const std::vector<float> one = fit(&frame, 1, mode);
    for (const engine::FitTasks* tasks : {&threads, &reversed}) {
      std::vector<float> spread(static_cast<size_t>(kLutFloats));
      LUT3D lut{spread.data(), kLutSize, false};
      ASSERT_TRUE(engine::fitLattice(&frame, 1, lut, mode, preferredKernelSet(), engine::FitSettings{}, *tasks));
      EXPECT_EQ(spread, one) << mode << " " << tasks->threads;
    }
  }
}

// The plain implementation agrees: closely when few iterations leave little room for float
// rounding to steer the iterates, and on the picture itself at the shipped settings, where the
// pairs pin the table down (the far reaches, which they do not, stay within 5e-3).
TEST(FittedLattice, AgreesWithThePlainImplementation) {
  const Pictures p = graded(loadPhoto("astronaut.png", 480, 270), [](const float in[3], float out[3]) {
    out[0] = std::pow(in[0], 0.8f);
    out[1] = in[1] * 0.9f;
    out[2] = 0.05f + 0.9f * in[2];
  });
  const FramePair frame = p.frame();
  engine::FitSettings brief;
  for (int32_t& iterations : brief.iterations) iterations = 2;
  std::vector<float> fast(static_cast<size_t>(kLutFloats)), plain;
  LUT3D lut{fast.data(), kLutSize, false};
  ASSERT_TRUE(engine::fitLattice(&frame, 1, lut, PreserveColors, preferredKernelSet(), brief));
  literal::fitLattice(&frame, 1, kLutSize, PreserveColors, plain, brief);
  for (size_t i = 0; i < fast.size(); ++i) ASSERT_NEAR(fast[i], plain[i], 1e-4f) << i;

  for (PreserveMode mode : {PreserveNothing, PreserveBrightness}) {
    fast = fit(&frame, 1, mode);
    literal::fitLattice(&frame, 1, kLutSize, mode, plain);
    for (size_t i = 0; i < fast.size(); ++i) ASSERT_NEAR(fast[i], plain[i], 5e-3f) << i;
    for (size_t i = 0; i < p.source.pixels.size(); i += 4) {
      float a[3], b[3];
      lookup(fast, &p.source.pixels[i], a);
      lookup(plain, &p.source.pixels[i], b);
      for (int c = 0; c < 3; ++c) ASSERT_NEAR(a[c], b[c], 1e-4f);
    }
  }
}

TEST(FittedLattice, LevelsHalveTheSpacingDownToTheCoarsest) {
  EXPECT_EQ(engine::fitLevelSizes(65, 5), (std::vector<int32_t>{5, 9, 17, 33, 65}));
  EXPECT_EQ(engine::fitLevelSizes(64, 5), (std::vector<int32_t>{64}));
  EXPECT_EQ(engine::fitLevelSizes(2, 5), (std::vector<int32_t>{2}));
  // Prolongation reproduces a trilinear function exactly.
  std::vector<float> coarse(27), fine(125);
  for (int i = 0; i < 27; ++i) coarse[size_t(i)] = float(i / 9) * 0.5f + float(i / 3 % 3) * 0.25f - float(i % 3);
  engine::prolongLattice(coarse.data(), 3, fine.data());
  for (int i = 0; i < 125; ++i)
    ASSERT_EQ(fine[size_t(i)], float(i / 25) * 0.25f + float(i / 5 % 5) * 0.125f - float(i % 5) * 0.5f);
}

TEST(FittedLattice, RefusesALatticeWithoutStorage) {
  const Pictures p{uniform(4, 4, 0.5f, 0.5f, 0.5f), uniform(4, 4, 0.5f, 0.5f, 0.5f)};
  const FramePair frame = p.frame();
  LUT3D none{nullptr, 0, true};
  EXPECT_FALSE(buildMatchLUT_FittedLattice(&frame, 1, none, PreserveNothing, preferredKernelSet()));
  EXPECT_FALSE(none.valid);
}

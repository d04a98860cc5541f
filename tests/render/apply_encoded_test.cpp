// A plate in linear light over a lattice of light: every kernel set against the generic one,
// and against the learnt lattice with its curve on the way back.
#include "render/apply_encoded.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr int32_t kWidth = 203, kHeight = 5;  // rows of a few 64-pixel chunks and a tail

// A smooth graded-looking lattice of code values in 0..1.
std::vector<float> gradedCodes() {
  std::vector<float> v(static_cast<size_t>(kLutFloats));
  for (int r = 0; r < kLutSize; ++r)
    for (int g = 0; g < kLutSize; ++g)
      for (int b = 0; b < kLutSize; ++b) {
        const float x[3] = {r / 64.0f, g / 64.0f, b / 64.0f};
        float* t = &v[size_t(lutOffset(kLutSize, r, g, b))];
        t[0] = std::pow(0.85f * x[0] + 0.1f * x[1] + 0.05f * x[2], 0.9f);
        t[1] = 0.05f * x[0] + 0.9f * x[1] + 0.05f * x[2];
        t[2] = std::min(1.0f, 0.1f * x[0] + 0.15f * x[1] + 0.8f * x[2]);
      }
  return v;
}

// Linear light in gradients along the rows (so the red-pair table is taken), with a pixel beyond
// the end, a channel below 0, a NaN and an infinity in some rows.
std::vector<float> plate(float end) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> jitter(0.0f, 0.02f);
  std::vector<float> p(size_t(kWidth) * kHeight * 4);
  for (int32_t y = 0; y < kHeight; ++y)
    for (int32_t x = 0; x < kWidth; ++x) {
      float* q = &p[(size_t(y) * kWidth + x) * 4];
      const float t = float(x) / kWidth;
      q[0] = end * (t + jitter(rng)) * 0.9f;
      q[1] = end * (t * t + jitter(rng)) * 0.7f;
      q[2] = end * (0.3f * t + 0.1f * float(y) / kHeight + jitter(rng));
      q[3] = 0.5f;
    }
  p[(1 * kWidth + 70) * 4 + 1] = 3.0f * end;  // beyond the end: this chunk is scaled
  p[(2 * kWidth + 9) * 4] = -0.01f;
  p[(2 * kWidth + 130) * 4 + 2] = NAN;
  p[(3 * kWidth + 200) * 4 + 1] = INFINITY;
  return p;
}

std::vector<float> render(const std::vector<float>& lattice, const PlateTransform& t, const ChannelMixes& mixes,
                          std::vector<float> in, KernelSet kernels) {
  const Rect bounds{0, 0, kWidth, kHeight};
  std::vector<float> out(in.size());
  const LUT3D lut{const_cast<float*>(lattice.data()), kLutSize, true};
  RedPairs pairs;
  EXPECT_TRUE(prepareRedPairs(lut, pairs));
  applyEncodedLUT(floatRGBA(reinterpret_cast<unsigned char*>(in.data()), kWidth * 16, bounds),
                  floatRGBA(reinterpret_cast<unsigned char*>(out.data()), kWidth * 16, bounds), bounds, &lut, &pairs,
                  mixes, t, kernels);
  return out;
}

}  // namespace

// Every kernel set gives the generic set's bits (which takes the lookup and the blend apart where
// the others fuse them); against the learnt lattice with its curve, the same within rounding in
// linear light, and in the curved spaces within what interpolating light rather than code values
// between the lattice's points changes (a chord of the curve over a cell: 0.05% in the gamma
// space, 0.6% in the log space, where the plug-in keeps the curve), relative to max(1, |value|).
TEST(ApplyEncoded, LatticeOfLightOnEveryKernelSet) {
  const std::vector<float> codes = gradedCodes();
  const struct {
    WorkingSpace space;
    float bound;
  } cases[] = {
      {{WorkingSpace::Linear, 4.0f}, 2e-6f}, {{WorkingSpace::Gamma, 1.0f}, 5e-4f}, {{WorkingSpace::Log, 16.0f}, 6e-3f}};
  for (const auto& c : cases) {
    const PlateTransform curved = makePlateTransform(PlateEncoding::SceneLinear, c.space);
    PlateTransform light = curved;
    light.lightLattice = true;
    std::vector<float> lattice = codes;
    codeToLightValues(curved, lattice.data(), int64_t(lattice.size()), KernelSet::Generic);
    const std::vector<float> in = plate(float(workingSpaceEnd(c.space)));
    for (const ChannelMixes& mixes : {channelMixes(1, 1, 1, 1), channelMixes(0.8, 1, 0.6, 0.3)}) {
      SCOPED_TRACE(::testing::Message() << "space " << c.space.kind << " mix " << mixes.mix[2]);
      const std::vector<float> generic = render(lattice, light, mixes, in, KernelSet::Generic);
      for (KernelSet k : {KernelSet::Avx2, KernelSet::Avx512}) {
        if (supports(detectCpu(), k)) {
          EXPECT_EQ(std::memcmp(render(lattice, light, mixes, in, k).data(), generic.data(), generic.size() * 4), 0)
              << kernelSetName(k);
        }
      }
      const std::vector<float> before = render(codes, curved, mixes, in, KernelSet::Generic);
      float worst = 0.0f;
      for (size_t i = 0; i < before.size(); ++i) {
        if (std::isfinite(before[i]) || std::isfinite(generic[i]))
          worst = std::max(worst, std::fabs(generic[i] - before[i]) / std::max(1.0f, std::fabs(before[i])));
        else
          EXPECT_EQ(std::isnan(generic[i]), std::isnan(before[i])) << i;
      }
      EXPECT_LE(worst, c.bound);
    }
  }
}

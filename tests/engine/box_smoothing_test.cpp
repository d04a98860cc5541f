#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "engine/engine_internal.h"
#include "literal_engine.h"

namespace {

std::vector<float> randomLattice(int32_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::vector<float> v(size_t(n) * n * n * 3);
  for (float& x : v) x = unit(rng);
  return v;
}

void expectAllNear(const std::vector<float>& got, const std::vector<float>& want, float tol) {
  ASSERT_EQ(got.size(), want.size());
  size_t bad = 0;
  for (size_t i = 0; i < got.size(); ++i) bad += !(std::abs(got[i] - want[i]) <= tol);
  EXPECT_EQ(bad, 0u);
}

void fastShell(std::vector<float>& lattice, int32_t n) {
  std::vector<float> work(size_t(engine::smoothingWorkFloats(n)));
  engine::smoothBox(preferredKernelSet(), lattice.data(), n, 5, 5, n - 6, false, work.data());
}

void fastClipped(std::vector<float>& lattice, int32_t n, int32_t rad) {
  std::vector<float> work(size_t(engine::smoothingWorkFloats(n)));
  engine::smoothBox(preferredKernelSet(), lattice.data(), n, rad, 0, n - 1, true, work.data());
}

TEST(BoxSmoothing, ShellBlocksAgreeWithTermByTermSums) {
  for (int32_t n : {65, 17, 12, 11, 10}) {
    SCOPED_TRACE(n);
    std::vector<float> fast = randomLattice(n, 1000 + n), plain = fast;
    const std::vector<float> before = fast;
    fastShell(fast, n);
    literal::smoothShell(plain, n);
    expectAllNear(fast, plain, 1e-5f);
    // The shell keeps its values to the bit; so does everything when no point is interior.
    for (int32_t r = 0; r < n; ++r) {
      for (int32_t g = 0; g < n; ++g) {
        for (int32_t b = 0; b < n; ++b) {
          const bool interior = r >= 5 && r <= n - 6 && g >= 5 && g <= n - 6 && b >= 5 && b <= n - 6;
          const size_t i = ((size_t(r) * n + g) * n + b) * 3;
          if (!interior) {
            ASSERT_EQ(fast[i], before[i]);
          }
        }
      }
    }
  }
}

TEST(BoxSmoothing, ClippedBlocksAgreeWithTermByTermSums) {
  std::vector<float> fast = randomLattice(65, 5), plain = fast;
  fastClipped(fast, 65, 5);
  literal::smoothClipped(plain, 65, 5.0f);
  expectAllNear(fast, plain, 1e-5f);

  for (int32_t rad : {1, 2, 3, 6, 8, 9, 40}) {
    SCOPED_TRACE(rad);
    std::vector<float> small = randomLattice(9, 70 + rad), smallPlain = small;
    fastClipped(small, 9, rad);
    literal::smoothClipped(smallPlain, 9, float(rad));
    expectAllNear(small, smallPlain, 1e-6f);
  }
}

// A radius as large as the lattice averages every point over the whole lattice.
TEST(BoxSmoothing, FullRadiusGivesTheGlobalMean) {
  std::vector<float> v = randomLattice(65, 9);
  double mean[3] = {0, 0, 0};
  for (size_t i = 0; i < v.size(); ++i) mean[i % 3] += v[i];
  for (double& m : mean) m /= 274625.0;
  fastClipped(v, 65, 64);
  for (size_t i = 0; i < v.size(); ++i) ASSERT_NEAR(v[i], mean[i % 3], 1e-5);
}

}  // namespace

#include "engine/portable_powf.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>

namespace {

bool sameBits(float a, float b) { return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, 4) == 0; }

// The Windows build's cube root must give the Linux C library's bits for every argument the Lab
// conversion can see, so the comparison is exhaustive there.
TEST(PortablePowf, MatchesTheCLibraryOnEveryLabArgument) {
  volatile float exponent = 0.33333334f;
  uint32_t from, to;
  const float lo = 0.008856452f, hi = 4.0f;
  std::memcpy(&from, &lo, 4);
  std::memcpy(&to, &hi, 4);
  int64_t differing = 0;
  for (uint32_t bits = from; bits <= to; ++bits) {
    float t;
    std::memcpy(&t, &bits, 4);
    differing += !sameBits(portablePowf(t, exponent), powf(t, exponent));
  }
  EXPECT_EQ(differing, 0);
}

TEST(PortablePowf, MatchesTheCLibraryElsewhere) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<uint32_t> anyBits;
  std::uniform_real_distribution<float> exponents(-6.0f, 6.0f);
  for (int i = 0; i < 2000000; ++i) {
    uint32_t bits = anyBits(rng) & 0x7fffffffu;
    float x;
    std::memcpy(&x, &bits, 4);
    const float y = exponents(rng);
    ASSERT_TRUE(sameBits(portablePowf(x, y), powf(x, y))) << x << "^" << y;
  }
  const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
  const float specials[] = {0.0f, -0.0f, 1.0f, -1.0f, -2.5f, 1e-40f, 3e38f, inf, -inf, nan};
  for (float x : specials)
    for (float y : {0.0f, 0.5f, -0.5f, 2.0f, 3.0f, 300.0f, -300.0f, inf, nan})
      EXPECT_TRUE(sameBits(portablePowf(x, y), powf(x, y))) << x << "^" << y;
}

}  // namespace

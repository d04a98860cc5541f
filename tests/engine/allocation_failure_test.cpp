// Allocations fail on demand here: the global array new (and, for the builders that keep their
// working arrays in vectors, the plain new) is replaced for this executable.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <vector>

#include "engine/engine.h"

namespace {
int gFailAfter = -1;       // array allocations left before one fails; negative: never fail
int gFailAfterPlain = -1;  // the same for the plain new
}  // namespace

// GCC pairs the library's inlined vector code with its own idea of these two and warns.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  if (gFailAfterPlain == 0) {
    gFailAfterPlain = -1;
    throw std::bad_alloc();
  }
  if (gFailAfterPlain > 0) --gFailAfterPlain;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

void* operator new[](std::size_t size) {
  if (gFailAfter == 0) {
    gFailAfter = -1;
    throw std::bad_alloc();
  }
  if (gFailAfter > 0) --gFailAfter;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

const ColorStats kStats{{100.0f, 128.0f, 128.0f}, {50.0f, 10.0f, 10.0f}};

TEST(AllocationFailure, DifferentClipsReportsItAndLeavesTheLutInvalid) {
  std::vector<float> storage(kLutFloats, 0.25f);
  LUT3D lut{storage.data(), kLutSize, true};
  gFailAfter = 0;
  EXPECT_FALSE(buildMatchLUT_DifferentClips(kStats, kStats, lut, PreserveNothing, preferredKernelSet()));
  EXPECT_FALSE(lut.valid);
  EXPECT_EQ(lut.data, storage.data());
  EXPECT_EQ(lut.size, kLutSize);
  // The next build, with memory back, succeeds.
  EXPECT_TRUE(buildMatchLUT_DifferentClips(kStats, kStats, lut, PreserveNothing, preferredKernelSet()));
  EXPECT_TRUE(lut.valid);
}

TEST(AllocationFailure, SameFrameReportsEachFailedArray) {
  std::vector<float> image(64 * 64 * 4, 0.5f);
  const auto* px = reinterpret_cast<const unsigned char*>(image.data());
  std::vector<float> storage(kLutFloats, 0.25f);
  LUT3D lut{storage.data(), kLutSize, true};
  int arrays = 0;
  for (int failAt = 0; failAt < 8; ++failAt) {
    gFailAfter = failAt;
    const bool built =
        buildMatchLUT_SameClip(px, 64, 64, 1024, px, 64, 64, 1024, lut, 5.0f, PreserveColors, preferredKernelSet());
    EXPECT_EQ(lut.valid, built);
    if (built) {
      arrays = failAt;  // every allocation was made before the countdown ran out
      break;
    }
  }
  gFailAfter = -1;
  EXPECT_GE(arrays, 1);
  EXPECT_TRUE(
      buildMatchLUT_SameClip(px, 64, 64, 1024, px, 64, 64, 1024, lut, 5.0f, PreserveColors, preferredKernelSet()));
}

TEST(AllocationFailure, FittedLatticeReportsEachFailedAllocation) {
  std::vector<float> source(64 * 64 * 4, 0.5f), reference(64 * 64 * 4, 0.25f);
  const FramePair frame{{reinterpret_cast<const unsigned char*>(source.data()), 64, 64, 1024},
                        {reinterpret_cast<const unsigned char*>(reference.data()), 64, 64, 1024}};
  std::vector<float> storage(kLutFloats, 0.25f);
  LUT3D lut{storage.data(), kLutSize, true};
  int failures = 0;
  for (int failAt = 0; failAt < 1000; ++failAt) {
    gFailAfterPlain = failAt;
    const bool built = buildMatchLUT_FittedLattice(&frame, 1, lut, PreserveBrightness, preferredKernelSet());
    gFailAfterPlain = -1;
    ASSERT_EQ(lut.valid, built);
    if (built) break;
    ++failures;
  }
  EXPECT_GE(failures, 10);
  EXPECT_LT(failures, 1000);
}

}  // namespace

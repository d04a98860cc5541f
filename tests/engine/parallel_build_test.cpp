// Builds spread over threads give the bits of one-thread builds, whatever the number of threads.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "cpu/cpu_features.h"
#include "engine/engine.h"
#include "engine/matching_content.h"
#include "photos.h"

namespace {

// Real threads taking tasks as they come, like a host's pool.
ParallelFor threadPool(int32_t threads) {
  ParallelFor pf;
  pf.threads = threads;
  pf.run = [threads](int32_t tasks, TaskBody body) {
    std::atomic<int32_t> next{0};
    auto work = [&](int32_t slot) {
      for (int32_t t = next++; t < tasks; t = next++) body(t, slot);
    };
    std::vector<std::thread> pool;
    for (int32_t i = 1; i < threads; ++i) pool.emplace_back(work, i);
    work(0);
    for (std::thread& th : pool) th.join();
  };
  return pf;
}

struct Built {
  std::vector<float> values = std::vector<float>(size_t(kLutFloats), -1.0f);
  LUT3D lut{values.data(), kLutSize, false};
};

template <class Build>
void expectSameBitsOnAnyThreadCount(KernelSet kernels, Build build) {
  Built one;
  ASSERT_TRUE(build(one.lut, kernels, nullptr));
  for (int32_t threads : {2, 3, 100}) {
    const ParallelFor pool = threadPool(threads);
    Built many;
    ASSERT_TRUE(build(many.lut, kernels, &pool));
    EXPECT_TRUE(many.lut.valid);
    EXPECT_EQ(std::memcmp(one.values.data(), many.values.data(), one.values.size() * 4), 0) << threads << " threads";
  }
}

}  // namespace

TEST(ParallelBuild, EveryBuilderGivesTheOneThreadBits) {
  const FloatImage source = loadPhoto("rocket.jpg", 480, 270);
  const FloatImage reference = loadPhoto("coffee.png", 480, 270);
  ASSERT_FALSE(source.pixels.empty());
  ColorStats s, r;
  computeColorStats(source.bytes(), source.width, source.height, source.rowBytes(), Colorspace::Lab, s, nullptr,
                    KernelSet::Generic);
  computeColorStats(reference.bytes(), reference.width, reference.height, reference.rowBytes(), Colorspace::Lab, r,
                    nullptr, KernelSet::Generic);
  // The split is the same code for every kernel set (each set's arithmetic is checked against
  // the plain engine elsewhere); one set keeps the run short under ThreadSanitizer.
  const KernelSet kernels = preferredKernelSet(KernelFamily::Engine);
  {
    for (PreserveMode mode : {PreserveNothing, PreserveBrightness, PreserveColors}) {
      SCOPED_TRACE(int(mode));
      expectSameBitsOnAnyThreadCount(kernels, [&](LUT3D& lut, KernelSet k, const ParallelFor* pf) {
        return buildMatchLUT_DifferentClips(s, r, lut, mode, k, pf);
      });
      for (float radius : {5.0f, 0.0f}) {
        expectSameBitsOnAnyThreadCount(kernels, [&](LUT3D& lut, KernelSet k, const ParallelFor* pf) {
          return buildMatchLUT_SameClip(source.bytes(), source.width, source.height, source.rowBytes(),
                                        reference.bytes(), reference.width, reference.height, reference.rowBytes(), lut,
                                        radius, mode, k, pf);
        });
      }
    }
  }
}

// Two crops of one photograph, the second graded: the registration's search, the refinement of
// its candidates, the preparation of the two pictures and the fit all share their work out.
TEST(ParallelBuild, MatchingContentGivesTheOneThreadBits) {
  const FloatImage photo = loadPhoto("rocket.jpg");
  ASSERT_FALSE(photo.pixels.empty());
  auto crop = [&](int32_t x0, int32_t y0, bool graded) {
    FloatImage out;
    out.width = 360;
    out.height = 240;
    for (int32_t y = 0; y < out.height; ++y)
      for (int32_t x = 0; x < out.width; ++x) {
        const float* p = &photo.pixels[(size_t(y + y0) * photo.width + size_t(x + x0)) * 4];
        out.pixels.insert(out.pixels.end(), {graded ? p[0] * 0.8f + 0.1f : p[0], p[1], graded ? p[2] * p[2] : p[2], 1});
      }
    return out;
  };
  const FloatImage source = crop(20, 30, false), reference = crop(170, 120, true);
  const engine::ContentFrame frame{{source.bytes(), source.width, source.height, source.rowBytes()},
                                   nullptr,
                                   {reference.bytes(), reference.width, reference.height, reference.rowBytes()},
                                   nullptr};
  engine::ContentDecision d;
  expectSameBitsOnAnyThreadCount(preferredKernelSet(KernelFamily::Engine),
                                 [&](LUT3D& lut, KernelSet k, const ParallelFor* pf) {
                                   return buildMatchLUT_MatchingContent(&frame, 1, lut, PreserveNothing, k, pf, &d);
                                 });
  EXPECT_TRUE(d.matched()) << engine::contentReasonText(d.reason);
}

// A ParallelFor that offers threads but has no way to run them, or offers one, runs in order.
TEST(ParallelBuild, WithoutThreadsTasksRunInOrderOnTheCaller) {
  std::vector<int32_t> seen;
  ParallelFor none;
  none.threads = 4;
  runTasks(&none, 3, [&](int32_t t, int32_t slot) { seen.push_back(t * 10 + slot); });
  runTasks(nullptr, 2, [&](int32_t t, int32_t slot) { seen.push_back(t * 10 + slot); });
  EXPECT_EQ(seen, (std::vector<int32_t>{0, 10, 20, 0, 10}));
  EXPECT_EQ(slotCount(&none), 1);
  const ParallelFor pool = threadPool(4);
  EXPECT_EQ(slotCount(&pool), 4);
}

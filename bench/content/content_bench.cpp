// The cost of a Different Clips build learnt from matching content at 1920 x 1080: on one thread
// and on two (wall time, and CPU time of the calling thread and of all), next to the statistical
// build, and per frame of a pooled range whose frames are found from the previous frame's framing.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cmath>
#include <ctime>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "engine/matching_content.h"
#include "photos.h"

namespace {

double cpuSeconds(clockid_t clock) {
  timespec ts;
  clock_gettime(clock, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

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

// 1920 x 1080 of a photograph seen from (x0, y0) magnified `zoom` times, graded when asked.
FloatImage view(const FloatImage& photo, float x0, float y0, float zoom, bool graded) {
  FloatImage out;
  out.width = 1920;
  out.height = 1080;
  out.pixels.resize(size_t(out.width) * out.height * 4, 1.0f);
  for (int32_t j = 0; j < out.height; ++j)
    for (int32_t i = 0; i < out.width; ++i) {
      const int32_t x = std::min(photo.width - 1, int32_t(x0 + (float(i) + 0.5f) / zoom));
      const int32_t y = std::min(photo.height - 1, int32_t(y0 + (float(j) + 0.5f) / zoom));
      const float* p = &photo.pixels[(size_t(y) * photo.width + x) * 4];
      float* o = &out.pixels[(size_t(j) * out.width + i) * 4];
      o[0] = graded ? std::pow(p[0], 0.85f) * 0.95f : p[0];
      o[1] = graded ? p[1] * 0.9f + 0.03f : p[1];
      o[2] = graded ? std::pow(p[2], 1.1f) : p[2];
    }
  return out;
}

struct Scene {
  FloatImage photo = loadPhoto("rocket.jpg", 3200, 2134);
  FloatImage reference = view(photo, 900, 700, 1.1f, true);
  std::vector<FloatImage> sources;
  Scene() {
    for (int f = 0; f < 5; ++f)
      sources.push_back(view(photo, 300.0f + 7.0f * float(f), 350.0f - 4.0f * float(f), 1.0f, false));
  }
};

const Scene& scene() {
  static const Scene s;
  return s;
}

ImageDesc descOf(const FloatImage& im) { return {im.bytes(), im.width, im.height, im.rowBytes()}; }

void build(benchmark::State& state, int32_t frames, int32_t threads) {
  const Scene& s = scene();
  std::vector<engine::ContentFrame> list;
  for (int32_t f = 0; f < frames; ++f)
    list.push_back({descOf(s.sources[size_t(f)]), nullptr, descOf(s.reference), nullptr});
  std::vector<float> storage(static_cast<size_t>(kLutFloats));
  LUT3D lut{storage.data(), kLutSize, false};
  const ParallelFor pool = threadPool(threads);
  engine::ContentDecision d;
  double cpu = 0, all = 0;
  for (auto _ : state) {
    const double t0 = cpuSeconds(CLOCK_THREAD_CPUTIME_ID), p0 = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    buildMatchLUT_MatchingContent(list.data(), frames, lut, PreserveNothing, preferredKernelSet(KernelFamily::Engine),
                                  threads > 1 ? &pool : nullptr, &d);
    cpu += cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - t0;
    all += cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - p0;
  }
  state.counters["matched"] = d.matched() ? 1 : 0;
  // On a loaded machine the wall time says little: the calling thread's CPU time, and that of
  // every thread together (on two threads, the helper's is the difference).
  state.counters["cpu_ms_per_frame"] = 1e3 * cpu / double(state.iterations()) / frames;
  state.counters["all_threads_cpu_ms_per_frame"] = 1e3 * all / double(state.iterations()) / frames;
}

void MatchingContentBuild(benchmark::State& state) { build(state, 1, int32_t(state.range(0))); }
void MatchingContentRange(benchmark::State& state) { build(state, 5, int32_t(state.range(0))); }

void StatisticsBuild(benchmark::State& state) {
  const Scene& s = scene();
  std::vector<float> storage(static_cast<size_t>(kLutFloats));
  LUT3D lut{storage.data(), kLutSize, false};
  for (auto _ : state) {
    ColorStats a, b;
    const FloatImage& src = s.sources[0];
    computeColorStats(src.bytes(), src.width, src.height, src.rowBytes(), Colorspace::Lab, a, nullptr,
                      preferredKernelSet(KernelFamily::Engine));
    computeColorStats(s.reference.bytes(), s.reference.width, s.reference.height, s.reference.rowBytes(),
                      Colorspace::Lab, b, nullptr, preferredKernelSet(KernelFamily::Engine));
    buildMatchLUT_DifferentClips(a, b, lut, PreserveNothing, preferredKernelSet(KernelFamily::Engine));
  }
}

}  // namespace

BENCHMARK(StatisticsBuild)->Unit(benchmark::kMillisecond);
BENCHMARK(MatchingContentBuild)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(MatchingContentRange)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();

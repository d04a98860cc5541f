// Engine rebuild costs on real photographs at 1920 x 1080, single-threaded, each fast figure
// reported with its speed-up over the plain reference engine measured in the same run
// (counter "x_literal"), and the fitted lattice's with its multiple of the cell learner's time
// (counter "x_cells"). The plain benchmarks are registered first so they run first.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <ctime>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "engine/engine_internal.h"
#include "literal_engine.h"
#include "photos.h"

namespace {

std::map<std::string, double>& plainSeconds() {
  static std::map<std::string, double> seconds;
  return seconds;
}

double threadSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Runs fn once per iteration; plain runs record their time, fast runs report the ratio to it.
// The ratio uses this thread's CPU time, which other work on a shared machine disturbs least.
template <class F>
double timed(benchmark::State& state, const std::string& key, bool plain, F fn) {
  double total = 0.0;
  for (auto _ : state) {
    const double t0 = threadSeconds();
    fn();
    total += threadSeconds() - t0;
  }
  const double perIteration = total / double(state.iterations());
  if (plain) {
    plainSeconds()[key] = perIteration;
  } else if (plainSeconds().count(key)) {
    state.counters["x_literal"] = plainSeconds()[key] / perIteration;
  }
  return perIteration;
}

const FloatImage& photo(const char* name) {
  static std::map<std::string, FloatImage> cache;
  auto it = cache.find(name);
  if (it == cache.end()) it = cache.emplace(name, loadPhoto(name, 1920, 1080)).first;
  return it->second;
}

// A second grade of the same picture, for Same Frame.
const FloatImage& graded() {
  static FloatImage image = [] {
    FloatImage im = photo("astronaut.png");
    for (size_t i = 0; i < im.pixels.size(); i += 4) {
      im.pixels[i] = std::pow(im.pixels[i], 0.9f) * 1.05f;
      im.pixels[i + 1] = im.pixels[i + 1] * 0.95f;
      im.pixels[i + 2] = std::pow(im.pixels[i + 2], 1.1f);
    }
    return im;
  }();
  return image;
}

const char* kModeNames[] = {"Nothing", "Brightness", "Colors"};

std::string key(const char* what, int64_t mode) { return std::string(what) + kModeNames[mode]; }

// False (and the benchmark skipped) when the CPU lacks the kernel set.
bool runnable(benchmark::State& state, KernelSet kernels) {
  if (supports(detectCpu(), kernels)) return true;
  state.SkipWithError("kernel set not supported by this CPU");
  return false;
}

void DifferentClipsRebuild(benchmark::State& state, bool plain, KernelSet kernels) {
  if (!runnable(state, kernels)) return;
  const FloatImage& s = photo("rocket.jpg");
  const FloatImage& r = photo("coffee.png");
  const auto mode = PreserveMode(state.range(0));
  std::vector<float> storage(kLutFloats);
  LUT3D lut{storage.data(), kLutSize, false};
  std::vector<float> plainLut;
  timed(state, key("DifferentClips", mode), plain, [&] {
    ColorStats ss, rs;
    if (plain) {
      literal::computeColorStats(s.bytes(), s.width, s.height, s.rowBytes(), ss, nullptr);
      literal::computeColorStats(r.bytes(), r.width, r.height, r.rowBytes(), rs, nullptr);
      literal::buildDifferentClips(ss, rs, kLutSize, mode, plainLut);
    } else {
      computeColorStats(s.bytes(), s.width, s.height, s.rowBytes(), Colorspace::Lab, ss, nullptr, kernels);
      computeColorStats(r.bytes(), r.width, r.height, r.rowBytes(), Colorspace::Lab, rs, nullptr, kernels);
      buildMatchLUT_DifferentClips(ss, rs, lut, mode, kernels);
    }
    benchmark::DoNotOptimize(storage.data());
    benchmark::DoNotOptimize(plainLut.data());
  });
}

// The cell learner's fast build per preserve mode, for the fitted lattice's multiple of it.
std::map<int64_t, double>& cellSeconds() {
  static std::map<int64_t, double> seconds;
  return seconds;
}

void SameFrameRebuild(benchmark::State& state, bool plain, KernelSet kernels) {
  if (!runnable(state, kernels)) return;
  const FloatImage& s = photo("astronaut.png");
  const FloatImage& r = graded();
  const auto mode = PreserveMode(state.range(0));
  std::vector<float> storage(kLutFloats);
  LUT3D lut{storage.data(), kLutSize, false};
  std::vector<float> plainLut;
  const double seconds = timed(state, key("SameFrame", mode), plain, [&] {
    if (plain) {
      literal::buildSameClip(s.bytes(), s.width, s.height, s.rowBytes(), r.bytes(), r.width, r.height, r.rowBytes(),
                             kLutSize, 5.0f, mode, plainLut);
    } else {
      buildMatchLUT_SameClip(s.bytes(), s.width, s.height, s.rowBytes(), r.bytes(), r.width, r.height, r.rowBytes(),
                             lut, 5.0f, mode, kernels);
    }
    benchmark::DoNotOptimize(storage.data());
    benchmark::DoNotOptimize(plainLut.data());
  });
  if (!plain && kernels == preferredKernelSet()) cellSeconds()[mode] = seconds;
}

// The fitted lattice on the same pair; "x_cells" is its time over the cell learner's, measured
// just before in the same run (the target is at most 8).
void FittedLatticeRebuild(benchmark::State& state, bool plain, KernelSet kernels) {
  if (!runnable(state, kernels)) return;
  const FloatImage& s = photo("astronaut.png");
  const FloatImage& r = graded();
  const auto mode = PreserveMode(state.range(0));
  const FramePair frame{{s.bytes(), s.width, s.height, s.rowBytes()}, {r.bytes(), r.width, r.height, r.rowBytes()}};
  std::vector<float> storage(kLutFloats);
  LUT3D lut{storage.data(), kLutSize, false};
  std::vector<float> plainLut;
  const double seconds = timed(state, key("FittedLattice", mode), plain, [&] {
    if (plain) {
      literal::fitLattice(&frame, 1, kLutSize, mode, plainLut);
    } else {
      buildMatchLUT_FittedLattice(&frame, 1, lut, mode, kernels);
    }
    benchmark::DoNotOptimize(storage.data());
    benchmark::DoNotOptimize(plainLut.data());
  });
  if (!plain && cellSeconds().count(mode)) state.counters["x_cells"] = seconds / cellSeconds()[mode];
}

// Smoothing alone, on the per-point lattice of a real Different Clips build.
const std::vector<float>& unsmoothed() {
  static std::vector<float> lattice = [] {
    ColorStats ss, rs;
    const FloatImage& s = photo("rocket.jpg");
    const FloatImage& r = photo("coffee.png");
    literal::computeColorStats(s.bytes(), s.width, s.height, s.rowBytes(), ss, nullptr);
    literal::computeColorStats(r.bytes(), r.width, r.height, r.rowBytes(), rs, nullptr);
    std::vector<float> v;
    literal::transferLattice(ss, rs, kLutSize, PreserveNothing, v);
    return v;
  }();
  return lattice;
}

void Smoothing(benchmark::State& state, bool plain, bool clipped) {
  const KernelSet kernels = preferredKernelSet(KernelFamily::Engine);
  std::vector<float> lattice = unsmoothed();
  std::vector<float> work(size_t(engine::smoothingWorkFloats(kLutSize)));
  timed(state, clipped ? "ClippedSmoothing" : "ShellSmoothing", plain, [&] {
    if (plain && clipped) literal::smoothClipped(lattice, kLutSize, 5.0f);
    if (plain && !clipped) literal::smoothShell(lattice, kLutSize);
    if (!plain && clipped) engine::smoothBox(kernels, lattice.data(), kLutSize, 5, 0, kLutSize - 1, true, work.data());
    if (!plain && !clipped)
      engine::smoothBox(kernels, lattice.data(), kLutSize, 5, 5, kLutSize - 6, false, work.data());
    benchmark::DoNotOptimize(lattice.data());
  });
}

// Threads started for every parallel step, as a host's multi-thread suite does. Each step adds
// its slowest thread's CPU time to *critical: with the caller's own CPU time, the build's length
// on as many idle cores as threads, which a machine shared with other work cannot show by wall
// clock.
ParallelFor freshThreads(int32_t threads, double* critical) {
  ParallelFor pf;
  pf.threads = threads;
  pf.run = [threads, critical](int32_t tasks, TaskBody body) {
    std::atomic<int32_t> next{0};
    std::vector<double> cpu(size_t(threads), 0.0);
    auto work = [&](int32_t w) {
      const double t0 = threadSeconds();
      for (int32_t t = next++; t < tasks; t = next++) body(t, w);
      cpu[size_t(w)] = threadSeconds() - t0;
    };
    std::vector<std::thread> pool;
    for (int32_t i = 0; i < threads; ++i) pool.emplace_back(work, i);
    for (std::thread& th : pool) th.join();
    *critical += *std::max_element(cpu.begin(), cpu.end());
  };
  return pf;
}

double wallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A whole rebuild (statistics included for Different Clips) as the plug-in runs it: "today" is
// the configuration before the builds were threaded (one thread, the application's kernel set,
// which was then the only rule); the others use the engine's rule on 1 or 2 threads and report
// "x_today" by wall clock and "x_today_cpu" by CPU time along the critical path (see
// freshThreads).
enum Learner { DifferentClipsStats, SameFrameCells, SameFrameFitted };

void ThreadedRebuild(benchmark::State& state, Learner learner, bool today, int32_t threads) {
  const bool sameFrame = learner != DifferentClipsStats;
  const KernelSet kernels =
      today ? preferredKernelSet(KernelFamily::Application) : preferredKernelSet(KernelFamily::Engine);
  double critical = 0.0;
  const ParallelFor pool = freshThreads(threads, &critical);
  const ParallelFor* parallel = threads > 1 ? &pool : nullptr;
  std::vector<float> storage(kLutFloats);
  LUT3D lut{storage.data(), kLutSize, false};
  const FloatImage& s = photo(sameFrame ? "astronaut.png" : "rocket.jpg");
  const FloatImage& r = sameFrame ? graded() : photo("coffee.png");
  double wall = 0.0;
  for (auto _ : state) {
    const double t0 = wallSeconds(), c0 = threadSeconds();
    if (learner == SameFrameFitted) {
      const FramePair frame{{s.bytes(), s.width, s.height, s.rowBytes()}, {r.bytes(), r.width, r.height, r.rowBytes()}};
      buildMatchLUT_FittedLattice(&frame, 1, lut, PreserveNothing, kernels, parallel);
    } else if (sameFrame) {
      buildMatchLUT_SameClip(s.bytes(), s.width, s.height, s.rowBytes(), r.bytes(), r.width, r.height, r.rowBytes(),
                             lut, 5.0f, PreserveNothing, kernels, parallel);
    } else {
      ColorStats ss, rs;
      computeColorStats(s.bytes(), s.width, s.height, s.rowBytes(), Colorspace::Lab, ss, nullptr, kernels);
      computeColorStats(r.bytes(), r.width, r.height, r.rowBytes(), Colorspace::Lab, rs, nullptr, kernels);
      buildMatchLUT_DifferentClips(ss, rs, lut, PreserveNothing, kernels, parallel);
    }
    wall += wallSeconds() - t0;
    critical += threadSeconds() - c0;
    benchmark::DoNotOptimize(storage.data());
  }
  const char* const names[] = {"DifferentClips", "SameFrame", "FittedLattice"};
  const std::string key = std::string(names[learner]) + "Today";
  const double perBuild = wall / double(state.iterations()), path = critical / double(state.iterations());
  if (today) {
    plainSeconds()[key] = perBuild;
    plainSeconds()[key + "Cpu"] = path;
  } else if (plainSeconds().count(key)) {
    state.counters["x_today"] = plainSeconds()[key] / perBuild;
    state.counters["x_today_cpu"] = plainSeconds()[key + "Cpu"] / path;
  }
}

}  // namespace

BENCHMARK_CAPTURE(ThreadedRebuild, DifferentClips_Today, DifferentClipsStats, true, 1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(ThreadedRebuild, DifferentClips_1Thread, DifferentClipsStats, false, 1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(ThreadedRebuild, DifferentClips_2Threads, DifferentClipsStats, false, 2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(ThreadedRebuild, SameFrame_Today, SameFrameCells, true, 1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(ThreadedRebuild, SameFrame_1Thread, SameFrameCells, false, 1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(ThreadedRebuild, SameFrame_2Threads, SameFrameCells, false, 2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(ThreadedRebuild, FittedLattice_Today, SameFrameFitted, true, 1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(ThreadedRebuild, FittedLattice_1Thread, SameFrameFitted, false, 1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(ThreadedRebuild, FittedLattice_2Threads, SameFrameFitted, false, 2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(Smoothing, Shell_Plain, true, false)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK_CAPTURE(Smoothing, Shell_Fast, false, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Smoothing, Clipped_Plain, true, true)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK_CAPTURE(Smoothing, Clipped_Fast, false, true)->Unit(benchmark::kMillisecond);
// The fast engine with the kernels this CPU gets, then with each set on its own.
BENCHMARK_CAPTURE(DifferentClipsRebuild, Plain, true, preferredKernelSet(KernelFamily::Engine))
    ->DenseRange(0, 2)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);
BENCHMARK_CAPTURE(DifferentClipsRebuild, Fast, false, preferredKernelSet(KernelFamily::Engine))
    ->DenseRange(0, 2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(DifferentClipsRebuild, FastAvx512, false, KernelSet::Avx512)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(DifferentClipsRebuild, FastAvx2, false, KernelSet::Avx2)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(DifferentClipsRebuild, FastGeneric, false, KernelSet::Generic)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SameFrameRebuild, Plain, true, preferredKernelSet(KernelFamily::Engine))
    ->DenseRange(0, 2)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);
BENCHMARK_CAPTURE(SameFrameRebuild, Fast, false, preferredKernelSet(KernelFamily::Engine))
    ->DenseRange(0, 2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SameFrameRebuild, FastAvx512, false, KernelSet::Avx512)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SameFrameRebuild, FastAvx2, false, KernelSet::Avx2)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SameFrameRebuild, FastGeneric, false, KernelSet::Generic)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(FittedLatticeRebuild, Plain, true, preferredKernelSet())
    ->DenseRange(0, 2)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);
BENCHMARK_CAPTURE(FittedLatticeRebuild, Fast, false, preferredKernelSet(KernelFamily::Engine))
    ->DenseRange(0, 2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(FittedLatticeRebuild, FastAvx512, false, KernelSet::Avx512)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(FittedLatticeRebuild, FastAvx2, false, KernelSet::Avx2)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(FittedLatticeRebuild, FastGeneric, false, KernelSet::Generic)->Arg(0)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  benchmark::AddCustomContext("engine kernels", kernelSetName(preferredKernelSet(KernelFamily::Engine)));
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

// Engine rebuild costs on real photographs at 1920 x 1080, single-threaded, each fast figure
// reported with its speed-up over the plain reference engine measured in the same run
// (counter "x_literal"), and the fitted lattice's with its multiple of the cell learner's time
// (counter "x_cells"). The plain benchmarks are registered first so they run first.
#include <benchmark/benchmark.h>

#include <cmath>
#include <ctime>
#include <map>
#include <string>
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
  const KernelSet kernels = preferredKernelSet();
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

}  // namespace

BENCHMARK_CAPTURE(Smoothing, Shell_Plain, true, false)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK_CAPTURE(Smoothing, Shell_Fast, false, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Smoothing, Clipped_Plain, true, true)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK_CAPTURE(Smoothing, Clipped_Fast, false, true)->Unit(benchmark::kMillisecond);
// The fast engine with the kernels this CPU gets, then with each set on its own.
BENCHMARK_CAPTURE(DifferentClipsRebuild, Plain, true, preferredKernelSet())
    ->DenseRange(0, 2)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);
BENCHMARK_CAPTURE(DifferentClipsRebuild, Fast, false, preferredKernelSet())
    ->DenseRange(0, 2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(DifferentClipsRebuild, FastAvx512, false, KernelSet::Avx512)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(DifferentClipsRebuild, FastAvx2, false, KernelSet::Avx2)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(DifferentClipsRebuild, FastGeneric, false, KernelSet::Generic)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SameFrameRebuild, Plain, true, preferredKernelSet())
    ->DenseRange(0, 2)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);
BENCHMARK_CAPTURE(SameFrameRebuild, Fast, false, preferredKernelSet())->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SameFrameRebuild, FastAvx512, false, KernelSet::Avx512)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SameFrameRebuild, FastAvx2, false, KernelSet::Avx2)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SameFrameRebuild, FastGeneric, false, KernelSet::Generic)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(FittedLatticeRebuild, Plain, true, preferredKernelSet())
    ->DenseRange(0, 2)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);
BENCHMARK_CAPTURE(FittedLatticeRebuild, Fast, false, preferredKernelSet())
    ->DenseRange(0, 2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(FittedLatticeRebuild, FastAvx512, false, KernelSet::Avx512)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(FittedLatticeRebuild, FastAvx2, false, KernelSet::Avx2)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(FittedLatticeRebuild, FastGeneric, false, KernelSet::Generic)->Arg(0)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  benchmark::AddCustomContext("engine kernels", kernelSetName(preferredKernelSet()));
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

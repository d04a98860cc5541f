// The cost of a build from N frames at 1920 x 1080, single-threaded: Different Clips (pooled
// statistics of Source and Reference, then the lattice) and Same Frame (pooled pairs, then the
// lattice), each reported with its cost relative to the one-frame build measured in the same run
// (counter "x_one_frame").
#include <benchmark/benchmark.h>

#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "photos.h"

namespace {

double threadSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

std::map<std::string, double>& oneFrame() {
  static std::map<std::string, double> seconds;
  return seconds;
}

// N frames of a moving shot: the four photographs in turn, each a little darker than the last.
const std::vector<FloatImage>& shot(bool reference) {
  static std::vector<FloatImage> frames[2];
  std::vector<FloatImage>& v = frames[reference];
  if (v.empty()) {
    const char* names[2][4] = {{"rocket.jpg", "coffee.png", "chelsea.png", "astronaut.png"},
                               {"coffee.png", "chelsea.png", "astronaut.png", "rocket.jpg"}};
    std::vector<FloatImage> photos;
    for (const char* name : names[reference]) photos.push_back(loadPhoto(name, 1920, 1080));
    for (int f = 0; f < 32; ++f) {
      FloatImage image = photos[size_t(f % 4)];
      for (float& x : image.pixels) x *= 1.0f - 0.008f * float(f);
      v.push_back(std::move(image));
    }
  }
  return v;
}

ImageDesc descOf(const FloatImage& im) { return ImageDesc{im.bytes(), im.width, im.height, im.rowBytes()}; }

template <class F>
void timed(benchmark::State& state, const std::string& kind, F fn) {
  double total = 0.0;
  for (auto _ : state) {
    const double t0 = threadSeconds();
    fn();
    total += threadSeconds() - t0;
  }
  const double perIteration = total / double(state.iterations());
  if (state.range(0) == 1) oneFrame()[kind] = perIteration;
  if (oneFrame().count(kind)) state.counters["x_one_frame"] = perIteration / oneFrame()[kind];
}

void DifferentClipsFrames(benchmark::State& state) {
  const int n = int(state.range(0));
  std::vector<MaskedImage> sources, references;
  for (int f = 0; f < n; ++f) {
    sources.push_back(MaskedImage{descOf(shot(false)[size_t(f)]), nullptr});
    references.push_back(MaskedImage{descOf(shot(true)[size_t(f)]), nullptr});
  }
  std::vector<float> storage(kLutFloats);
  LUT3D lut{storage.data(), kLutSize, false};
  timed(state, "DifferentClips", [&] {
    ColorStats s, r;
    computeColorStatsFrames(sources.data(), n, Colorspace::Lab, s, preferredKernelSet());
    computeColorStatsFrames(references.data(), n, Colorspace::Lab, r, preferredKernelSet());
    buildMatchLUT_DifferentClips(s, r, lut, PreserveNothing, preferredKernelSet());
    benchmark::DoNotOptimize(storage.data());
  });
}

void SameFrameFrames(benchmark::State& state) {
  const int n = int(state.range(0));
  std::vector<FramePair> pairs;
  for (int f = 0; f < n; ++f) pairs.push_back(FramePair{descOf(shot(false)[size_t(f)]), descOf(shot(true)[size_t(f)])});
  std::vector<float> storage(kLutFloats);
  LUT3D lut{storage.data(), kLutSize, false};
  timed(state, "SameFrame", [&] {
    buildMatchLUT_SameClipFrames(pairs.data(), n, lut, 5.0f, PreserveNothing, preferredKernelSet());
    benchmark::DoNotOptimize(storage.data());
  });
}

}  // namespace

BENCHMARK(DifferentClipsFrames)->Arg(1)->Arg(2)->Arg(8)->Arg(32)->Unit(benchmark::kMillisecond);
BENCHMARK(SameFrameFrames)->Arg(1)->Arg(2)->Arg(8)->Arg(32)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  benchmark::AddCustomContext("engine kernels", kernelSetName(preferredKernelSet()));
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

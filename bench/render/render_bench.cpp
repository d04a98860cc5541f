// A cache-hit render through the real module (instance lookup, image fetches, parameter reads,
// cache test, application) beside the application alone on the same frame: the difference is
// the render action's own overhead. Counters: "apply_share", the application's share of a
// cache-hit render, and "x_1thread", how much faster two concurrent tile renders of the frame
// finish than one render of it.
#include <benchmark/benchmark.h>

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "band_pool.h"
#include "host/ofx_host.h"
#include "photo_rgba.h"
#include "render/apply_lut.h"

namespace OIIO = OIIO_NAMESPACE;

namespace {

constexpr int kWidth = 1920, kHeight = 1080;

struct Fixture {
  ofxhost::Host host;
  ofxhost::Effect* instance = nullptr;
  std::shared_ptr<ofxhost::Image> source, output;
  Fixture() {
    if (!host.open(VANTREL_MODULE_PATH)) throw std::runtime_error(host.error());
    host.load();
    host.describe();
    host.describeInContext(kOfxImageEffectContextGeneral);
    instance = host.newInstance(kOfxImageEffectContextGeneral);
    host.createInstance(instance);
    const OfxRectI bounds{0, 0, kWidth, kHeight};
    source = ofxhost::makeImage(photoRGBA("coffee.png", kWidth, kHeight), bounds);
    host.attachImage(instance, "Source", source);
    host.attachImage(instance, "Reference", ofxhost::makeImage(photoRGBA("chelsea.png", kWidth, kHeight), bounds));
    output = ofxhost::makeBlankImage(bounds);
    host.attachImage(instance, "Output", output);
    host.render(instance, 1.0, bounds);  // builds the LUT: later renders are hits
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void rate(benchmark::State& state) {
  state.counters["Mpx/s"] =
      benchmark::Counter(double(state.iterations()) * kWidth * kHeight / 1e6, benchmark::Counter::kIsRate);
}

double wallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Wall seconds per frame of the last one-thread and two-thread cache-hit renders.
double gRenderSeconds[3] = {0.0, 0.0, 0.0};

// The whole frame as `tiles` horizontal bands rendered at once.
void BM_RenderCacheHit(benchmark::State& state) {
  Fixture& f = fixture();
  const int tiles = int(state.range(0));
  std::atomic<bool> failed{false};
  BandPool bands(tiles, kHeight, [&](int y1, int y2) {
    if (f.host.render(f.instance, 1.0, OfxRectI{0, y1, kWidth, y2}) != kOfxStatOK) failed = true;
  });
  double wall = 0.0;
  for (auto _ : state) {
    const double t0 = wallSeconds();
    bands.run();
    wall += wallSeconds() - t0;
  }
  if (failed) return state.SkipWithError("render failed");
  rate(state);
  gRenderSeconds[tiles] = wall / double(state.iterations());
  if (tiles == 2 && gRenderSeconds[1] > 0.0) state.counters["x_1thread"] = gRenderSeconds[1] / gRenderSeconds[2];
}

// The same frame through the same kernel, with a LUT of the same shape.
void BM_ApplyAlone(benchmark::State& state) {
  Fixture& f = fixture();
  std::vector<float> lattice(static_cast<size_t>(kLutFloats));
  for (int r = 0; r < kLutSize; ++r)
    for (int g = 0; g < kLutSize; ++g)
      for (int b = 0; b < kLutSize; ++b) lutIdentityValue(kLutSize, r, g, b, &lattice[lutOffset(kLutSize, r, g, b)]);
  const LUT3D lut{lattice.data(), kLutSize, true};
  auto view = [](const ofxhost::Image& image) {
    const OfxRectI& b = image.bounds;
    return floatRGBA(static_cast<unsigned char*>(image.data), image.rowBytes, Rect{b.x1, b.y1, b.x2, b.y2});
  };
  const ImageView src = view(*f.source), dst = view(*f.output);
  const ChannelMixes mixes = channelMixes(1.0, 1.0, 1.0, 1.0);
  for (auto _ : state) {
    applyLUT(src, dst, Rect{0, 0, kWidth, kHeight}, &lut, mixes, preferredKernelSet());
    benchmark::ClobberMemory();
  }
  rate(state);
}

// A cache-hit render of an empty window: everything a render does besides the application.
// The application's share of a whole-frame render follows from the two times, which is steadier
// than comparing two frame-sized timings a few per cent apart.
void BM_RenderOverhead(benchmark::State& state) {
  Fixture& f = fixture();
  double wall = 0.0;
  for (auto _ : state) {
    const double t0 = wallSeconds();
    if (f.host.render(f.instance, 1.0, OfxRectI{0, 0, 0, 0}) != kOfxStatOK) return state.SkipWithError("render failed");
    wall += wallSeconds() - t0;
  }
  const double overhead = wall / double(state.iterations());
  if (gRenderSeconds[1] > 0.0) state.counters["apply_share"] = 1.0 - overhead / gRenderSeconds[1];
}

}  // namespace

// Registered in this order so that the later ones read the one-thread render's time.
BENCHMARK(BM_RenderCacheHit)
    ->Arg(1)
    ->Arg(2)
    ->ArgName("tiles")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(0.5);
BENCHMARK(BM_ApplyAlone)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(0.5);
BENCHMARK(BM_RenderOverhead)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(0.2);

BENCHMARK_MAIN();

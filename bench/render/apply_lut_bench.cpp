// LUT application throughput: the fast kernels (over the lattice, and over the red-pair table the
// plug-in makes after each build: "pairs", with "x_lattice" its speed-up over the same set
// without the table) against the literal one and against
// OpenColorIO's CPU processor applying the same 65-point lattice trilinearly, on a photograph
// and on random colours, at 1920x1080 and 3840x2160, on one thread and as two concurrent tiles.
// The literal and OpenColorIO runs of each frame are registered first, so every fast run can
// report its ratios to them from the same process: "x_literal" and "x_ocio" (same thread count),
// and on two threads "x_1thread" (the same kernel on one thread, wall clock both). One-thread
// comparisons use the calling thread's CPU time, which other work on a shared machine disturbs
// least; two-thread ones need the wall clock.
#include <benchmark/benchmark.h>

#include <OpenColorIO/OpenColorIO.h>
#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <map>
#include <random>
#include <stdexcept>
#include <vector>

#include "band_pool.h"
#include "render/apply_lut.h"

namespace OCIO = OCIO_NAMESPACE;
namespace OIIO = OIIO_NAMESPACE;

namespace {

enum Content { Photo, Random };

struct Frame {
  int width = 0, height = 0;
  std::vector<float> pixels;
  ImageView view() {
    return floatRGBA(reinterpret_cast<unsigned char*>(pixels.data()), width * 16, {0, 0, width, height});
  }
};

// A graded-looking lattice: a channel mix with a gentle curve, kept in [0, 1].
const std::vector<float>& benchLattice() {
  static const std::vector<float> values = [] {
    std::vector<float> v(static_cast<size_t>(kLutFloats));
    for (int r = 0; r < kLutSize; ++r)
      for (int g = 0; g < kLutSize; ++g)
        for (int b = 0; b < kLutSize; ++b) {
          const float x[3] = {r / 64.0f, g / 64.0f, b / 64.0f};
          const float out[3] = {0.85f * x[0] + 0.1f * x[1] + 0.05f * x[2], 0.05f * x[0] + 0.9f * x[1] + 0.05f * x[2],
                                0.1f * x[0] + 0.15f * x[1] + 0.75f * x[2]};
          for (int c = 0; c < 3; ++c) v[lutOffset(kLutSize, r, g, b) + c] = std::pow(std::min(out[c], 1.0f), 0.9f);
        }
    return v;
  }();
  return values;
}

LUT3D benchLut() { return LUT3D{const_cast<float*>(benchLattice().data()), kLutSize, true}; }

Frame makeFrame(Content content, int width, int height) {
  Frame f;
  f.width = width;
  f.height = height;
  f.pixels.resize(size_t(width) * height * 4);
  if (content == Random) {
    std::mt19937 rng(42);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (size_t i = 0; i < f.pixels.size(); ++i) f.pixels[i] = (i % 4 == 3) ? 1.0f : unit(rng);
    return f;
  }
  OIIO::ImageBuf photo(std::string(VANTREL_PHOTOS) + "/coffee.png");
  OIIO::ImageBuf scaled = OIIO::ImageBufAlgo::resize(photo, "", 0.0f, OIIO::ROI(0, width, 0, height, 0, 1, 0, 3));
  if (scaled.has_error()) throw std::runtime_error(scaled.geterror());
  std::vector<float> rgb(size_t(width) * height * 3);
  scaled.get_pixels(OIIO::ROI(0, width, 0, height, 0, 1, 0, 3), OIIO::TypeDesc::FLOAT, rgb.data());
  for (size_t p = 0; p < size_t(width) * height; ++p) {
    std::memcpy(&f.pixels[p * 4], &rgb[p * 3], 12);
    f.pixels[p * 4 + 3] = 1.0f;
  }
  return f;
}

Frame& frame(Content content, int width, int height) {
  static std::map<std::tuple<int, int, int>, Frame> frames;
  auto key = std::make_tuple(int(content), width, height);
  auto it = frames.find(key);
  if (it == frames.end()) it = frames.emplace(key, makeFrame(content, width, height)).first;
  return it->second;
}

double threadSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

double wallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Seconds per frame of each finished run, keyed by implementation, frame and thread count.
std::map<std::string, double>& secondsPerFrame() {
  static std::map<std::string, double> seconds;
  return seconds;
}

std::string runKey(const std::string& impl, const std::string& frameName, int threads) {
  return impl + "/" + frameName + "/" + std::to_string(threads);
}

// Times each iteration (CPU time of this thread on one thread, wall time on two), records the
// per-frame cost and reports the ratios to the runs recorded before it.
template <typename Body>
void timedFrames(benchmark::State& state, const std::string& impl, const std::string& frameName, const Frame& f,
                 Body body) {
  const int threads = int(state.range(0));
  double cpu = 0.0, wall = 0.0;
  for (auto _ : state) {
    const double c0 = threadSeconds(), w0 = wallSeconds();
    body();
    cpu += threadSeconds() - c0;
    wall += wallSeconds() - w0;
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * f.width * f.height);
  state.counters["Mpx/s"] =
      benchmark::Counter(double(state.iterations()) * f.width * f.height / 1e6, benchmark::Counter::kIsRate);
  const double iterations = double(state.iterations());
  const double seconds = (threads == 1 ? cpu : wall) / iterations;
  auto& recorded = secondsPerFrame();
  recorded[runKey(impl, frameName, threads)] = seconds;
  recorded[runKey(impl, frameName, threads) + "/wall"] = wall / iterations;
  auto ratio = [&](const std::string& key, double mine, const char* counter) {
    auto it = recorded.find(key);
    if (it != recorded.end() && mine > 0.0) state.counters[counter] = it->second / mine;
  };
  if (impl != "literal" && impl != "opencolorio") {
    ratio(runKey("literal", frameName, threads), seconds, "x_literal");
    ratio(runKey("opencolorio", frameName, threads), seconds, "x_ocio");
  }
  // The kernels over the red-pair table against the same set over the lattice alone.
  if (impl.rfind("pairs", 0) == 0) {
    const std::string plain = impl == "pairs" ? "fast" : impl.substr(6);
    ratio(runKey(plain, frameName, threads), seconds, "x_lattice");
  }
  if (threads == 2) ratio(runKey(impl, frameName, 1) + "/wall", wall / iterations, "x_1thread");
}

void applyKernel(benchmark::State& state, const std::string& impl, const std::string& frameName, KernelSet kernel,
                 Content content, int width, int height, bool useLut = true, bool redPairs = false) {
  if (!supports(detectCpu(), kernel)) return state.SkipWithError("kernel not supported here");
  const int threads = int(state.range(0));
  Frame& in = frame(content, width, height);
  Frame out;
  out.width = width;
  out.height = height;
  out.pixels.resize(in.pixels.size());
  const LUT3D lut = benchLut();
  RedPairs pairs;
  if (redPairs && !prepareRedPairs(lut, pairs)) return state.SkipWithError("no memory for the red-pair table");
  const ImageView src = in.view(), dst = out.view();
  const ChannelMixes mixes = channelMixes(1.0, 1.0, 1.0, 1.0);
  BandPool bands(threads, height, [&](int y1, int y2) {
    applyLUT(src, dst, Rect{0, y1, width, y2}, useLut ? &lut : nullptr, redPairs ? &pairs : nullptr, mixes, kernel);
  });
  timedFrames(state, impl, frameName, in, [&] {
    bands.run();
    benchmark::DoNotOptimize(out.pixels.data());
    benchmark::ClobberMemory();
  });
  if (kernel != KernelSet::Generic) {
    // The speed counts only if the result is the literal one, bit for bit.
    Frame literal = out;
    applyLUT(src, literal.view(), Rect{0, 0, width, height}, useLut ? &lut : nullptr, mixes, KernelSet::Generic);
    state.counters["identical"] =
        std::memcmp(literal.pixels.data(), out.pixels.data(), out.pixels.size() * sizeof(float)) == 0;
  }
}

OCIO::ConstCPUProcessorRcPtr ocioProcessor() {
  static const OCIO::ConstCPUProcessorRcPtr processor = [] {
    OCIO::Lut3DTransformRcPtr transform = OCIO::Lut3DTransform::Create(kLutSize);
    transform->setInterpolation(OCIO::INTERP_LINEAR);
    const std::vector<float>& v = benchLattice();
    for (int r = 0; r < kLutSize; ++r)
      for (int g = 0; g < kLutSize; ++g)
        for (int b = 0; b < kLutSize; ++b) {
          const float* t = &v[lutOffset(kLutSize, r, g, b)];
          transform->setValue(r, g, b, t[0], t[1], t[2]);
        }
    OCIO::ConstConfigRcPtr config = OCIO::Config::CreateRaw();
    return config->getProcessor(transform)->getDefaultCPUProcessor();
  }();
  return processor;
}

void applyOcio(benchmark::State& state, const std::string& frameName, Content content, int width, int height) {
  const int threads = int(state.range(0));
  Frame& in = frame(content, width, height);
  std::vector<float> out(in.pixels.size());
  OCIO::ConstCPUProcessorRcPtr processor = ocioProcessor();
  BandPool bands(threads, height, [&](int y1, int y2) {
    const size_t offset = size_t(y1) * width * 4;
    OCIO::PackedImageDesc src(in.pixels.data() + offset, width, y2 - y1, 4);
    OCIO::PackedImageDesc dst(out.data() + offset, width, y2 - y1, 4);
    processor->apply(src, dst);
  });
  timedFrames(state, "opencolorio", frameName, in, [&] {
    bands.run();
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  });
}

void registerAll() {
  struct Size {
    const char* name;
    int w, h;
  };
  for (Content content : {Photo, Random})
    for (Size size : {Size{"1920x1080", 1920, 1080}, Size{"3840x2160", 3840, 2160}}) {
      const std::string suffix = std::string(content == Photo ? "photo" : "random") + "/" + size.name;
      auto add = [&](const std::string& name, auto fn) {
        benchmark::RegisterBenchmark((name + "/" + suffix).c_str(), fn)
            ->Arg(1)
            ->Arg(2)
            ->ArgName("threads")
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond)
            ->MinTime(0.3);
      };
      const int w = size.w, h = size.h;
      // The yardsticks first: the fast runs read their times.
      add("literal",
          [=](benchmark::State& s) { applyKernel(s, "literal", suffix, KernelSet::Generic, content, w, h); });
      add("opencolorio", [=](benchmark::State& s) { applyOcio(s, suffix, content, w, h); });
      add("fast", [=](benchmark::State& s) { applyKernel(s, "fast", suffix, preferredKernelSet(), content, w, h); });
      add("avx2", [=](benchmark::State& s) { applyKernel(s, "avx2", suffix, KernelSet::Avx2, content, w, h); });
      add("avx512", [=](benchmark::State& s) { applyKernel(s, "avx512", suffix, KernelSet::Avx512, content, w, h); });
      // Over the red-pair table, as the plug-in applies a LUT it built.
      add("pairs", [=](benchmark::State& s) {
        applyKernel(s, "pairs", suffix, preferredKernelSet(), content, w, h, true, true);
      });
      add("pairs-avx2", [=](benchmark::State& s) {
        applyKernel(s, "pairs-avx2", suffix, KernelSet::Avx2, content, w, h, true, true);
      });
      add("pairs-avx512", [=](benchmark::State& s) {
        applyKernel(s, "pairs-avx512", suffix, KernelSet::Avx512, content, w, h, true, true);
      });
      // Clamping alone (no Reference): the memory traffic every kernel pays.
      add("clamp-only", [=](benchmark::State& s) {
        applyKernel(s, "clamp-only", suffix, preferredKernelSet(), content, w, h, false);
      });
    }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::AddCustomContext("fast kernel", kernelSetName(preferredKernelSet()));
  registerAll();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

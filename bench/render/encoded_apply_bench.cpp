// The cost of applying a match under a plate encoding of light against the same lattice applied
// "As Delivered", at 3840x2160 on one thread: each iteration renders the frame both ways, one
// after the other, so that a shared machine's load falls on both alike, and "x_as_delivered" is
// the ratio of the two (this thread's CPU time). Cases: Scene Linear in each working space (the
// tops the photograph's range sets: Different Clips' linear light, Same Frame's gamma space and
// the fitted lattice's log space), an HDR plate (the photograph times 8), and every camera log
// encoding in each working space, on the photograph encoded with its curve. The lattice is the
// red-pair table the plug-in prepares after each build; the As Delivered render reads the same
// plate. Scene Linear in linear light and the gamma space reads the lattice as linear light, as
// the plug-in prepares it after a build ("code_lattice": the learnt lattice and the working space's
// curve on the way back, as in the log space).
// Under callgrind, `--frames N` renders N frames of each case untimed instead, so that
// instruction counts can be read per case (--toggle-collect on the two apply functions).
#include <benchmark/benchmark.h>

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "encoding/plate_encoding.h"
#include "render/apply_encoded.h"
#include "render/apply_lut.h"

namespace OIIO = OIIO_NAMESPACE;

namespace {

constexpr int kWidth = 3840, kHeight = 2160;

// The photograph in 0..1, taken as linear light.
const std::vector<float>& photo() {
  static const std::vector<float> pixels = [] {
    OIIO::ImageBuf in(std::string(VANTREL_PHOTOS) + "/coffee.png");
    const OIIO::ROI roi(0, kWidth, 0, kHeight, 0, 1, 0, 3);
    OIIO::ImageBuf scaled = OIIO::ImageBufAlgo::resize(in, "", 0.0f, roi);
    if (scaled.has_error()) throw std::runtime_error(scaled.geterror());
    std::vector<float> rgb(size_t(kWidth) * kHeight * 3);
    scaled.get_pixels(roi, OIIO::TypeDesc::FLOAT, rgb.data());
    std::vector<float> rgba(size_t(kWidth) * kHeight * 4, 1.0f);
    for (size_t p = 0; p < size_t(kWidth) * kHeight; ++p)
      for (int c = 0; c < 3; ++c) rgba[p * 4 + c] = std::min(1.0f, std::max(0.0f, rgb[p * 3 + c]));
    return rgba;
  }();
  return pixels;
}

// A graded-looking lattice in 0..1 and its red-pair table.
struct Lattice {
  std::vector<float> values = std::vector<float>(size_t(kLutFloats));
  LUT3D lut{};
  RedPairs pairs;
  Lattice() {
    for (int r = 0; r < kLutSize; ++r)
      for (int g = 0; g < kLutSize; ++g)
        for (int b = 0; b < kLutSize; ++b) {
          const float x[3] = {r / 64.0f, g / 64.0f, b / 64.0f};
          const float out[3] = {0.85f * x[0] + 0.1f * x[1] + 0.05f * x[2], 0.05f * x[0] + 0.9f * x[1] + 0.05f * x[2],
                                0.1f * x[0] + 0.15f * x[1] + 0.75f * x[2]};
          for (int c = 0; c < 3; ++c) values[lutOffset(kLutSize, r, g, b) + c] = std::pow(std::min(out[c], 1.0f), 0.9f);
        }
    lut = LUT3D{values.data(), kLutSize, true};
    if (!prepareRedPairs(lut, pairs)) throw std::runtime_error("no memory for the red-pair table");
  }
};

const Lattice& lattice() {
  static const Lattice l;
  return l;
}

struct Case {
  std::string name;
  PlateEncoding encoding;
  WorkingSpace space;
  float gain;                // linear light times this before the curve
  bool codeLattice = false;  // Scene Linear over the learnt lattice and its curve
};

std::vector<float> plateOf(const Case& c) {
  std::vector<float> p = photo();
  for (size_t i = 0; i < p.size(); ++i)
    if (i % 4 != 3) p[i] = float(linearToPlate(c.encoding, double(p[i]) * c.gain));
  return p;
}

double threadSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

struct Renders {
  std::vector<float> plate, out, light;
  ImageView source, output;
  PlateTransform transform;
  LUT3D applied{};  // the lattice the encoded render reads: of light under Scene Linear, as the plug-in makes it
  RedPairs appliedPairs;
  ChannelMixes mixes = channelMixes(1.0, 1.0, 1.0, 1.0);
  explicit Renders(const Case& c) : plate(plateOf(c)), out(plate.size()) {
    source = floatRGBA(reinterpret_cast<unsigned char*>(plate.data()), kWidth * 16, {0, 0, kWidth, kHeight});
    output = floatRGBA(reinterpret_cast<unsigned char*>(out.data()), kWidth * 16, {0, 0, kWidth, kHeight});
    transform = makePlateTransform(c.encoding, c.space);
    light = lattice().values;
    if (transform.plateIsLinear && c.space.kind != WorkingSpace::Log && !c.codeLattice) {
      codeToLightValues(transform, light.data(), int64_t(light.size()), preferredKernelSet());
      transform.lightLattice = true;
    }
    applied = LUT3D{light.data(), kLutSize, true};
    if (!prepareRedPairs(applied, appliedPairs)) throw std::runtime_error("no memory for the red-pair table");
  }
  void delivered() {
    const Lattice& l = lattice();
    applyLUT(source, output, Rect{0, 0, kWidth, kHeight}, &l.lut, &l.pairs, mixes, preferredKernelSet());
  }
  void encoded() {
    applyEncodedLUT(source, output, Rect{0, 0, kWidth, kHeight}, &applied, &appliedPairs, mixes, transform,
                    preferredKernelSet());
  }
};

void alternating(benchmark::State& state, const Case& c) {
  Renders r(c);
  r.delivered();
  r.encoded();
  double seconds[2] = {0.0, 0.0};
  for (auto _ : state) {
    double t0 = threadSeconds();
    r.delivered();
    benchmark::ClobberMemory();
    const double t1 = threadSeconds();
    r.encoded();
    benchmark::ClobberMemory();
    seconds[0] += t1 - t0;
    seconds[1] += threadSeconds() - t1;
  }
  const double n = double(state.iterations());
  state.counters["as_delivered_ms"] = seconds[0] / n * 1e3;
  state.counters["encoded_ms"] = seconds[1] / n * 1e3;
  state.counters["x_as_delivered"] = seconds[1] / seconds[0];
}

std::vector<Case> cases() {
  const WorkingSpace linear1{WorkingSpace::Linear, 1.0f}, gamma1{WorkingSpace::Gamma, 1.0f},
      log16{WorkingSpace::Log, 16.0f};
  std::vector<Case> all = {
      {"scene_linear/linear_1", PlateEncoding::SceneLinear, linear1, 1.0f},
      {"scene_linear/gamma_1", PlateEncoding::SceneLinear, gamma1, 1.0f},
      {"scene_linear/log_16", PlateEncoding::SceneLinear, log16, 1.0f},
      {"scene_linear/linear_1/code_lattice", PlateEncoding::SceneLinear, linear1, 1.0f, true},
      {"scene_linear/gamma_1/code_lattice", PlateEncoding::SceneLinear, gamma1, 1.0f, true},
      {"scene_linear_x8/linear_8", PlateEncoding::SceneLinear, {WorkingSpace::Linear, 8.0f}, 8.0f},
      {"scene_linear_x8/gamma_8", PlateEncoding::SceneLinear, {WorkingSpace::Gamma, 8.0f}, 8.0f},
      {"scene_linear_x8/log_16", PlateEncoding::SceneLinear, log16, 8.0f},
  };
  for (int e = int(PlateEncoding::AcesCct); e <= int(PlateEncoding::CanonLog3); ++e) {
    std::string label = kPlateEncodingLabels[e];
    for (char& ch : label) ch = ch == ' ' ? '_' : char(std::tolower(static_cast<unsigned char>(ch)));
    all.push_back({label + "/linear_1", PlateEncoding(e), linear1, 1.0f});
    all.push_back({label + "/gamma_1", PlateEncoding(e), gamma1, 1.0f});
    all.push_back({label + "/log_16", PlateEncoding(e), log16, 1.0f});
  }
  return all;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--frames") == 0) {
    const int frames = std::atoi(argv[2]);
    for (const Case& c : cases()) {
      Renders r(c);
      for (int i = 0; i < frames; ++i) {
        r.delivered();
        r.encoded();
      }
    }
    return 0;
  }
  for (const Case& c : cases())
    benchmark::RegisterBenchmark(("EncodedApply4K/" + c.name).c_str(), [c](benchmark::State& s) { alternating(s, c); })
        ->Unit(benchmark::kMillisecond)
        ->MinTime(1.0);
  benchmark::AddCustomContext("kernels", kernelSetName(preferredKernelSet()));
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

// The rebuild alone, without the application: the match learnt from a 3840x2160 frame and the
// red-pair table prepared from it (under Scene Linear from its values as light), as the plug-in
// does on a cache miss, under "As Delivered" and under "Scene Linear" (the same frames taken as
// linear light), one after the other in each iteration so that a shared machine's load falls on
// both alike. "x_as_delivered" is the ratio of this thread's CPU time, Scene Linear over As
// Delivered, per learner: Different Clips, Same Frame's cells and its fitted lattice. On one
// thread (the learners' split over threads does not change the work).
#include <benchmark/benchmark.h>

#include <cmath>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <vector>

#include "encoding/plate_encoding.h"
#include "photo_rgba.h"
#include "plugin/learn.h"
#include "plugin/learn_encoded.h"
#include "render/red_pairs.h"

namespace {

constexpr int kWidth = 3840, kHeight = 2160;

struct Frames {
  std::vector<float> source, other, graded;
  Frames() : source(photoRGBA("coffee.png", kWidth, kHeight)), other(photoRGBA("chelsea.png", kWidth, kHeight)) {
    graded = source;
    for (size_t i = 0; i < graded.size(); i += 4) {
      graded[i] = std::pow(graded[i], 0.9f) * 1.05f;
      graded[i + 1] *= 0.95f;
      graded[i + 2] = std::pow(graded[i + 2], 1.1f);
    }
  }
  static ImageView view(std::vector<float>& v) {
    return floatRGBA(reinterpret_cast<unsigned char*>(v.data()), kWidth * 16, {0, 0, kWidth, kHeight});
  }
};

Frames& frames() {
  static Frames f;
  return f;
}

double threadSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// 0 Different Clips, 1 Same Frame cells, 2 the fitted lattice.
void rebuilds(benchmark::State& state, int learner) {
  Frames& f = frames();
  FrameInputs in;
  in.source = Frames::view(f.source);
  in.reference = Frames::view(learner == 0 ? f.other : f.graded);
  const std::vector<FrameInputs> inputs{in};
  const int mode = learner == 0 ? 0 : 1, fit = learner == 2 ? 1 : 0;
  LutStorage lut, light;
  if (!lut.reserve(kLutSize)) return state.SkipWithError("no memory for the lattice");
  RedPairs pairs;
  PlateTransform plate;
  const KernelSet kernels = preferredKernelSet();
  auto build = [&](bool encoded) {
    const LearnChoices choices{mode, 0, fit, 0};
    const LearnResult built = encoded ? learnEncodedMatch(lut, inputs, in.source, choices, PlateEncoding::SceneLinear,
                                                          kernels, nullptr, plate)
                                      : learnMatch(lut, inputs, choices, kernels, nullptr);
    const bool lightLattice = encoded && prepareLightLattice(lut, plate, light, kernels);
    if (built != LearnResult::Learnt || !prepareRedPairs(lightLattice ? light : lut, pairs))
      throw std::runtime_error("build failed");
  };
  double seconds[2] = {0.0, 0.0};
  for (auto _ : state) {
    for (int encoded : {0, 1}) {
      const double t0 = threadSeconds();
      build(encoded == 1);
      seconds[encoded] += threadSeconds() - t0;
    }
  }
  const double n = double(state.iterations());
  state.counters["as_delivered_ms"] = seconds[0] / n * 1e3;
  state.counters["scene_linear_ms"] = seconds[1] / n * 1e3;
  state.counters["x_as_delivered"] = seconds[1] / seconds[0];
}

}  // namespace

int main(int argc, char** argv) {
  const char* names[] = {"different_clips", "same_frame", "fitted_lattice"};
  for (int learner = 0; learner < 3; ++learner)
    benchmark::RegisterBenchmark((std::string("Rebuild4K/") + names[learner]).c_str(),
                                 [learner](benchmark::State& s) { rebuilds(s, learner); })
        ->Unit(benchmark::kMillisecond)
        ->MinTime(2.0);
  benchmark::AddCustomContext("kernels", kernelSetName(preferredKernelSet()));
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

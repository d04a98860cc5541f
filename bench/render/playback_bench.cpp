// 4K playback: a 3840 x 2160 frame rendered through the module as two concurrent tiles (the top
// and bottom halves) on two threads, as a host plays a clip, with the LUT rebuilt in each mode
// and without a rebuild. Each iteration is one frame; a rebuild comes from a new frame time, as
// in playback. Counters: "rebuild_share", the part of the frame's time the rebuild adds (from
// the same module's frame without a rebuild), and "x_before", the speed-up over the module named
// by VANTREL_BEFORE_MODULE, measured in the same run (bench/render/build-before-module builds
// one from any commit). Without that variable only this build's module runs. Each case runs
// under "Plate Encoding" "As Delivered" and, where the module has it, "Scene Linear" (the same
// frames taken as linear light), with "x_as_delivered", the Scene Linear frame's time over the As
// Delivered one's, measured side by side.
#include <benchmark/benchmark.h>

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "band_pool.h"
#include "host/ofx_host.h"
#include "photo_rgba.h"

namespace OIIO = OIIO_NAMESPACE;

namespace {

constexpr int kWidth = 3840, kHeight = 2160;

// One frame's inputs, shared by both modules: a photograph, another for Different Clips, and a
// second grade of the first for Same Frame.
struct Inputs {
  std::shared_ptr<ofxhost::Image> source, other, graded;
  Inputs() {
    const OfxRectI bounds{0, 0, kWidth, kHeight};
    std::vector<float> s = photoRGBA("coffee.png", kWidth, kHeight);
    source = ofxhost::makeImage(s, bounds);
    other = ofxhost::makeImage(photoRGBA("chelsea.png", kWidth, kHeight), bounds);
    for (size_t i = 0; i < s.size(); i += 4) {
      s[i] = std::pow(s[i], 0.9f) * 1.05f;
      s[i + 1] *= 0.95f;
      s[i + 2] = std::pow(s[i + 2], 1.1f);
    }
    graded = ofxhost::makeImage(s, bounds);
  }
};

const Inputs& inputs() {
  static Inputs in;
  return in;
}

// A host with the module loaded and one instance per learner and encoding: Different Clips,
// Same Frame's cells and, where the module has "Same Frame Fit", its fitted lattice; "As
// Delivered" and, where the module has "Plate Encoding", "Scene Linear".
struct Module {
  ofxhost::Host host;
  ofxhost::Effect* instance[2][3] = {};
  std::shared_ptr<ofxhost::Image> output[2][3];
  bool hasFit = false;
  bool hasPlateEncoding = false;
  explicit Module(const std::string& path) {
    if (!host.open(path)) throw std::runtime_error(host.error());
    host.load();
    host.describe();
    host.describeInContext(kOfxImageEffectContextGeneral);
    for (int encoding = 0; encoding < 2; ++encoding)
      for (int learner = 0; learner < 3; ++learner) {
        ofxhost::Effect* e = instance[encoding][learner] = host.newInstance(kOfxImageEffectContextGeneral);
        host.createInstance(e);
        host.setParamInt(e, "matchMode", learner == 0 ? 0 : 1);
        if (learner == 2) hasFit = host.setParamInt(e, "sameFrameFit", 1);
        if (encoding == 1) hasPlateEncoding = host.setParamInt(e, "plateEncoding", 1);
        host.attachImage(e, "Source", inputs().source);
        host.attachImage(e, "Reference", learner == 0 ? inputs().other : inputs().graded);
        output[encoding][learner] = ofxhost::makeBlankImage(OfxRectI{0, 0, kWidth, kHeight});
        host.attachImage(e, "Output", output[encoding][learner]);
      }
  }
};

Module& module(const std::string& path) {
  static std::map<std::string, std::unique_ptr<Module>> modules;
  auto& m = modules[path];
  if (!m) m = std::make_unique<Module>(path);
  return *m;
}

double wallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Seconds per frame, by module ("before", "after") and case.
std::map<std::string, double> gFrameSeconds;

enum Case { NoRebuild, DifferentClips, SameFrame, FittedLattice };
const char* kCaseNames[] = {"no_rebuild", "different_clips", "same_frame", "fitted_lattice"};

const char* kEncodingNames[] = {"as_delivered", "scene_linear"};

void frames(benchmark::State& state, const std::string& which, const std::string& path, Case c, int encoding) {
  Module& m = module(path);
  if (c == FittedLattice && !m.hasFit) return state.SkipWithError("the module has no \"Same Frame Fit\"");
  if (encoding == 1 && !m.hasPlateEncoding) return state.SkipWithError("the module has no \"Plate Encoding\"");
  ofxhost::Effect* instance = m.instance[encoding][c == FittedLattice ? 2 : c == SameFrame ? 1 : 0];
  double time = 1.0;
  bool failed = false;
  BandPool tiles(2, kHeight, [&](int y1, int y2) {
    if (m.host.render(instance, time, OfxRectI{0, y1, kWidth, y2}) != kOfxStatOK) failed = true;
  });
  tiles.run();  // the first build, outside the timing
  double wall = 0.0;
  for (auto _ : state) {
    if (c != NoRebuild) time += 1.0;  // playback: every frame has its own time, so its own build
    const double t0 = wallSeconds();
    tiles.run();
    wall += wallSeconds() - t0;
  }
  if (failed) return state.SkipWithError("render failed");
  const double perFrame = wall / double(state.iterations());
  const std::string key = which + kCaseNames[c] + kEncodingNames[encoding];
  gFrameSeconds[key] = perFrame;
  state.counters["frame_ms"] = perFrame * 1e3;
  auto hit = gFrameSeconds.find(which + kCaseNames[NoRebuild] + kEncodingNames[encoding]);
  if (c != NoRebuild && hit != gFrameSeconds.end()) state.counters["rebuild_share"] = 1.0 - hit->second / perFrame;
  auto before = gFrameSeconds.find(std::string("before") + kCaseNames[c] + kEncodingNames[encoding]);
  if (which == "after" && before != gFrameSeconds.end()) state.counters["x_before"] = before->second / perFrame;
  auto delivered = gFrameSeconds.find(which + kCaseNames[c] + kEncodingNames[0]);
  if (encoding == 1 && delivered != gFrameSeconds.end())
    state.counters["x_as_delivered"] = perFrame / delivered->second;
}

double cpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// Both encodings frame by frame in one loop, so that a shared machine's load falls on both alike:
// "x_as_delivered" is the Scene Linear frames' total wall time over the As Delivered ones', and
// "x_cpu" the same for the process's CPU time (both threads), which other work on the machine
// disturbs less.
void alternating(benchmark::State& state, const std::string& path, Case c) {
  Module& m = module(path);
  if (c == FittedLattice && !m.hasFit) return state.SkipWithError("the module has no \"Same Frame Fit\"");
  if (!m.hasPlateEncoding) return state.SkipWithError("the module has no \"Plate Encoding\"");
  const int learner = c == FittedLattice ? 2 : c == SameFrame ? 1 : 0;
  double time = 1.0;
  bool failed = false;
  ofxhost::Effect* instance = nullptr;
  BandPool tiles(2, kHeight, [&](int y1, int y2) {
    if (m.host.render(instance, time, OfxRectI{0, y1, kWidth, y2}) != kOfxStatOK) failed = true;
  });
  for (int encoding : {0, 1}) {
    instance = m.instance[encoding][learner];
    tiles.run();  // the first builds, outside the timing
  }
  double wall[2] = {0.0, 0.0}, cpu[2] = {0.0, 0.0};
  for (auto _ : state) {
    if (c != NoRebuild) time += 1.0;
    for (int encoding : {0, 1}) {
      instance = m.instance[encoding][learner];
      const double t0 = wallSeconds(), c0 = cpuSeconds();
      tiles.run();
      wall[encoding] += wallSeconds() - t0;
      cpu[encoding] += cpuSeconds() - c0;
    }
  }
  if (failed) return state.SkipWithError("render failed");
  state.counters["as_delivered_ms"] = wall[0] / double(state.iterations()) * 1e3;
  state.counters["scene_linear_ms"] = wall[1] / double(state.iterations()) * 1e3;
  state.counters["x_as_delivered"] = wall[1] / wall[0];
  state.counters["x_cpu"] = cpu[1] / cpu[0];
}

}  // namespace

int main(int argc, char** argv) {
  const char* before = std::getenv("VANTREL_BEFORE_MODULE");
  std::vector<std::pair<std::string, std::string>> modules;
  if (before && *before) modules.emplace_back("before", before);
  modules.emplace_back("after", VANTREL_MODULE_PATH);
  // Before and after of each case next to each other, and each encoding beside the other, so
  // that all see the same machine.
  for (Case c : {NoRebuild, DifferentClips, SameFrame, FittedLattice})
    for (const auto& [which, path] : modules)
      for (int encoding : {0, 1}) {
        benchmark::RegisterBenchmark(
            (std::string("Playback4K/") + kCaseNames[c] + "/" + kEncodingNames[encoding] + "/" + which).c_str(),
            [=](benchmark::State& s) { frames(s, which, path, c, encoding); })
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->MinTime(1.0);
      }
  for (Case c : {NoRebuild, DifferentClips, SameFrame, FittedLattice})
    benchmark::RegisterBenchmark((std::string("Playback4K/") + kCaseNames[c] + "/alternating").c_str(),
                                 [=](benchmark::State& s) { alternating(s, VANTREL_MODULE_PATH, c); })
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->MinTime(2.0);
  benchmark::AddCustomContext("after", VANTREL_MODULE_PATH);
  if (before && *before) benchmark::AddCustomContext("before", before);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

// Several threads render a few hundred frames of one instance, each frame with its own images and
// settings, while invalidations and exports arrive in between. Every frame must equal its
// single-threaded render, every export must be whole, and the heap in use must not grow with the
// number of frames. VANTREL_SOAK_FRAMES sets the number of frames.
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// From the sanitizer runtime (its header comes with clang only).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

#include "reliability_support.h"

using namespace reliability;
using rendertest::Picture;

namespace {

constexpr int kWidth = 160, kHeight = 90;
constexpr int kConfigs = 24;  // frame t renders configuration t % kConfigs
constexpr int kRound = 16;    // frames per round; threads are joined and outputs checked after each
constexpr int kThreads = 4;
constexpr size_t kHeapSlack = 512 * 1024;

int soakFrames() {
  const char* text = std::getenv("VANTREL_SOAK_FRAMES");
  const int frames = text ? std::atoi(text) : VANTREL_SOAK_DEFAULT_FRAMES;
  return std::max(frames, kRound);
}

// Heap bytes in use in the whole process; the module allocates through the same allocator.
size_t heapInUse() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return __sanitizer_get_current_allocated_bytes();
#else
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
#endif
}

struct Config {
  int source, reference, matchMode, preserveMode;
  bool mask;
  double strength, red, green, blue;
};

Config configOf(int c) {
  return Config{
      c % 4, (c + 1 + c / 4) % 4,    (c / 2) % 2, c % 3, c % 5 == 1, 0.4 + 0.1 * (c % 7), c % 3 == 0 ? 0.5 : 1.0,
      1.0,   c % 4 == 2 ? 0.25 : 1.0};
}

struct Pictures {
  std::vector<std::shared_ptr<ofxhost::Image>> sources, references;
  std::shared_ptr<ofxhost::Image> mask;
  Pictures() {
    const char* names[] = {"coffee.png", "chelsea.png", "astronaut.png", "rocket.jpg"};
    const OfxRectI bounds{0, 0, kWidth, kHeight};
    for (int i = 0; i < 4; ++i) {
      sources.push_back(ofxhost::makeImage(rendertest::photo(names[i], kWidth, kHeight).rgba, bounds));
      // References of another size and framing, as separate footage would be.
      const Picture reference = rendertest::photo(names[i], kWidth / 2, kHeight / 2 + 7);
      references.push_back(
          ofxhost::makeImage(reference.rgba, OfxRectI{3, -2, 3 + reference.width, -2 + reference.height}));
    }
    mask = ofxhost::makeImage(rendertest::randomPicture(40, 30, 9, 0.0f, 1.0f).rgba, OfxRectI{0, 0, 40, 30});
  }
};

const Pictures& pictures() {
  static const Pictures p;
  return p;
}

// Attaches images and keyed settings for frames [0, frames); frame t writes into
// outputs[t % outputs.size()].
std::vector<std::shared_ptr<ofxhost::Image>> prepare(rendertest::Session& session, int frames, int outputCount) {
  ofxhost::TestHost& host = session.host();
  ofxhost::Effect* instance = session.instance();
  std::vector<std::shared_ptr<ofxhost::Image>> outputs;
  for (int i = 0; i < outputCount; ++i) outputs.push_back(ofxhost::makeBlankImage(OfxRectI{0, 0, kWidth, kHeight}));
  for (int t = 0; t < frames; ++t) {
    const Config c = configOf(t % kConfigs);
    const double time = t;
    host.attachImage(instance, "Source", pictures().sources[size_t(c.source)], time);
    host.attachImage(instance, "Reference", pictures().references[size_t(c.reference)], time);
    host.attachImage(instance, "Output", outputs[size_t(t % outputCount)], time);
    if (c.mask) host.attachImage(instance, "SourceMask", pictures().mask, time);
    host.setParamInt(instance, "matchMode", c.matchMode, time);
    host.setParamInt(instance, "preserveMode", c.preserveMode, time);
    host.setParamDouble(instance, "strength", c.strength, time);
    host.setParamDouble(instance, "strengthR", c.red, time);
    host.setParamDouble(instance, "strengthG", c.green, time);
    host.setParamDouble(instance, "strengthB", c.blue, time);
  }
  return outputs;
}

const OfxRectI kFrame{0, 0, kWidth, kHeight};

TEST(Soak, ThreadedFramesWithEventsMatchSingleThreadedRendersInFlatMemory) {
  std::vector<std::vector<float>> expected;
  {
    rendertest::Session single;
    const auto outputs = prepare(single, kConfigs, 1);
    for (int t = 0; t < kConfigs; ++t) {
      ASSERT_EQ(single.render(t, kFrame), kOfxStatOK);
      expected.push_back(ofxhost::readImageRGBA(*outputs[0]));
    }
  }

  ScratchDir dir;
  ofxhost::TestingOptions options;
  options.releasedImagesKept = 16;  // the host's own bookkeeping stays flat too
  Scene scene(options);
  rendertest::Session& session = scene.session;
  const int frames = soakFrames();
  const auto outputs = prepare(session, frames, kRound);
  scene.setExportPath(dir.file("soak.cube"));

  // Every third frame is followed by an event on the thread that rendered it.
  const char* const events[] = {"rebuildButton", "matchMode",    "Reference",
                                "strength",      "exportButton", "exportCDLButton"};
  std::atomic<int> failedRenders{0}, brokenExports{0}, writtenExports{0};
  auto event = [&](int index) {
    const std::string name = events[index % 6];
    if (name == "Reference") {
      session.host().instanceChanged(session.instance(), kOfxTypeClip, name);
      return;
    }
    const OfxStatus status = scene.press(name.c_str());
    // Written unless an invalidation just left no LUT to export (a refusal, status OK).
    if ((name == "exportButton" || name == "exportCDLButton") && status == kOfxStatReplyDefault) {
      const bool whole = name == "exportButton" ? completeCube(readFile(dir.file("soak.cube")))
                                                : completeCDL(readFile(dir.file("soak.cdl")));
      ++(whole ? writtenExports : brokenExports);
    }
  };

  const int warmupRounds = std::min(3, (frames / kRound + 1) / 2);
  size_t heapAfterWarmup = 0;
  int wrongFrames = 0;
  for (int first = 0, round = 0; first < frames; first += kRound, ++round) {
    const int last = std::min(frames, first + kRound);
    std::atomic<int> next{first};
    std::vector<std::thread> workers;
    for (int w = 0; w < kThreads; ++w)
      workers.emplace_back([&] {
        for (int t; (t = next++) < last;) {
          if (session.render(t, kFrame) != kOfxStatOK) ++failedRenders;
          if (t % 3 == 2) event(t / 3);
        }
      });
    for (std::thread& w : workers) w.join();
    for (int t = first; t < last; ++t) {
      const auto got = ofxhost::readImageRGBA(*outputs[size_t(t % kRound)]);
      if (!rendertest::samePixels(got, expected[size_t(t % kConfigs)])) {
        ADD_FAILURE() << "frame " << t << ": " << rendertest::samePixels(got, expected[size_t(t % kConfigs)]).message();
        ++wrongFrames;
      }
    }
    session.host().clearMessages();
    session.host().clearFailedCalls();
    if (round + 1 == warmupRounds) heapAfterWarmup = heapInUse();
  }
  const size_t heapAtEnd = heapInUse();

  EXPECT_EQ(failedRenders.load(), 0);
  EXPECT_EQ(wrongFrames, 0);
  EXPECT_EQ(brokenExports.load(), 0);
  EXPECT_GT(writtenExports.load(), 0);
  EXPECT_EQ(session.host().outstandingImages(), 0);
  EXPECT_LE(heapAtEnd, heapAfterWarmup + kHeapSlack) << "heap grew by " << (heapAtEnd - heapAfterWarmup)
                                                     << " bytes over " << frames - warmupRounds * kRound << " frames";
  std::printf(
      "soak: %d frames on %d threads, %d exports written; heap in use %zu bytes after %d warm-up frames, "
      "%zu at the end\n",
      frames, kThreads, writtenExports.load(), heapAfterWarmup, warmupRounds * kRound, heapAtEnd);
}

}  // namespace

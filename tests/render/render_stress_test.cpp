// Several threads render tiles of several frames of one instance at once while instance-changed
// events arrive; every frame must come out exactly as a single-threaded render gives it. Built
// as its own binary so that it can run under ThreadSanitizer.
#include <atomic>
#include <thread>

#include "render_harness.h"

using namespace rendertest;

namespace {

constexpr int kWidth = 64, kHeight = 48, kTiles = 6, kThreads = 4, kRounds = 5;
const double kTimes[] = {1.0, 2.0, 3.0};

struct Frames {
  std::vector<Picture> sources, references;
  Frames() {
    const char* names[] = {"coffee.png", "chelsea.png", "astronaut.png", "rocket.jpg"};
    for (int i = 0; i < 3; ++i) {
      sources.push_back(photo(names[i], kWidth, kHeight));
      references.push_back(photo(names[(i + 1) % 4], kWidth - 8, kHeight - 6));
    }
  }
};

const Frames& frames() {
  static const Frames f;
  return f;
}

// Attaches every frame's images for its own time; returns the Output image of each frame.
std::vector<std::shared_ptr<Image>> attachFrames(Session& session, int mode) {
  session.setChoice("matchMode", mode);
  session.set("strength", 0.9);
  std::vector<std::shared_ptr<Image>> outputs;
  for (int i = 0; i < 3; ++i) {
    session.attach("Source", frames().sources[i], {}, 0, 0, kTimes[i]);
    session.attach("Reference", frames().references[i], {}, 0, 0, kTimes[i]);
    auto out = ofxhost::makeBlankImage(OfxRectI{0, 0, kWidth, kHeight});
    EXPECT_TRUE(session.host().attachImage(session.instance(), "Output", out, kTimes[i]));
    outputs.push_back(out);
  }
  session.attach("SourceMask", randomPicture(16, 12, 5, 0.4f, 1.2f));
  return outputs;
}

OfxRectI tile(int index) { return OfxRectI{0, kHeight * index / kTiles, kWidth, kHeight * (index + 1) / kTiles}; }

class RenderStress : public ::testing::TestWithParam<int> {};

}  // namespace

TEST_P(RenderStress, ConcurrentTilesAndFramesEqualSingleThreadedRenders) {
  const int mode = GetParam();
  std::vector<std::vector<float>> expected;
  {
    Session single;
    const std::vector<std::shared_ptr<Image>> outputs = attachFrames(single, mode);
    for (int i = 0; i < 3; ++i) {
      ASSERT_EQ(single.render(kTimes[i], OfxRectI{0, 0, kWidth, kHeight}), kOfxStatOK);
      expected.push_back(ofxhost::readImageRGBA(*outputs[i]));
    }
  }

  Session session;
  const std::vector<std::shared_ptr<Image>> outputs = attachFrames(session, mode);
  // Work items cycle through the frames tile by tile, so neighbouring items belong to
  // different frames and every thread keeps taking the cache from the others.
  const int items = kRounds * 3 * kTiles;
  std::atomic<int> next{0};
  std::atomic<int> failures{0};
  std::atomic<bool> done{false};
  std::vector<std::thread> workers;
  for (int w = 0; w < kThreads; ++w)
    workers.emplace_back([&] {
      for (int item; (item = next++) < items;) {
        const int frame = item % 3, part = (item / 3) % kTiles;
        if (session.render(kTimes[frame], tile(part)) != kOfxStatOK) ++failures;
      }
    });
  // An instance-changed event every few work items, on its own thread.
  std::thread changes([&] {
    const char* names[] = {"rebuildButton", "strength", "exportPath"};
    for (int i = 0, seen = 0; !done; ++i) {
      while (!done && next.load() < seen + 4) std::this_thread::yield();
      seen = next.load();
      if (i % 4 == 3)
        session.host().instanceChanged(session.instance(), kOfxTypeClip, "Reference");
      else
        session.host().instanceChanged(session.instance(), kOfxTypeParameter, names[i % 3]);
    }
  });
  for (std::thread& t : workers) t.join();
  done = true;
  changes.join();

  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(session.host().outstandingImages(), 0);
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(samePixels(ofxhost::readImageRGBA(*outputs[i]), expected[size_t(i)])) << "frame " << i;
}

INSTANTIATE_TEST_SUITE_P(BothModes, RenderStress, ::testing::Values(0, 1));

// Several threads render tiles of several frames of one instance at once while instance-changed
// events arrive; every frame must come out exactly as a single-threaded render gives it. Built
// as its own binary so that it can run under ThreadSanitizer.
#include <algorithm>
#include <atomic>
#include <random>
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

// Attaches every frame's images for its own time; returns the Output image of each frame. `mode`
// is the match mode plus twice the analysis: each frame alone, the three pooled, or each with
// its neighbours.
std::vector<std::shared_ptr<Image>> attachFrames(Session& session, int mode) {
  const int analysis[] = {0, 2, 3};
  session.setChoice("matchMode", mode % 2);
  session.setChoice("analysisMode", analysis[mode / 2]);
  session.host().setParamInt(session.instance(), "windowRadius", 1);
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

INSTANTIATE_TEST_SUITE_P(BothModes, RenderStress, ::testing::Values(0, 1, 2, 3, 4, 5));

// A tiling host hands each tile only the inputs the plug-in asks for. Tiles in any order, on
// several threads, must give what one render of the whole frame with whole images gives: the
// match comes from the whole Source and the whole Reference, larger or smaller than the Output.
TEST(RenderTiles, CroppedTilesInAnyOrderEqualTheWholeFrame) {
  const Picture source = photo("coffee.png", 120, 80);
  const Picture larger = photo("chelsea.png", 160, 100), smaller = photo("rocket.jpg", 72, 50);
  const Picture sourceMask = randomPicture(30, 20, 7, 0.3f, 1.2f), referenceMask = randomPicture(40, 25, 8, 0.3f, 1.2f);
  const OfxRectI frame{0, 0, 120, 80};
  std::vector<OfxRectI> tiles;
  for (int y = 0; y < 80; y += 27)
    for (int x = 0; x < 120; x += 50) tiles.push_back({x, y, std::min(x + 50, 120), std::min(y + 27, 80)});
  for (int mode : {0, 1})
    for (const Picture* reference : {&larger, &smaller})
      for (bool masks : {false, true}) {
        SCOPED_TRACE("mode " + std::to_string(mode) + " reference " + std::to_string(reference->width) +
                     (masks ? " masks" : ""));
        auto scene = [&](Session& session) {
          session.setChoice("matchMode", mode);
          session.attach("Source", source);
          session.attach("Reference", *reference, {}, -20, -10);
          if (masks) {
            session.attach("SourceMask", sourceMask, {}, 5, 5);
            session.attach("ReferenceMask", referenceMask);
          }
          return session.attachOutput(frame);
        };
        ofxhost::TestingOptions whole;
        whole.cropToRegionsOfInterest = false;
        Session single(whole);
        scene(single);
        ASSERT_EQ(single.render(1.0, frame), kOfxStatOK);
        const Lut lut =
            engineLut(mode, 0, source, *reference, masks ? &sourceMask : nullptr, masks ? &referenceMask : nullptr);
        ASSERT_TRUE(samePixels(single.output(), expectedOutput(source, &lut)));

        for (uint32_t order : {1u, 2u}) {
          Session tiled;
          scene(tiled);
          std::vector<OfxRectI> shuffled = tiles;
          std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(order));
          std::atomic<size_t> next{0};
          std::atomic<int> failures{0};
          std::vector<std::thread> workers;
          for (int w = 0; w < 3; ++w)
            workers.emplace_back([&] {
              for (size_t i; (i = next++) < shuffled.size();)
                if (tiled.render(1.0, shuffled[i]) != kOfxStatOK) ++failures;
            });
          for (std::thread& t : workers) t.join();
          EXPECT_EQ(failures.load(), 0);
          EXPECT_TRUE(samePixels(tiled.output(), single.output())) << "order " << order;
          // A whole-frame render after the tiles reuses their build and agrees with it.
          ASSERT_EQ(tiled.render(1.0, frame), kOfxStatOK);
          EXPECT_TRUE(samePixels(tiled.output(), single.output()));
        }
      }
}

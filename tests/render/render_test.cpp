// The render action through the real module: both modes against the engine, the cache, the
// failure paths, out-of-range values, every declared format, windows and bounds.
#include <atomic>
#include <cmath>
#include <limits>

#include "render_harness.h"
#include "tests/failing_malloc.h"

using namespace rendertest;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

const Picture& coffee() {
  static const Picture p = photo("coffee.png", 96, 64);
  return p;
}
const Picture& chelsea() {
  static const Picture p = photo("chelsea.png", 80, 60);
  return p;
}
const Picture& astronaut() {
  static const Picture p = photo("astronaut.png", 96, 64);
  return p;
}
const Picture& rocket() {
  static const Picture p = photo("rocket.jpg", 96, 64);
  return p;
}

OfxRectI boundsOf(const Picture& p) { return OfxRectI{0, 0, p.width, p.height}; }

// Source, Reference and Output attached, nothing rendered yet.
struct Scene {
  Session session;
  std::shared_ptr<Image> source, reference, output;
  explicit Scene(const Picture& src = coffee(), const Picture& ref = chelsea(), ofxhost::TestingOptions options = {})
      : session(options) {
    source = session.attach("Source", src);
    reference = session.attach("Reference", ref);
    output = session.attachOutput(boundsOf(src));
  }
};

ofxhost::TestingOptions capturing() {
  ofxhost::TestingOptions o;
  o.captureStderr = true;
  return o;
}

ofxhost::TestingOptions tracing() {
  ofxhost::TestingOptions o;
  o.trace = true;
  return o;
}

std::vector<std::string> releases(const TestHost& host) {
  std::vector<std::string> names;
  for (const ofxhost::TraceEntry& e : host.trace())
    if (e.call == "clipReleaseImage") names.push_back(e.arg);
  return names;
}

// A mask whose every channel holds what the plug-in reads from it in the given layout.
Picture maskAsRead(const Picture& mask, const ImageLayout& layout) {
  auto image = ofxhost::makeImage(mask.rgba, boundsOf(mask), layout);
  Picture read{mask.width, mask.height, ofxhost::readImageRGBA(*image)};
  for (size_t p = 0; p < read.rgba.size(); p += 4) {
    const float v = layout.components == Components::RGB ? read.rgba[p] : read.rgba[p + 3];
    std::fill(&read.rgba[p], &read.rgba[p] + 4, v);
  }
  return read;
}

// Integer outputs: clamped, NaN as 0, scaled and rounded half up.
std::vector<float> asWritten(const std::vector<float>& rgba, const ImageLayout& layout) {
  std::vector<float> out(rgba);
  const double scale = layout.depth == PixelDepth::Byte ? 255.0 : 65535.0;
  for (size_t i = 0; i < out.size(); ++i) {
    if (layout.components == Components::RGB && i % 4 == 3) {
      out[i] = 1.0f;
      continue;
    }
    if (layout.depth == PixelDepth::Float) continue;
    const float c = out[i] > 0.0f ? std::min(out[i], 1.0f) : 0.0f;
    out[i] = float(std::floor(double(c) * scale + 0.5) / scale);
  }
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Both modes end to end

TEST(RenderMatch, EveryModeAndPreserveChoiceMatchesTheEngine) {
  for (int mode : {0, 1})
    for (int preserve : {0, 1, 2, 7}) {
      Scene scene(coffee(), mode == 1 ? rocket() : chelsea());
      scene.session.setChoice("matchMode", mode);
      scene.session.setChoice("preserveMode", preserve);
      ASSERT_EQ(scene.session.render(3.0), kOfxStatOK);
      const Lut lut = engineLut(mode, preserve, coffee(), mode == 1 ? rocket() : chelsea());
      EXPECT_TRUE(samePixels(scene.session.output(), expectedOutput(coffee(), &lut)))
          << "mode " << mode << " preserve " << preserve;
      const InstanceData& record = scene.session.record();
      EXPECT_TRUE(record.lut.valid);
      EXPECT_EQ(record.lutSourceTime, 3.0);
      EXPECT_EQ(record.lutReferenceTime, 3.0);
      EXPECT_EQ(record.lutMatchMode, mode);
      EXPECT_EQ(record.lutPreserveMode, preserve);
    }
}

// Builds run on the host's threads when it offers the multi-thread suite and on the render's
// own thread when it does not; the Output is the same to the bit either way (mode 2: Same Frame
// with the fitted lattice).
TEST(RenderMatch, BuildsOnTheHostsThreadsGiveTheOneThreadOutput) {
  const Picture big = photo("rocket.jpg", 640, 360), other = photo("astronaut.png", 640, 360);
  for (int mode : {0, 1, 2}) {
    // One host at a time: the module keeps the suites of the host that loaded it last.
    auto render = [&](bool suite, int& calls) {
      ofxhost::TestingOptions options;
      options.noMultiThreadSuite = !suite;
      Scene scene(big, other, options);
      scene.session.setChoice("matchMode", mode == 0 ? 0 : 1);
      scene.session.setChoice("sameFrameFit", mode == 2 ? 1 : 0);
      EXPECT_EQ(scene.session.render(), kOfxStatOK);
      calls = scene.session.host().multiThreadCalls();
      return scene.session.output();
    };
    int threadedCalls = 0, aloneCalls = 0;
    const std::vector<float> threaded = render(true, threadedCalls);
    const std::vector<float> alone = render(false, aloneCalls);
    EXPECT_GT(threadedCalls, 0) << "mode " << mode;
    EXPECT_EQ(aloneCalls, 0) << "mode " << mode;
    EXPECT_TRUE(samePixels(threaded, alone)) << "mode " << mode;
    const Lut lut = mode == 2 ? fittedLut(0, big, other) : engineLut(mode, 0, big, other);
    EXPECT_TRUE(samePixels(threaded, expectedOutput(big, &lut))) << "mode " << mode;
  }
}

// "Same Frame Fit" picks the Same Frame learner: option 1 the fitted lattice, every other value
// the smoothed cells. Different Clips ignores it.
TEST(RenderMatch, SameFrameFitChoosesTheLearner) {
  for (int fit : {1, 0, 2})
    for (int preserve : {0, 2}) {
      Scene scene(coffee(), rocket());
      scene.session.setChoice("matchMode", 1);
      scene.session.setChoice("preserveMode", preserve);
      scene.session.setChoice("sameFrameFit", fit);
      ASSERT_EQ(scene.session.render(), kOfxStatOK);
      const Lut lut = fit == 1 ? fittedLut(preserve, coffee(), rocket()) : engineLut(1, preserve, coffee(), rocket());
      EXPECT_TRUE(samePixels(scene.session.output(), expectedOutput(coffee(), &lut))) << fit << " " << preserve;
      EXPECT_EQ(scene.session.record().lutSameFrameFit, fit == 1 ? 1 : 0);
    }
  Scene scene;
  scene.session.setChoice("sameFrameFit", 1);
  ASSERT_EQ(scene.session.render(), kOfxStatOK);
  const Lut lut = engineLut(0, 0, coffee(), chelsea());
  EXPECT_TRUE(samePixels(scene.session.output(), expectedOutput(coffee(), &lut)));
}

TEST(RenderMatch, MasksWeightTheDifferentClipsStatistics) {
  const Picture sourceMask = randomPicture(48, 32, 3);  // stretched over the Source
  const Picture referenceMask = randomPicture(80, 60, 4);
  Scene scene;
  scene.session.attach("SourceMask", sourceMask);
  scene.session.attach("ReferenceMask", referenceMask);
  ASSERT_EQ(scene.session.render(), kOfxStatOK);
  const Lut lut = engineLut(0, 0, coffee(), chelsea(), &sourceMask, &referenceMask);
  EXPECT_TRUE(samePixels(scene.session.output(), expectedOutput(coffee(), &lut)));
  EXPECT_TRUE(scene.session.record().lutHadSourceMask);
  EXPECT_TRUE(scene.session.record().lutHadReferenceMask);
}

TEST(RenderMatch, MixesBlendPerChannel) {
  Scene scene;
  scene.session.set("strength", 0.6);
  scene.session.set("strengthR", 0.5);
  scene.session.set("strengthB", 0.0);
  ASSERT_EQ(scene.session.render(), kOfxStatOK);
  const Lut lut = engineLut(0, 0, coffee(), chelsea());
  EXPECT_TRUE(samePixels(scene.session.output(), expectedOutput(coffee(), &lut, Mixes{0.6, 0.5, 1.0, 0.0})));
}

// ---------------------------------------------------------------------------------------------
// The cache. A build is observed by changing the Reference pixels in place between renders:
// a hit keeps the old match, a rebuild shows the new one.

TEST(RenderCache, SameTimeHitsAnotherTimeRebuilds) {
  Scene scene;
  ASSERT_EQ(scene.session.render(2.0), kOfxStatOK);
  const Lut first = engineLut(0, 0, coffee(), chelsea());
  const Picture other = photo("astronaut.png", 80, 60);
  Session::overwrite(*scene.reference, other);
  ASSERT_EQ(scene.session.render(2.0), kOfxStatOK);
  EXPECT_TRUE(samePixels(scene.session.output(), expectedOutput(coffee(), &first)));
  ASSERT_EQ(scene.session.render(3.0), kOfxStatOK);
  const Lut second = engineLut(0, 0, coffee(), other);
  EXPECT_TRUE(samePixels(scene.session.output(), expectedOutput(coffee(), &second)));
  EXPECT_EQ(scene.session.record().lutSourceTime, 3.0);
  EXPECT_EQ(scene.session.record().lutReferenceTime, 3.0);
}

TEST(RenderCache, MixChangesNeverRebuild) {
  Scene scene;
  ASSERT_EQ(scene.session.render(), kOfxStatOK);
  const Lut first = engineLut(0, 0, coffee(), chelsea());
  Session::overwrite(*scene.reference, photo("rocket.jpg", 80, 60));
  for (const char* mix : {"strength", "strengthR", "strengthG", "strengthB"}) {
    scene.session.set(mix, 0.25);
    ASSERT_EQ(scene.session.render(), kOfxStatOK);
  }
  EXPECT_TRUE(samePixels(scene.session.output(), expectedOutput(coffee(), &first, Mixes{0.25, 0.25, 0.25, 0.25})));
}

TEST(RenderCache, ModeAndPreserveChangesRebuild) {
  Scene scene;
  ASSERT_EQ(scene.session.render(), kOfxStatOK);
  const Picture second = photo("rocket.jpg", 80, 60), third = photo("astronaut.png", 80, 60);
  Session::overwrite(*scene.reference, second);
  scene.session.setChoice("preserveMode", 2);
  ASSERT_EQ(scene.session.render(), kOfxStatOK);
  Lut expected = engineLut(0, 2, coffee(), second);
  EXPECT_TRUE(samePixels(scene.session.output(), expectedOutput(coffee(), &expected)));
  Session::overwrite(*scene.reference, third);
  scene.session.setChoice("matchMode", 1);
  ASSERT_EQ(scene.session.render(), kOfxStatOK);
  expected = engineLut(1, 2, coffee(), third);
  EXPECT_TRUE(samePixels(scene.session.output(), expectedOutput(coffee(), &expected)));
}

// A change of learner is a cache key in Same Frame mode (even when no instance-changed action
// announces it) and none in Different Clips mode, where the match does not depend on it.
TEST(RenderCache, SameFrameFitChangesRebuildOnlyInSameFrame) {
  const Picture second = photo("rocket.jpg", 80, 60), third = photo("astronaut.png", 80, 60);
  Scene scene;
  ASSERT_EQ(scene.session.render(), kOfxStatOK);
  const Lut first = engineLut(0, 0, coffee(), chelsea());
  Session::overwrite(*scene.reference, second);
  scene.session.setChoice("sameFrameFit", 1);
  ASSERT_EQ(scene.session.render(), kOfxStatOK);
  EXPECT_TRUE(samePixels(scene.session.output(), expectedOutput(coffee(), &first)));

  scene.session.setChoice("matchMode", 1);
  ASSERT_EQ(scene.session.render(), kOfxStatOK);
  Lut expected = fittedLut(0, coffee(), second);
  EXPECT_TRUE(samePixels(scene.session.output(), expectedOutput(coffee(), &expected)));
  Session::overwrite(*scene.reference, third);
  scene.session.setChoice("sameFrameFit", 0);
  ASSERT_EQ(scene.session.render(), kOfxStatOK);
  expected = engineLut(1, 0, coffee(), third);
  EXPECT_TRUE(samePixels(scene.session.output(), expectedOutput(coffee(), &expected)));
}

TEST(RenderCache, ConnectingOrDisconnectingAMaskRebuildsInEitherMode) {
  const Picture fullMask = uniformPicture(8, 8, {1, 1, 1, 1});
  const Picture second = photo("rocket.jpg", 80, 60), third = photo("astronaut.png", 80, 60);
  for (int mode : {0, 1})
    for (const char* clip : {"SourceMask", "ReferenceMask"}) {
      Scene scene;
      scene.session.setChoice("matchMode", mode);
      ASSERT_EQ(scene.session.render(), kOfxStatOK);
      Session::overwrite(*scene.reference, second);
      scene.session.attach(clip, fullMask);
      ASSERT_EQ(scene.session.render(), kOfxStatOK);
      // A mask of ones weighs every sample fully, so only the new Reference shows.
      Lut expected = engineLut(mode, 0, coffee(), second);
      EXPECT_TRUE(samePixels(scene.session.output(), expectedOutput(coffee(), &expected))) << mode << clip;
      Session::overwrite(*scene.reference, third);
      scene.session.disconnect(clip);
      ASSERT_EQ(scene.session.render(), kOfxStatOK);
      expected = engineLut(mode, 0, coffee(), third);
      EXPECT_TRUE(samePixels(scene.session.output(), expectedOutput(coffee(), &expected))) << mode << clip;
    }
}

TEST(RenderCache, MissingReferenceLeavesTheCacheForItsReturn) {
  Scene scene;
  ASSERT_EQ(scene.session.render(), kOfxStatOK);
  const Lut first = engineLut(0, 0, coffee(), chelsea());
  scene.session.disconnect("Reference");
  ASSERT_EQ(scene.session.render(), kOfxStatOK);
  EXPECT_TRUE(samePixels(scene.session.output(), expectedOutput(coffee(), nullptr)));
  EXPECT_TRUE(scene.session.record().lut.valid);
  EXPECT_EQ(scene.session.record().lutSourceTime, 1.0);
  // Reconnected with other pixels at the same time and settings: still the first match.
  scene.session.attach("Reference", photo("rocket.jpg", 80, 60));
  ASSERT_EQ(scene.session.render(), kOfxStatOK);
  EXPECT_TRUE(samePixels(scene.session.output(), expectedOutput(coffee(), &first)));
}

TEST(RenderCache, FirstRenderWithoutReferenceBuildsNothing) {
  Session session;
  session.attach("Source", coffee());
  session.attachOutput(boundsOf(coffee()));
  ASSERT_EQ(session.render(-1.0), kOfxStatOK);
  EXPECT_TRUE(samePixels(session.output(), expectedOutput(coffee(), nullptr)));
  EXPECT_FALSE(session.record().lut.valid);
  EXPECT_EQ(session.record().lutMatchMode, -1);
}

TEST(RenderCache, EmptyWindowStillBuildsAndStoresTheKeys) {
  Scene scene;
  const std::vector<float> before = scene.session.output();
  ASSERT_EQ(scene.session.render(4.0, OfxRectI{5, 5, 5, 20}), kOfxStatOK);
  EXPECT_EQ(scene.session.output(), before);
  EXPECT_TRUE(scene.session.record().lut.valid);
  EXPECT_EQ(scene.session.record().lutSourceTime, 4.0);
  EXPECT_EQ(scene.session.record().lutMatchMode, 0);
}

TEST(RenderCache, InstanceChangedInvalidationRebuilds) {
  Scene scene;
  ASSERT_EQ(scene.session.render(), kOfxStatOK);
  const Picture second = photo("rocket.jpg", 80, 60);
  Session::overwrite(*scene.reference, second);
  scene.session.host().instanceChanged(scene.session.instance(), kOfxTypeParameter, "rebuildButton");
  EXPECT_FALSE(scene.session.record().lut.valid);
  ASSERT_EQ(scene.session.render(), kOfxStatOK);
  const Lut expected = engineLut(0, 0, coffee(), second);
  EXPECT_TRUE(samePixels(scene.session.output(), expectedOutput(coffee(), &expected)));
}

// ---------------------------------------------------------------------------------------------
// Failures

TEST(RenderFailure, MissingSourceOrOutputReleasesWhatWasFetched) {
  {
    Session session(tracing());
    session.attach("Reference", chelsea());
    session.attachOutput(boundsOf(coffee()));
    session.attach("SourceMask", coffee());
    session.attach("ReferenceMask", coffee());
    session.host().clearTrace();
    EXPECT_EQ(session.render(), kOfxStatFailed);
    EXPECT_EQ(releases(session.host()),
              (std::vector<std::string>{"Reference", "Output", "SourceMask", "ReferenceMask"}));
    EXPECT_EQ(session.host().outstandingImages(), 0);
    EXPECT_FALSE(session.record().lut.valid);
  }
  {
    Session session(tracing());
    session.attach("Source", coffee());
    session.attach("Reference", chelsea());
    session.attach("ReferenceMask", coffee());
    session.host().clearTrace();
    EXPECT_EQ(session.render(1.0, OfxRectI{0, 0, 8, 8}), kOfxStatFailed);
    EXPECT_EQ(releases(session.host()), (std::vector<std::string>{"Source", "Reference", "ReferenceMask"}));
    EXPECT_EQ(session.host().outstandingImages(), 0);
    EXPECT_EQ(session.record().lutMatchMode, -1);
  }
}

TEST(RenderFailure, ImagesAreFetchedInOrderAndReleasedOutputLast) {
  Scene scene(coffee(), chelsea(), tracing());
  scene.session.attach("SourceMask", coffee());
  scene.session.attach("ReferenceMask", coffee());
  scene.session.host().clearTrace();
  ASSERT_EQ(scene.session.render(2.5), kOfxStatOK);
  std::vector<std::string> fetches;
  for (const ofxhost::TraceEntry& e : scene.session.host().trace())
    if (e.call == "clipGetImage") {
      fetches.push_back(e.arg);
      EXPECT_EQ(e.time, 2.5);
    }
  EXPECT_EQ(fetches, (std::vector<std::string>{"Source", "Reference", "Output", "SourceMask", "ReferenceMask"}));
  EXPECT_EQ(releases(scene.session.host()),
            (std::vector<std::string>{"Source", "Reference", "SourceMask", "ReferenceMask", "Output"}));
  std::vector<std::string> params;
  for (const ofxhost::TraceEntry& e : scene.session.host().trace())
    if (e.call == "paramGetValueAtTime") {
      params.push_back(e.arg);
      EXPECT_EQ(e.time, 2.5);
    }
  EXPECT_EQ(params, (std::vector<std::string>{"strength", "strengthR", "strengthG", "strengthB", "matchMode",
                                              "preserveMode", "differentClipsLearner"}));
}

TEST(RenderFailure, UndeclaredDepthIsRefusedWithOneLine) {
  const ImageLayout half{PixelDepth::Half, Components::RGBA, false, 0};
  for (const char* clip : {"Source", "Reference", "Output", "SourceMask"}) {
    Scene scene(coffee(), chelsea(), capturing());
    if (std::string(clip) == "Output")
      scene.output = scene.session.attachOutput(boundsOf(coffee()), half);
    else
      scene.session.attach(clip, std::string(clip) == "Reference" ? chelsea() : coffee(), half);
    const std::vector<float> before = scene.session.output();
    EXPECT_EQ(scene.session.render(), kOfxStatErrUnsupported) << clip;
    EXPECT_EQ(scene.session.host().lastStderr(),
              std::string("Vantrel: Unsupported pixel format on clip ") + clip + " - render refused\n");
    EXPECT_EQ(scene.session.output(), before) << clip;
    EXPECT_EQ(scene.session.host().outstandingImages(), 0);
    EXPECT_FALSE(scene.session.record().lut.valid);
  }
}

TEST(RenderFailure, ImageLayoutsThatWouldReadAstrayAreRefused) {
  for (const char* clip : {"Source", "Reference"}) {
    Scene scene(coffee(), chelsea(), capturing());
    auto image = scene.session.attach(clip, coffee());
    image->data = nullptr;
    EXPECT_EQ(scene.session.render(), kOfxStatFailed) << clip;
    EXPECT_EQ(scene.session.host().lastStderr(),
              std::string("Vantrel: Invalid image layout on clip ") + clip + " - render refused\n");
    EXPECT_EQ(scene.session.host().outstandingImages(), 0);
  }
  // A mask without pixel data weighs nothing out, in any depth, but its presence is a key.
  for (PixelDepth depth : {PixelDepth::Float, PixelDepth::Byte}) {
    Scene scene(coffee(), chelsea(), capturing());
    auto mask = scene.session.attach("ReferenceMask", coffee(), ImageLayout{depth, Components::Alpha, false, 0});
    mask->data = nullptr;
    EXPECT_EQ(scene.session.render(), kOfxStatOK);
    EXPECT_EQ(scene.session.host().lastStderr(), "");
    const Lut lut = engineLut(0, 0, coffee(), chelsea());
    EXPECT_TRUE(samePixels(scene.session.output(), expectedOutput(coffee(), &lut)));
    EXPECT_TRUE(scene.session.record().lutHadReferenceMask);
  }
  // Rows closer together than a row of pixels.
  Scene scene(coffee(), chelsea(), capturing());
  scene.output->rowBytes = 8;
  EXPECT_EQ(scene.session.render(), kOfxStatFailed);
  EXPECT_EQ(scene.session.host().lastStderr(), "Vantrel: Invalid image layout on clip Output - render refused\n");
  // A float mask whose rows are padded by a byte count that is not a whole float.
  Scene padded(coffee(), chelsea(), capturing());
  padded.session.attach("SourceMask", coffee(), ImageLayout{PixelDepth::Float, Components::Alpha, false, 2});
  EXPECT_EQ(padded.session.render(), kOfxStatFailed);
  EXPECT_EQ(padded.session.host().lastStderr(), "Vantrel: Invalid image layout on clip SourceMask - render refused\n");
}

TEST(RenderFailure, RenderWithoutARecordFetchesNothing) {
  Session session;
  session.host().failAllocAlways(true);
  Effect* orphan = session.host().newInstance(kOfxImageEffectContextGeneral);
  EXPECT_EQ(session.host().createInstance(orphan), kOfxStatErrMemory);
  session.host().failAllocAlways(false);
  const int fetched = session.host().imagesFetched();
  EXPECT_EQ(session.host().render(orphan, 1.0, OfxRectI{0, 0, 4, 4}), kOfxStatErrBadHandle);
  EXPECT_EQ(session.host().imagesFetched(), fetched);
}

#ifdef VANTREL_FAILING_MALLOC
TEST(RenderFailure, LutStorageThatCannotBeAllocatedIsReportedOnEveryRender) {
  const Lut lut = engineLut(0, 0, coffee(), chelsea());  // before allocations fail
  gFailLargeAllocations = true;
  Scene scene(coffee(), chelsea(), capturing());
  EXPECT_EQ(scene.session.record().lut.size, 0);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(scene.session.render(), kOfxStatOK);
    EXPECT_EQ(scene.session.host().lastStderr(), "Vantrel: LUT allocation failed\n");
    EXPECT_TRUE(samePixels(scene.session.output(), expectedOutput(coffee(), nullptr)));
    EXPECT_EQ(scene.session.record().lut.size, 0);
    EXPECT_EQ(scene.session.record().lut.data, nullptr);
    EXPECT_EQ(scene.session.record().lutSourceTime, -1.0);
  }
  gFailLargeAllocations = false;
  EXPECT_EQ(scene.session.render(), kOfxStatOK);
  EXPECT_EQ(scene.session.host().lastStderr(), "");
  EXPECT_EQ(scene.session.record().lut.size, 65);
  EXPECT_TRUE(samePixels(scene.session.output(), expectedOutput(coffee(), &lut)));
}

TEST(RenderFailure, BuilderWithoutWorkingStorageRendersTheClampedSource) {
  coffee(), chelsea();  // loaded before allocations fail
  for (int mode : {0, 1}) {
    Scene scene(coffee(), chelsea(), capturing());
    scene.session.setChoice("matchMode", mode);
    gFailLargeAllocations = true;
    const OfxStatus status = scene.session.render();
    gFailLargeAllocations = false;
    EXPECT_EQ(status, kOfxStatOK);
    EXPECT_EQ(scene.session.host().lastStderr(),
              "Vantrel: LUT build failed - not enough memory, rendering without the match\n");
    EXPECT_TRUE(samePixels(scene.session.output(), expectedOutput(coffee(), nullptr)));
    EXPECT_FALSE(scene.session.record().lut.valid);
    EXPECT_EQ(scene.session.record().lutMatchMode, -1);
    // The next render tries again and succeeds.
    EXPECT_EQ(scene.session.render(), kOfxStatOK);
    EXPECT_TRUE(scene.session.record().lut.valid);
  }
}
#endif

// ---------------------------------------------------------------------------------------------
// Out-of-range values

TEST(RenderValues, NaNInfinitiesNegativesAndOverbrightValues) {
  const float specials[] = {kNaN, kInf, -kInf, -0.5f, -0.0f, 1.5f, 40.0f};
  auto sprinkle = [&](Picture p, uint32_t seed) {
    std::mt19937 rng(seed);
    for (size_t i = 0; i < p.rgba.size(); ++i)
      if (rng() % 5 == 0) p.rgba[i] = specials[rng() % 7];
    return p;
  };
  const Picture source = sprinkle(coffee(), 1), reference = sprinkle(chelsea(), 2);
  const Picture sourceMask = sprinkle(randomPicture(96, 64, 5), 3),
                referenceMask = sprinkle(randomPicture(80, 60, 6), 4);
  for (int mode : {0, 1}) {
    Scene scene(source, reference);
    scene.session.attach("SourceMask", sourceMask);
    scene.session.attach("ReferenceMask", referenceMask);
    scene.session.setChoice("matchMode", mode);
    ASSERT_EQ(scene.session.render(), kOfxStatOK);
    const Lut lut = engineLut(mode, 0, source, reference, &sourceMask, &referenceMask);
    EXPECT_TRUE(samePixels(scene.session.output(), expectedOutput(source, &lut))) << "mode " << mode;
  }
}

// ---------------------------------------------------------------------------------------------
// Pixel formats

TEST(RenderFormats, EveryDeclaredLayoutOnAllThreeClips) {
  for (PixelDepth depth : {PixelDepth::Float, PixelDepth::Short, PixelDepth::Byte})
    for (Components components : {Components::RGBA, Components::RGB})
      for (bool flipped : {false, true}) {
        const ImageLayout layout{depth, components, flipped, 12};
        Session session;
        session.attach("Source", coffee(), layout);
        session.attach("Reference", chelsea(), layout);
        session.attachOutput(boundsOf(coffee()), layout);
        ASSERT_EQ(session.render(), kOfxStatOK);
        const Picture source = asStored(coffee(), layout);
        const Lut lut = engineLut(0, 0, source, asStored(chelsea(), layout));
        EXPECT_TRUE(samePixels(session.output(), asWritten(expectedOutput(source, &lut), layout)))
            << ofxhost::depthName(depth) << " " << ofxhost::componentsName(components) << " flipped " << flipped;
      }
}

TEST(RenderFormats, MixedLayoutsAcrossClips) {
  struct Case {
    ImageLayout source, reference, output;
  };
  const ImageLayout byteRGB{PixelDepth::Byte, Components::RGB, false, 0};
  const ImageLayout floatRGBA{};
  const ImageLayout shortRGB{PixelDepth::Short, Components::RGB, true, 0};
  const ImageLayout floatRGB{PixelDepth::Float, Components::RGB, false, 4};
  for (const Case& c : {Case{byteRGB, floatRGBA, floatRGBA}, Case{floatRGBA, byteRGB, shortRGB},
                        Case{shortRGB, floatRGB, byteRGB}, Case{floatRGB, shortRGB, floatRGBA}})
    for (int mode : {0, 1}) {
      Session session;
      session.setChoice("matchMode", mode);
      session.attach("Source", coffee(), c.source);
      session.attach("Reference", mode == 1 ? astronaut() : chelsea(), c.reference);
      session.attachOutput(boundsOf(coffee()), c.output);
      ASSERT_EQ(session.render(), kOfxStatOK);
      const Picture source = asStored(coffee(), c.source);
      const Lut lut = engineLut(mode, 0, source, asStored(mode == 1 ? astronaut() : chelsea(), c.reference));
      EXPECT_TRUE(samePixels(session.output(), asWritten(expectedOutput(source, &lut), c.output)));
    }
}

TEST(RenderFormats, MaskLayouts) {
  Picture mask = randomPicture(40, 30, 9, 0.3f, 1.1f);
  for (size_t p = 0; p < mask.rgba.size(); p += 4) std::fill(&mask.rgba[p + 1], &mask.rgba[p] + 4, mask.rgba[p]);
  for (PixelDepth depth : {PixelDepth::Float, PixelDepth::Short, PixelDepth::Byte})
    for (Components components : {Components::Alpha, Components::RGB, Components::RGBA}) {
      const ImageLayout layout{depth, components, depth == PixelDepth::Short, 0};
      Scene scene;
      scene.session.attach("SourceMask", mask, layout);
      scene.session.attach("ReferenceMask", mask, layout);
      ASSERT_EQ(scene.session.render(), kOfxStatOK);
      const Picture read = maskAsRead(mask, layout);
      const Lut lut = engineLut(0, 0, coffee(), chelsea(), &read, &read);
      EXPECT_TRUE(samePixels(scene.session.output(), expectedOutput(coffee(), &lut)))
          << ofxhost::depthName(depth) << " " << ofxhost::componentsName(components);
    }
}

// ---------------------------------------------------------------------------------------------
// Windows and bounds

TEST(RenderWindow, ClippedToTheOutputAndBlackOutsideTheSource) {
  for (bool flipped : {false, true}) {
    Session session;
    // Source at (10, 5); Output larger and elsewhere, prefilled so untouched pixels show.
    session.attach("Source", coffee(), ImageLayout{PixelDepth::Float, Components::RGBA, flipped, 0}, 10, 5);
    session.attach("Reference", chelsea());
    const OfxRectI outBounds{0, 0, 120, 80};
    const Picture prefill = uniformPicture(120, 80, {0.25f, 0.5f, 0.75f, 0.5f});
    auto output =
        ofxhost::makeImage(prefill.rgba, outBounds, ImageLayout{PixelDepth::Float, Components::RGBA, !flipped, 8});
    ASSERT_TRUE(session.host().attachImage(session.instance(), "Output", output));
    const OfxRectI window{-5, 20, 115, 200};
    ASSERT_EQ(session.render(1.0, window), kOfxStatOK);
    const Lut lut = engineLut(0, 0, coffee(), chelsea());
    const std::vector<float> matched = expectedOutput(coffee(), &lut);
    const std::vector<float> out = ofxhost::readImageRGBA(*output);
    for (int y = 0; y < 80; ++y)
      for (int x = 0; x < 120; ++x) {
        const float* o = &out[size_t((y * 120 + x) * 4)];
        std::vector<float> want(&prefill.rgba[0], &prefill.rgba[0] + 4);
        if (y >= 20 && x < 115) {
          const bool inSource = x >= 10 && x < 106 && y >= 5 && y < 69;
          want = inSource ? std::vector<float>(&matched[size_t(((y - 5) * 96 + (x - 10)) * 4)],
                                               &matched[size_t(((y - 5) * 96 + (x - 10)) * 4)] + 4)
                          : std::vector<float>(4, 0.0f);
        }
        ASSERT_EQ(std::vector<float>(o, o + 4), want) << x << "," << y << " flipped " << flipped;
      }
  }
}

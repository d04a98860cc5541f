// Temporal clip access as a strict host gives it: the frames-needed action, renders held to its
// answer, clip frame ranges, and images made on demand by a source.
#include <gtest/gtest.h>

#include "host_testing.h"
#include "probe.h"

using namespace ofxhost;

namespace {

int control(Host& host, const char* action, int value = 0) {
  PropertySet in(&host, "args", true), out(&host, "args", true);
  in.defineInt("value", {value});
  EXPECT_EQ(host.action(action, nullptr, in.handle(), out.handle()), kOfxStatOK) << action;
  return out.getInt("value").value_or(-2);
}

// A probe instance that declares temporal access (or not) on a host with the given options.
struct Probe {
  std::unique_ptr<TestHost> host;
  Effect* inst = nullptr;
  std::shared_ptr<Image> output;
  explicit Probe(bool declares, TestingOptions options = {}) : host(probe::loaded(options)) {
    control(*host, "probe.temporal", declares ? 1 : 0);
    inst = probe::instance(*host);
    output = makeBlankImage({0, 0, 1, 1});
    host->attachImage(inst, "Output", output);
    host->setParamDouble(inst, "gain", 1.0);
  }
  ~Probe() {
    for (const char* c : {"probe.temporal", "probe.neededPad", "probe.fetchOffset"})
      control(*host, c, std::string(c) == "probe.neededPad" ? -1 : 0);
  }
  // Renders at `time` with a second Source fetch at time + offset: 1 given, 0 refused.
  int otherFetch(double time, int offset) {
    control(*host, "probe.fetchOffset", offset);
    EXPECT_EQ(host->render(inst, time, {0, 0, 1, 1}), kOfxStatOK);
    return control(*host, "probe.otherFetched");
  }
};

std::vector<double> range(const FramesNeeded& f, const std::string& clip) {
  std::vector<double> v;
  for (const OfxRangeD& r : f.ranges.at(clip)) v.insert(v.end(), {r.min, r.max});
  return v;
}

}  // namespace

TEST(HostTemporal, RendersFetchOnlyTheFramesTheEffectSaidItNeeds) {
  Probe p(true);
  for (double t : {3.0, 4.0, 5.0, 6.0}) p.host->attachImage(p.inst, "Source", makeImage({0, 0, 0, 1}, {0, 0, 1, 1}), t);
  EXPECT_EQ(p.host->hostProps().getInt(kOfxImageEffectPropTemporalClipAccess), 1);
  // Until set, a clip's frames are the times of its images.
  const auto frames = p.inst->clip("Source")->props->get(kOfxImageEffectPropFrameRange);
  EXPECT_EQ(frames->doubles, (std::vector<double>{3.0, 6.0}));

  FramesNeeded f = p.host->framesNeeded(p.inst, 4.0);
  EXPECT_TRUE(f.sent);
  EXPECT_EQ(f.status, kOfxStatReplyDefault);
  EXPECT_EQ(range(f, "Source"), (std::vector<double>{4.0, 4.0})) << "the host's default";
  EXPECT_EQ(f.ranges.count("Output"), 0u);
  EXPECT_EQ(p.otherFetch(4.0, -1), 0) << "without an answer, the render time only";

  control(*p.host, "probe.neededPad", 1);
  f = p.host->framesNeeded(p.inst, 4.0);
  EXPECT_EQ(f.status, kOfxStatOK);
  EXPECT_EQ(range(f, "Source"), (std::vector<double>{3.0, 5.0}));
  EXPECT_EQ(p.otherFetch(4.0, -1), 1);
  EXPECT_EQ(p.otherFetch(4.0, 1), 1);
  p.host->clearFailedCalls();
  EXPECT_EQ(p.otherFetch(4.0, 2), 0) << "frame 6 exists but was not asked for";
  ASSERT_FALSE(p.host->failedCalls().empty());
  EXPECT_EQ(p.host->failedCalls().back().call, "clipGetImage");
  EXPECT_EQ(p.otherFetch(5.0, 1), 1) << "asked for in the render at 5";
  EXPECT_EQ(p.host->outstandingImages(), 0);

  // A range set by the application stays, whatever is attached later.
  ASSERT_TRUE(p.host->setClipFrameRange(p.inst, "Source", 1.0, 100.0));
  p.host->attachImage(p.inst, "Source", makeImage({0, 0, 0, 1}, {0, 0, 1, 1}), 200.0);
  EXPECT_EQ(p.inst->clip("Source")->props->get(kOfxImageEffectPropFrameRange)->doubles,
            (std::vector<double>{1.0, 100.0}));
}

TEST(HostTemporal, WithoutEitherSideOnlyTheRenderTime) {
  TestingOptions without;
  without.temporalClipAccess = false;
  for (bool hostOffers : {false, true}) {
    SCOPED_TRACE(hostOffers ? "the effect does not declare it" : "the host does not offer it");
    Probe p(hostOffers ? false : true, hostOffers ? TestingOptions{} : without);
    for (double t : {3.0, 4.0}) p.host->attachImage(p.inst, "Source", makeImage({0, 0, 0, 1}, {0, 0, 1, 1}), t);
    EXPECT_EQ(p.host->hostProps().getInt(kOfxImageEffectPropTemporalClipAccess), hostOffers ? 1 : 0);
    control(*p.host, "probe.neededPad", 1);
    const FramesNeeded f = p.host->framesNeeded(p.inst, 4.0);
    EXPECT_FALSE(f.sent);
    EXPECT_EQ(range(f, "Source"), (std::vector<double>{4.0, 4.0}));
    EXPECT_EQ(p.otherFetch(4.0, -1), 0);
  }
}

TEST(HostImageSource, MakesImagesOnDemandAndKeepsThemWhileLent) {
  Probe p(true);
  control(*p.host, "probe.neededPad", 2);
  std::vector<std::pair<double, bool>> asked;
  std::mutex lock;
  ASSERT_TRUE(p.host->setImageSource(p.inst, "Source", [&](double time, bool pixels) {
    std::lock_guard<std::mutex> hold(lock);
    asked.push_back({time, pixels});
    // A fresh image each time, owned by nobody else: the host must keep it while it is lent.
    return time > 10.0 ? nullptr : makeImage({float(time) / 10.0f, 0, 0, 1}, {0, 0, 1, 1});
  }));
  EXPECT_EQ(p.inst->clip("Source")->props->getInt(kOfxImageClipPropConnected), 1);
  p.host->attachImage(p.inst, "Source", makeImage({0.75f, 0, 0, 1}, {0, 0, 1, 1}), 2.0);

  ASSERT_EQ(p.host->render(p.inst, 3.0, {0, 0, 1, 1}), kOfxStatOK);
  EXPECT_FLOAT_EQ(readImageRGBA(*p.output)[0], 0.3f);
  ASSERT_EQ(p.host->render(p.inst, 2.0, {0, 0, 1, 1}), kOfxStatOK);
  EXPECT_FLOAT_EQ(readImageRGBA(*p.output)[0], 0.75f) << "an attached image comes first";
  EXPECT_EQ(p.otherFetch(9.0, 1), 1);
  EXPECT_EQ(p.otherFetch(10.0, 1), 0) << "the source has no frame 11";
  EXPECT_EQ(p.host->outstandingImages(), 0);

  // A region of definition asks for the bounds alone.
  auto* fx = static_cast<const OfxImageEffectSuiteV1*>(p.host->fetchSuite(kOfxImageEffectSuite, 1));
  OfxRectD rod{};
  asked.clear();
  EXPECT_EQ(fx->clipGetRegionOfDefinition(p.inst->clip("Source")->handle(), 7.0, &rod), kOfxStatOK);
  EXPECT_EQ(rod.x2, 1.0);
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0], std::make_pair(7.0, false));
  ASSERT_TRUE(p.host->setImageSource(p.inst, "Source", nullptr));
  EXPECT_EQ(fx->clipGetRegionOfDefinition(p.inst->clip("Source")->handle(), 7.0, &rod), kOfxStatFailed);
}

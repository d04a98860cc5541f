#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

#include "host_testing.h"
#include "probe.h"

using namespace ofxhost;

namespace {

TEST(HostLoad, ReportsWhyAModuleCannotBeUsed) {
  Host host;
  EXPECT_FALSE(host.open("/nonexistent/Nothing.ofx"));
  EXPECT_NE(host.error().find("cannot load"), std::string::npos);
  EXPECT_FALSE(host.open(PROBE_PLUGIN_PATH, 1));
  EXPECT_NE(host.error().find("none at index 1"), std::string::npos);
  EXPECT_EQ(host.load(), kOfxStatErrFatal) << "no plug-in bound";
  ASSERT_TRUE(host.open(PROBE_PLUGIN_PATH)) << host.error();
  EXPECT_EQ(host.pluginCount(), 1);
  EXPECT_STREQ(host.plugin()->pluginIdentifier, "org.vantrel.probe");
}

TEST(HostLoad, ServesOnlyTheSixSuitesAtVersionOne) {
  Host host;
  for (const char* s : {kOfxPropertySuite, kOfxImageEffectSuite, kOfxParameterSuite, kOfxMemorySuite,
                        kOfxMultiThreadSuite, kOfxMessageSuite}) {
    EXPECT_NE(host.fetchSuite(s, 1), nullptr) << s;
    EXPECT_EQ(host.fetchSuite(s, 2), nullptr) << s;
  }
  EXPECT_EQ(host.fetchSuite("OfxInteractSuite", 1), nullptr);
  EXPECT_EQ(host.fetchSuite("ofxpropertysuite", 1), nullptr);
}

TEST(HostLoad, LeftOutSuitesAreNullForThePlugin) {
  TestingOptions noParams;
  noParams.noParameterSuite = true;
  TestHost host(noParams);
  ASSERT_TRUE(host.open(PROBE_PLUGIN_PATH));
  EXPECT_EQ(host.load(), kOfxStatErrMissingHostFeature);
  const auto fetched = host.fetchedSuites();
  ASSERT_EQ(fetched.size(), 6u);
  EXPECT_EQ(fetched[0].first, kOfxPropertySuite);
  EXPECT_EQ(fetched[5].first, kOfxMessageSuite);

  // The same module rebinds to a new host: load works again with every suite.
  auto full = probe::loaded();
  ASSERT_NE(full, nullptr);
  EXPECT_EQ(full->plugin(), host.plugin()) << "one library per process";
  // Loading through the first host again fetches from it, with its suites left out.
  EXPECT_EQ(host.load(), kOfxStatErrMissingHostFeature);
  EXPECT_EQ(host.fetchedSuites().size(), 12u);
  EXPECT_EQ(full->load(), kOfxStatOK);
}

TEST(HostDescribe, RecordsDescriptionInOrder) {
  auto host = probe::loaded();
  ASSERT_NE(host, nullptr);
  ASSERT_EQ(host->describe(), kOfxStatOK);
  const auto w = host->descriptor().props->writes();
  ASSERT_EQ(w.size(), 5u);
  EXPECT_EQ(w[0].name, kOfxPropLabel);
  EXPECT_EQ(w[2].name, kOfxImageEffectPropSupportedContexts);
  EXPECT_EQ(w[3].index, 1);
  EXPECT_EQ(w[3].value.s, kOfxImageEffectContextGeneral);

  ASSERT_EQ(host->describeInContext(kOfxImageEffectContextGeneral), kOfxStatOK);
  Effect* ctx = host->contextDescriptor(kOfxImageEffectContextGeneral);
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(ctx->props->getString(kOfxImageEffectPropContext), kOfxImageEffectContextGeneral);
  EXPECT_EQ(ctx->props->getString(kOfxPropLabel), "Probe") << "carries the effect description";
  ASSERT_EQ(ctx->clips.size(), 2u);
  EXPECT_EQ(ctx->clips[0]->name, "Source");
  EXPECT_EQ(ctx->clips[1]->name, "Output");
  ASSERT_EQ(ctx->params.params.size(), 4u);
  EXPECT_EQ(ctx->params.params[1]->name, "mode");
  EXPECT_EQ(ctx->params.params[1]->type, kOfxParamTypeChoice);
  EXPECT_EQ(ctx->params.params[1]->props->getString(kOfxParamPropChoiceOption, 1), "B");
  EXPECT_EQ(host->newInstance(kOfxImageEffectContextFilter), nullptr) << "context not described";
}

TEST(HostInstance, InstanceStartsWithDefaultsAndClosedProperties) {
  auto host = probe::loaded();
  ASSERT_NE(host, nullptr);
  Effect* inst = probe::instance(*host);
  ASSERT_NE(inst, nullptr);
  EXPECT_NE(inst->props->getPointer(kOfxPropInstanceData).value_or(nullptr), nullptr);
  EXPECT_EQ(inst->props->getString(kOfxImageEffectPropContext), kOfxImageEffectContextFilter);
  EXPECT_EQ(host->paramValue(inst, "gain")->doubles, std::vector<double>{0.5});
  EXPECT_EQ(host->paramValue(inst, "mode")->ints, std::vector<int>{1});
  EXPECT_EQ(host->paramValue(inst, "path")->str, "/tmp/probe");
  EXPECT_EQ(host->liveAllocations(), 1);
  EXPECT_EQ(host->destroyInstance(inst), kOfxStatOK);
  EXPECT_EQ(host->liveAllocations(), 0);
  EXPECT_EQ(host->badFrees(), 0);
}

TEST(HostInstance, AllocationFailureAndStderrCapture) {
  TestingOptions opts;
  opts.captureStderr = true;
  auto host = probe::loaded(opts);
  ASSERT_NE(host, nullptr);
  ASSERT_EQ(host->describe(), kOfxStatOK);
  ASSERT_EQ(host->describeInContext(kOfxImageEffectContextFilter), kOfxStatOK);

  host->failNextAllocs(1);
  Effect* a = host->newInstance(kOfxImageEffectContextFilter);
  EXPECT_EQ(host->createInstance(a), kOfxStatErrMemory);
  EXPECT_EQ(host->lastStderr(), "probe: create\n");
  Effect* b = host->newInstance(kOfxImageEffectContextFilter);
  EXPECT_EQ(host->createInstance(b), kOfxStatOK) << "only the next call failed";

  host->failAllocAlways(true);
  Effect* c = host->newInstance(kOfxImageEffectContextFilter);
  EXPECT_EQ(host->createInstance(c), kOfxStatErrMemory);
  EXPECT_EQ(host->createInstance(c), kOfxStatErrMemory);
  host->failAllocAlways(false);
  EXPECT_EQ(host->createInstance(c), kOfxStatOK);
}

TEST(HostInstance, CaptureStderrRestoresTheStream) {
  const std::string got = captureStderr([] {
    std::fputs("one\n", stderr);
    std::fprintf(stderr, "two %d\n", 2);
  });
  EXPECT_EQ(got, "one\ntwo 2\n");
  EXPECT_EQ(captureStderr([] {}), "");
  EXPECT_EQ(captureStderr([] { std::fputs("three", stderr); }), "three");
}

struct HostRender : ::testing::Test {
  std::unique_ptr<TestHost> host = probe::loaded();
  Effect* inst = nullptr;
  void SetUp() override {
    ASSERT_NE(host, nullptr);
    inst = probe::instance(*host);
    ASSERT_NE(inst, nullptr);
  }
};

TEST_F(HostRender, RendersIntoNegativeRowBytesOutputAndReleasesImages) {
  std::vector<float> src;
  for (int k = 0; k < 4 * 3 * 4; ++k) src.push_back(k / 48.0f);
  const OfxRectI bounds{-2, 1, 2, 4};
  ASSERT_TRUE(host->attachImage(inst, "Source", makeImage(src, bounds)));
  auto out = makeBlankImage(bounds, {PixelDepth::Float, Components::RGBA, true, 8});
  ASSERT_TRUE(host->attachImage(inst, "Output", out));
  ASSERT_TRUE(host->setParamDouble(inst, "gain", 2.0));

  EXPECT_EQ(host->render(inst, 0.0, bounds), kOfxStatOK);
  const auto got = readImageRGBA(*out);
  for (size_t k = 0; k < got.size(); ++k) ASSERT_FLOAT_EQ(got[k], k % 4 == 3 ? src[k] : src[k] * 2.0f) << k;
  EXPECT_EQ(host->imagesFetched(), 2);
  EXPECT_EQ(host->imagesReleased(), 2);
  EXPECT_EQ(host->outstandingImages(), 0);
}

TEST_F(HostRender, ImagesByTimeAndMissingImages) {
  const OfxRectI b{0, 0, 1, 1};
  auto out = makeBlankImage(b);
  ASSERT_TRUE(host->attachImage(inst, "Output", out));
  EXPECT_EQ(host->render(inst, 0.0, b), kOfxStatFailed) << "no Source image";
  EXPECT_EQ(host->outstandingImages(), 0);

  ASSERT_TRUE(host->attachImage(inst, "Source", makeImage({1, 1, 1, 1}, b), 3.0));
  ASSERT_TRUE(host->attachImage(inst, "Source", makeImage({0.25f, 0.25f, 0.25f, 1}, b)));
  ASSERT_TRUE(host->setParamDouble(inst, "gain", 1.0));
  ASSERT_EQ(host->render(inst, 3.0, b), kOfxStatOK);
  EXPECT_FLOAT_EQ(readImageRGBA(*out)[0], 1.0f) << "image of that time";
  ASSERT_EQ(host->render(inst, 4.0, b), kOfxStatOK);
  EXPECT_FLOAT_EQ(readImageRGBA(*out)[0], 0.25f) << "image for every time";

  ASSERT_TRUE(host->setClipConnected(inst, "Source", false));
  EXPECT_EQ(host->render(inst, 3.0, b), kOfxStatFailed) << "disconnected clip gives no image";
  EXPECT_FALSE(host->attachImage(inst, "Nope", out));
  EXPECT_EQ(host->badReleases(), 0);
}

TEST_F(HostRender, ImageSuiteStatusesAndReleaseTracking) {
  auto* fx = static_cast<const OfxImageEffectSuiteV1*>(host->fetchSuite(kOfxImageEffectSuite, 1));
  auto* ps = static_cast<const OfxPropertySuiteV1*>(host->fetchSuite(kOfxPropertySuite, 1));
  OfxImageClipHandle clip = reinterpret_cast<OfxImageClipHandle>(1);
  OfxPropertySetHandle props = reinterpret_cast<OfxPropertySetHandle>(1);
  EXPECT_EQ(fx->clipGetHandle(inst->handle(), "Nope", &clip, &props), kOfxStatErrUnknown);
  EXPECT_EQ(clip, nullptr);
  EXPECT_EQ(props, nullptr);
  ASSERT_EQ(fx->clipGetHandle(inst->handle(), "Source", &clip, nullptr), kOfxStatOK);

  const OfxRectI b{0, 0, 2, 2};
  ASSERT_TRUE(host->attachImage(
      inst, "Source", makeImage(std::vector<float>(16, 0.5f), b, {PixelDepth::Half, Components::RGBA, false, 0})));
  OfxPropertySetHandle img = nullptr;
  ASSERT_EQ(fx->clipGetImage(clip, 0.0, nullptr, &img), kOfxStatOK);
  char* depth = nullptr;
  int bounds[4] = {};
  double scale[2] = {};
  ps->propGetString(img, kOfxImageEffectPropPixelDepth, 0, &depth);
  ps->propGetIntN(img, kOfxImagePropBounds, 4, bounds);
  ps->propGetDoubleN(img, kOfxImageEffectPropRenderScale, 2, scale);
  EXPECT_STREQ(depth, kOfxBitDepthHalf);
  EXPECT_EQ(bounds[2], 2);
  EXPECT_EQ(scale[1], 1.0);
  EXPECT_EQ(host->outstandingImages(), 1);

  OfxRectD rod{};
  EXPECT_EQ(fx->clipGetRegionOfDefinition(clip, 0.0, &rod), kOfxStatOK);
  EXPECT_EQ(rod.x2, 2.0);
  EXPECT_EQ(fx->abort(inst->handle()), 0);

  EXPECT_EQ(fx->clipReleaseImage(img), kOfxStatOK);
  // A handle that is no longer an image names no host: the one whose action is running answers.
  EXPECT_EQ(fx->clipReleaseImage(img), kOfxStatErrBadHandle);
  EXPECT_EQ(host->badReleases(), 0) << "outside any action nobody counts it";
  host->asPlugin([&] {
    EXPECT_EQ(ps->propGetString(img, kOfxImageEffectPropPixelDepth, 0, &depth), kOfxStatErrBadHandle)
        << "a released image is gone";
    EXPECT_EQ(fx->clipReleaseImage(img), kOfxStatErrBadHandle) << "released twice";
    EXPECT_EQ(fx->clipReleaseImage(nullptr), kOfxStatErrBadHandle);
  });
  EXPECT_EQ(host->badReleases(), 2);
  EXPECT_EQ(host->outstandingImages(), 0);

  const auto failed = host->failedCalls();
  ASSERT_EQ(failed.size(), 4u);
  EXPECT_EQ(failed[0].call, "clipGetHandle");
  EXPECT_EQ(failed[0].arg, "Nope");
  EXPECT_EQ(failed[0].status, kOfxStatErrUnknown);
  EXPECT_EQ(failed[1].call, "propGetString");
  EXPECT_EQ(failed[1].status, kOfxStatErrBadHandle);
  EXPECT_EQ(failed[3].call, "clipReleaseImage");
}

TEST_F(HostRender, ConcurrentTileRenders) {
  const OfxRectI b{0, 0, 64, 64};
  ASSERT_TRUE(host->attachImage(inst, "Source", makeImage(std::vector<float>(64 * 64 * 4, 0.5f), b)));
  auto out = makeBlankImage(b);
  ASSERT_TRUE(host->attachImage(inst, "Output", out));
  std::vector<std::thread> tiles;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t)
    tiles.emplace_back([&, t] {
      for (int k = 0; k < 20; ++k)
        if (host->render(inst, 0.0, {0, t * 16, 64, t * 16 + 16}) != kOfxStatOK) ++failures;
    });
  for (auto& th : tiles) th.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(host->imagesFetched(), 160);
  EXPECT_EQ(host->outstandingImages(), 0);
  for (float v : readImageRGBA(*out)) ASSERT_TRUE(v == 0.25f || v == 0.5f);
}

// A tiling host hands each input out over the region the plug-in asks for, within the image,
// and over the render window when the plug-in does not answer.
TEST_F(HostRender, InputsAreCroppedToTheRegionsOfInterest) {
  const OfxRectI b{-8, 4, 56, 52};
  std::vector<float> src;
  for (int k = 0; k < 64 * 48 * 4; ++k) src.push_back(float(k % 997) / 997.0f);
  ASSERT_TRUE(host->attachImage(inst, "Source", makeImage(src, b)));
  auto out = makeBlankImage(b);
  ASSERT_TRUE(host->attachImage(inst, "Output", out));
  ASSERT_TRUE(host->setParamDouble(inst, "gain", 1.0));
  auto control = [&](const char* action, int pad) {
    PropertySet in(host.get(), "args", true), outArgs(host.get(), "args", true);
    in.defineInt("pad", {pad});
    EXPECT_EQ(host->action(action, inst->handle(), in.handle(), outArgs.handle()), kOfxStatOK);
    std::vector<int> seen;
    for (int i = 0; i < 4; ++i) seen.push_back(outArgs.getInt("bounds", i).value_or(-999));
    return seen;
  };
  auto seenFor = [&](OfxRectI window) {
    EXPECT_EQ(host->render(inst, 0.0, window), kOfxStatOK);
    return control("probe.seenSource", 0);
  };
  EXPECT_EQ(seenFor({2, 10, 30, 40}), (std::vector<int>{2, 10, 30, 40}));
  control("probe.regionPad", 3);
  EXPECT_EQ(seenFor({2, 10, 30, 40}), (std::vector<int>{-1, 7, 33, 43}));
  EXPECT_EQ(seenFor({-8, 4, 0, 9}), (std::vector<int>{-8, 4, 3, 12})) << "within the image";
  const RegionsOfInterest asked = host->regionsOfInterest(inst, 0.0, {1.5, 2.0, 4.0, 6.0}, {0.5, 0.5});
  EXPECT_EQ(asked.status, kOfxStatOK);
  EXPECT_EQ(asked.regions.at("Source").x1, -1.5);
  EXPECT_EQ(asked.regions.at("Source").y2, 9.0);
  EXPECT_EQ(asked.regions.count("Output"), 0u);
  control("probe.regionPad", -1);
  // Every pixel read through the cropped images is where the plug-in expects it.
  for (int y = b.y1; y < b.y2; y += 12) ASSERT_EQ(host->render(inst, 0.0, {b.x1, y, b.x2, y + 12}), kOfxStatOK);
  EXPECT_EQ(readImageRGBA(*out), src);

  host->options().cropToRegionsOfInterest = false;
  EXPECT_EQ(seenFor({2, 10, 30, 40}), (std::vector<int>{-8, 4, 56, 52})) << "whole images on request";
}

TEST_F(HostRender, IdentityOutArgs) {
  IdentityResult r = host->isIdentity(inst, 12.5, {0, 0, 1, 1});
  EXPECT_EQ(r.status, kOfxStatReplyDefault);
  EXPECT_TRUE(r.writes.empty());
  ASSERT_TRUE(host->setParamDouble(inst, "gain", 1.0, 12.5));
  r = host->isIdentity(inst, 12.5, {0, 0, 1, 1});
  EXPECT_EQ(r.status, kOfxStatOK);
  EXPECT_EQ(r.clip, "Source");
  EXPECT_EQ(r.time, 12.5);
  EXPECT_EQ(r.writes.size(), 2u);
}

TEST_F(HostRender, MessagesTraceAndPluginWrites) {
  host->testing().trace = true;
  host->testing().captureStderr = true;
  std::vector<std::string> shown;
  host->onMessage = [&](const Message& m) { shown.push_back(m.text); };
  host->clearTrace();
  EXPECT_EQ(host->instanceChanged(inst, kOfxTypeParameter, "save"), kOfxStatOK);
  EXPECT_EQ(host->paramValue(inst, "path")->str, "/tmp/probe.out") << "host sees the plug-in's write";
  EXPECT_EQ(host->lastStderr(), "probe: saved /tmp/probe.out\n");
  const auto msgs = host->messages();
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].type, kOfxMessageMessage);
  EXPECT_FALSE(msgs[0].id.has_value());
  EXPECT_EQ(msgs[0].text, "saved /tmp/probe.out (100%)");
  EXPECT_EQ(msgs[0].handle, inst->handle());
  EXPECT_EQ(shown.size(), 1u);

  std::vector<std::string> calls;
  for (const auto& e : host->trace()) calls.push_back(e.call + ":" + e.arg);
  const std::vector<std::string> expected = {"getPropertySet:",           "propGetPointer:OfxPropInstanceData",
                                             "propGetString:OfxPropName", "paramGetValue:path",
                                             "paramSetValue:path",        "message:OfxMessageMessage"};
  EXPECT_EQ(calls, expected);
}

TEST_F(HostRender, MultiThreadSuiteRunsAndCounts) {
  EXPECT_EQ(host->multiThreadCalls(), 0);
  EXPECT_EQ(host->action("probe.threads", inst->handle()), kOfxStatOK);
  EXPECT_EQ(host->multiThreadCalls(), 1);
}

TEST_F(HostRender, MultiThreadSuiteRunsEveryIndexOnce) {
  auto* mt = static_cast<const OfxMultiThreadSuiteV1*>(host->fetchSuite(kOfxMultiThreadSuite, 1));
  struct Seen {
    const OfxMultiThreadSuiteV1* mt;
    std::atomic<int> calls[64];
    std::atomic<int> wrongIndex{0};
  } seen{mt, {}, {}};
  auto fn = [](unsigned i, unsigned max, void* arg) {
    auto* s = static_cast<Seen*>(arg);
    unsigned index = 99;
    s->mt->multiThreadIndex(&index);
    if (index != i || max != 64 || !s->mt->multiThreadIsSpawnedThread()) ++s->wrongIndex;
    ++s->calls[i];
  };
  host->asPlugin([&] { ASSERT_EQ(mt->multiThread(fn, 64, &seen), kOfxStatOK); });
  for (auto& c : seen.calls) EXPECT_EQ(c, 1);
  EXPECT_EQ(seen.wrongIndex, 0);
  EXPECT_GE(host->multiThreadCalls(), 1 + 64 * 2);

  OfxMutexHandle m = nullptr;
  ASSERT_EQ(mt->mutexCreate(&m, 1), kOfxStatOK);
  EXPECT_EQ(mt->mutexUnLock(m), kOfxStatOK) << "created locked once";
  EXPECT_EQ(mt->mutexTryLock(m), kOfxStatOK);
  EXPECT_EQ(mt->mutexUnLock(m), kOfxStatOK);
  EXPECT_EQ(mt->mutexDestroy(m), kOfxStatOK);
}

TEST_F(HostRender, ExceptionFromPluginBecomesFatalStatus) {
  EXPECT_EQ(host->action("probe.throw", inst->handle()), kOfxStatErrFatal);
  EXPECT_EQ(host->action("OfxActionUnload", nullptr), kOfxStatReplyDefault);
}

// Two hosts in one process, each sending actions on its own thread: calls without a handle
// (here the multi-thread suite's) are counted by the host whose action made them.
TEST(HostTeardown, HostsOnSeveralThreadsKeepTheirOwnCalls) {
  std::unique_ptr<TestHost> hosts[2] = {probe::loaded(), probe::loaded()};
  Effect* instances[2] = {};
  for (int h = 0; h < 2; ++h) {
    ASSERT_NE(hosts[h], nullptr);
    instances[h] = probe::instance(*hosts[h]);
    ASSERT_NE(instances[h], nullptr);
  }
  std::vector<std::thread> threads;
  for (int h = 0; h < 2; ++h)
    threads.emplace_back([&, h] {
      for (int k = 0; k < 200; ++k) hosts[h]->action("probe.threads", instances[h]->handle());
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(hosts[0]->multiThreadCalls(), 200);
  EXPECT_EQ(hosts[1]->multiThreadCalls(), 200);
  EXPECT_EQ(hosts[0]->liveAllocations() + hosts[1]->liveAllocations(), 2);
}

TEST(HostTeardown, DestroysLiveInstancesOfTheBoundHostOnly) {
  auto host = probe::loaded();
  ASSERT_NE(host, nullptr);
  Effect* done = probe::instance(*host);
  ASSERT_NE(done, nullptr);
  ASSERT_NE(host->newInstance(kOfxImageEffectContextFilter), nullptr);  // never created
  ASSERT_EQ(host->createInstance(host->newInstance(kOfxImageEffectContextFilter)), kOfxStatOK);
  ASSERT_EQ(host->destroyInstance(done), kOfxStatOK);
  EXPECT_EQ(captureStderr([&] { host.reset(); }), "probe: destroy\n");

  // A host whose module was loaded by another host since leaves its instances alone.
  auto first = probe::loaded();
  ASSERT_NE(first, nullptr);
  ASSERT_NE(probe::instance(*first), nullptr);
  auto second = probe::loaded();
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(captureStderr([&] { first.reset(); }), "");
}

}  // namespace

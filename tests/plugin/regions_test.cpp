// The regions-of-interest answer through the real module: every connected input is asked for
// over its whole region of definition, whatever the window and render scale.
#include "tests/plugin/module.h"

namespace {

bool sameRect(const OfxRectD& a, const OfxRectD& b) {
  return a.x1 == b.x1 && a.y1 == b.y1 && a.x2 == b.x2 && a.y2 == b.y2;
}

}  // namespace

TEST(RegionsOfInterest, WholeRegionOfDefinitionOfEachConnectedInput) {
  auto host = describedModule();
  for (const char* context : {kOfxImageEffectContextGeneral, kOfxImageEffectContextFilter}) {
    SCOPED_TRACE(context);
    ofxhost::Effect* instance = host->newInstance(context);
    ASSERT_EQ(host->createInstance(instance), kOfxStatOK);
    const OfxRectD window{30, 20, 40, 28};
    // Nothing connected yet: the plug-in leaves the host's defaults.
    ofxhost::RegionsOfInterest r = host->regionsOfInterest(instance, 2.0, window);
    EXPECT_EQ(r.status, kOfxStatReplyDefault);

    auto blank = [](OfxRectI b) { return ofxhost::makeBlankImage(b); };
    ASSERT_TRUE(host->attachImage(instance, "Source", blank({-16, 8, 200, 120})));
    ASSERT_TRUE(host->attachImage(instance, "Reference", blank({0, 0, 600, 400}), 2.0));
    ASSERT_TRUE(host->attachImage(instance, "ReferenceMask", blank({5, 5, 20, 20})));
    ASSERT_TRUE(host->attachImage(instance, "Output", blank({-16, 8, 200, 120})));
    for (OfxPointD scale : {OfxPointD{1.0, 1.0}, OfxPointD{0.5, 0.25}}) {
      r = host->regionsOfInterest(instance, 2.0, window, scale);
      EXPECT_EQ(r.status, kOfxStatOK);
      EXPECT_TRUE(sameRect(r.regions.at("Source"), {-16, 8, 200, 120}));
      EXPECT_TRUE(sameRect(r.regions.at("Reference"), {0, 0, 600, 400}));
      EXPECT_TRUE(sameRect(r.regions.at("ReferenceMask"), {5, 5, 20, 20}));
      EXPECT_TRUE(sameRect(r.regions.at("SourceMask"), window)) << "not connected: the host's default";
      EXPECT_EQ(r.regions.count("Output"), 0u);
    }
    // The Reference has no image at another time, so its region stays the host's.
    r = host->regionsOfInterest(instance, 3.0, window);
    EXPECT_TRUE(sameRect(r.regions.at("Source"), {-16, 8, 200, 120}));
    EXPECT_TRUE(sameRect(r.regions.at("Reference"), window));
    ASSERT_TRUE(host->setClipConnected(instance, "Source", false));
    r = host->regionsOfInterest(instance, 2.0, window);
    EXPECT_TRUE(sameRect(r.regions.at("Source"), window));
    EXPECT_TRUE(sameRect(r.regions.at("Reference"), {0, 0, 600, 400}));
    EXPECT_EQ(host->destroyInstance(instance), kOfxStatOK);
  }
  EXPECT_TRUE(host->failedCalls().size() >= 1u) << "the Reference's missing definition at time 3";
}

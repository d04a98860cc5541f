#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "host/module_loader.h"
#include "tests/plugin/module.h"
#include "tests/test_system.h"

using ofxhost::Host;
using ofxhost::TestingOptions;

namespace {

const std::vector<std::pair<std::string, int>> kSixSuites = {
    {"OfxPropertySuite", 1}, {"OfxImageEffectSuite", 1}, {"OfxParameterSuite", 1},
    {"OfxMemorySuite", 1},   {"OfxMultiThreadSuite", 1}, {"OfxMessageSuite", 1},
};

}  // namespace

TEST(Discovery, OneEffectBehindTheTwoEntryPoints) {
  // Kept loaded, as hosts do: the C++ runtime linked into the module does not free everything
  // on unload.
  std::string error;
  void* lib = ofxhost::loadModule(VANTREL_MODULE_PATH, error);
  ASSERT_NE(lib, nullptr) << error;
  auto count = reinterpret_cast<int (*)()>(ofxhost::moduleSymbol(lib, "OfxGetNumberOfPlugins"));
  auto get = reinterpret_cast<OfxPlugin* (*)(int)>(ofxhost::moduleSymbol(lib, "OfxGetPlugin"));
  ASSERT_NE(count, nullptr);
  ASSERT_NE(get, nullptr);
  EXPECT_EQ(count(), 1);
  EXPECT_EQ(count(), 1);

  OfxPlugin* plugin = get(0);
  ASSERT_NE(plugin, nullptr);
  EXPECT_EQ(get(0), plugin);
  EXPECT_EQ(get(1), nullptr);
  EXPECT_EQ(get(-1), nullptr);
  EXPECT_STREQ(plugin->pluginApi, "OfxImageEffectPluginAPI");
  EXPECT_EQ(plugin->apiVersion, 1);
  EXPECT_EQ(plugin->pluginVersionMajor, 1u);
  EXPECT_EQ(plugin->pluginVersionMinor, 0u);
  ASSERT_NE(plugin->pluginIdentifier, nullptr);
  EXPECT_NE(std::string(plugin->pluginIdentifier).find('.'), std::string::npos);
  EXPECT_NE(plugin->setHost, nullptr);
  EXPECT_NE(plugin->mainEntry, nullptr);
  // Nothing else is reachable by name.
  EXPECT_EQ(ofxhost::moduleSymbol(lib, "pluginMain"), nullptr);
  EXPECT_EQ(ofxhost::moduleSymbol(lib, "gPropSuite"), nullptr);
}

TEST(Load, FetchesSixSuitesInOrderAndNeverCallsThreads) {
  auto host = openModule();
  EXPECT_EQ(host->pluginCount(), 1);
  EXPECT_EQ(host->load(), kOfxStatOK);
  EXPECT_EQ(host->fetchedSuites(), kSixSuites);
  EXPECT_EQ(host->describe(), kOfxStatOK);
  EXPECT_EQ(host->multiThreadCalls(), 0);
}

// VANTREL_ISA is read on load: a set the plug-in cannot honour is said once, and load succeeds.
TEST(Load, KernelSetOverrideIsReadOnLoad) {
  const char* outer = getenv("VANTREL_ISA");
  const std::string saved = outer ? outer : "";
  for (const char* value : {"sse9", "generic", ""}) {
    TestingOptions options;
    options.captureStderr = true;
    auto host = openModule(options);
    testsys::setEnv("VANTREL_ISA", value);
    EXPECT_EQ(host->load(), kOfxStatOK);
    testsys::setEnv("VANTREL_ISA", outer ? saved.c_str() : nullptr);
    const std::string said = host->lastStderr();
    if (std::string(value) == "sse9")
      EXPECT_EQ(said, "Vantrel: VANTREL_ISA is not one of generic, avx2, avx512 - ignored (VANTREL_ISA=sse9)\n");
    else
      EXPECT_EQ(said.find("VANTREL_ISA"), std::string::npos) << value;
  }
}

TEST(Load, OptionalSuitesMayBeMissing) {
  for (int which = 0; which < 3; ++which) {
    TestingOptions options;
    options.noMultiThreadSuite = which == 0;
    options.noMessageSuite = which == 1;
    options.noMemorySuite = which == 2;
    auto host = openModule(options);
    EXPECT_EQ(host->load(), kOfxStatOK) << which;
    EXPECT_EQ(host->fetchedSuites(), kSixSuites) << which;
  }
}

TEST(Load, MissingRequiredSuiteAfterAllSixFetches) {
  for (int which = 0; which < 3; ++which) {
    TestingOptions options;
    options.noPropertySuite = which == 0;
    options.noImageEffectSuite = which == 1;
    options.noParameterSuite = which == 2;
    auto host = openModule(options);
    EXPECT_EQ(host->load(), kOfxStatErrMissingHostFeature) << which;
    EXPECT_EQ(host->fetchedSuites(), kSixSuites) << which;
  }
}

// After a failed load the suites that were delivered stay usable, and nothing calls through
// the one that was not.
TEST(Load, WithoutParameterSuiteKeepsTheOthers) {
  TestingOptions options;
  options.noParameterSuite = true;
  options.captureStderr = true;
  auto host = openModule(options);
  ASSERT_EQ(host->load(), kOfxStatErrMissingHostFeature);

  // Property and image-effect suites: the effect still describes itself.
  EXPECT_EQ(host->describe(), kOfxStatOK);
  EXPECT_EQ(host->descriptor().props->getString(kOfxPropLabel), "Vantrel");
  EXPECT_EQ(host->describeInContext(kOfxImageEffectContextGeneral), kOfxStatErrMissingHostFeature);

  // Memory suite: an instance record still comes from the host and goes back to it.
  ofxhost::Effect* instance = host->newInstance(kOfxImageEffectContextGeneral);
  ASSERT_NE(instance, nullptr);
  EXPECT_EQ(host->createInstance(instance), kOfxStatOK);
  EXPECT_EQ(host->liveAllocations(), 1);
  EXPECT_EQ(host->isIdentity(instance, 0.0, {0, 0, 4, 4}).status, kOfxStatReplyDefault);
  EXPECT_EQ(host->render(instance, 0.0, {0, 0, 4, 4}), kOfxStatErrMissingHostFeature);
  EXPECT_EQ(host->instanceChanged(instance, kOfxTypeParameter, "rebuildButton"), kOfxStatErrMissingHostFeature);
  EXPECT_EQ(host->destroyInstance(instance), kOfxStatOK);
  EXPECT_EQ(host->liveAllocations(), 0);
  EXPECT_EQ(host->badFrees(), 0);
}

TEST(Load, WithoutPropertySuiteNoActionCallsThroughIt) {
  TestingOptions options;
  options.noPropertySuite = true;
  options.captureStderr = true;
  auto host = openModule(options);
  ASSERT_EQ(host->load(), kOfxStatErrMissingHostFeature);
  EXPECT_EQ(host->describe(), kOfxStatErrMissingHostFeature);
  EXPECT_EQ(host->describeInContext(kOfxImageEffectContextFilter), kOfxStatErrMissingHostFeature);
  EXPECT_EQ(host->descriptor().props->writes().size(), 0u);
}

TEST(Load, RepeatedLoadReplacesTheSuites) {
  TestingOptions options;
  options.noParameterSuite = true;
  auto broken = openModule(options);
  ASSERT_EQ(broken->load(), kOfxStatErrMissingHostFeature);
  broken.reset();

  auto host = openModule();
  EXPECT_EQ(host->load(), kOfxStatOK);
  EXPECT_EQ(host->describeInContext(kOfxImageEffectContextGeneral), kOfxStatOK);
  // Every parameter is defined, from the first to the last appended.
  const auto& params = host->contextDescriptor(kOfxImageEffectContextGeneral)->params.params;
  ASSERT_GE(params.size(), 18u);
  EXPECT_EQ(params.front()->name, "strength");
  EXPECT_EQ(params.back()->name, "differentClipsLearner");
}

TEST(Dispatch, UnhandledActionsTakeTheHostDefaultAndTouchNothing) {
  TestingOptions options;
  options.trace = true;
  auto host = describedModule(options);
  ofxhost::Effect* instance = host->newInstance(kOfxImageEffectContextGeneral);
  ASSERT_NE(instance, nullptr);
  ASSERT_EQ(host->createInstance(instance), kOfxStatOK);
  host->clearTrace();

  const char* unhandled[] = {
      kOfxActionUnload,
      kOfxActionBeginInstanceChanged,
      kOfxActionEndInstanceChanged,
      kOfxImageEffectActionGetClipPreferences,
      kOfxImageEffectActionGetRegionOfDefinition,
      kOfxImageEffectActionGetTimeDomain,
      kOfxImageEffectActionBeginSequenceRender,
      // Listed actions with one letter in another case.
      "ofxActionLoad",
      "OfxActionDescribe ",
      "OfxActionCreateinstance",
      "OFXACTIONDESTROYINSTANCE",
      "OfxImageEffectActionRENDER",
      "OfxImageEffectActionIsidentity",
      "",
  };
  for (const char* action : unhandled) {
    EXPECT_EQ(host->action(action, instance->handle()), kOfxStatReplyDefault) << action;
  }
  EXPECT_EQ(host->trace().size(), 0u);
  EXPECT_EQ(host->liveAllocations(), 1);
  EXPECT_EQ(host->fetchedSuites().size(), kSixSuites.size());

  EXPECT_EQ(host->plugin()->mainEntry(nullptr, instance->handle(), nullptr, nullptr), kOfxStatReplyDefault);
  EXPECT_EQ(host->destroyInstance(instance), kOfxStatOK);
}

// Instance creation, destruction and the identity test, through the real module. The record is
// read back from the instance's property with the plug-in's own layout (header only).
#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "plugin/plugin.h"
#include "tests/failing_malloc.h"
#include "tests/plugin/module.h"

using ofxhost::Effect;
using ofxhost::Host;
using ofxhost::PropertySet;
using ofxhost::TestingOptions;

namespace {

const OfxRectI kWindow = {0, 0, 8, 8};

InstanceData* recordOf(Effect* instance) {
  auto pointer = instance->props->getPointer(kOfxPropInstanceData);
  return pointer ? static_cast<InstanceData*>(*pointer) : nullptr;
}

Effect* createdInstance(Host& host, const char* context = kOfxImageEffectContextGeneral) {
  Effect* instance = host.newInstance(context);
  EXPECT_NE(instance, nullptr);
  if (instance) {
    EXPECT_EQ(host.createInstance(instance), kOfxStatOK);
  }
  return instance;
}

}  // namespace

TEST(CreateInstance, RecordHoldsHandlesStorageAndInitialKeys) {
  TestingOptions options;
  options.captureStderr = true;
  auto host = describedModule(options);
  Effect* instance = createdInstance(*host);
  EXPECT_EQ(host->lastStderr(), "Vantrel: CREATE INSTANCE\n");
  EXPECT_EQ(host->liveAllocations(), 1);

  InstanceData* data = recordOf(instance);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data->effect, instance->handle());
  const struct {
    const char* name;
    OfxImageClipHandle held;
  } clips[] = {
      {"Source", data->sourceClip},         {"Reference", data->referenceClip},         {"Output", data->outputClip},
      {"SourceMask", data->sourceMaskClip}, {"ReferenceMask", data->referenceMaskClip},
  };
  for (const auto& c : clips) {
    ASSERT_NE(instance->clip(c.name), nullptr) << c.name;
    EXPECT_EQ(c.held, instance->clip(c.name)->handle()) << c.name;
  }
  const struct {
    const char* name;
    OfxParamHandle held;
  } params[] = {
      {"strength", data->strengthParam},
      {"strengthR", data->strengthRParam},
      {"strengthG", data->strengthGParam},
      {"strengthB", data->strengthBParam},
      {"matchMode", data->matchModeParam},
      {"preserveMode", data->preserveModeParam},
      {"exportPath", data->exportPathParam},
      {"exportButton", data->exportButtonParam},
      {"exportCDLButton", data->exportCDLButtonParam},
      {"rebuildButton", data->rebuildButtonParam},
      {"analysisMode", data->analysisModeParam},
      {"keyFrame", data->keyFrameParam},
      {"frameRange", data->frameRangeParam},
      {"windowRadius", data->windowRadiusParam},
      {"frameStep", data->frameStepParam},
      {"sameFrameFit", data->sameFrameFitParam},
      {"plateEncoding", data->plateEncodingParam},
      {"differentClipsLearner", data->differentClipsLearnerParam},
  };
  for (const auto& p : params) {
    ASSERT_NE(instance->param(p.name), nullptr) << p.name;
    EXPECT_EQ(p.held, instance->param(p.name)->handle()) << p.name;
  }

  EXPECT_NE(data->lut.data, nullptr);
  EXPECT_EQ(data->lut.size, 65);
  EXPECT_FALSE(data->lut.valid);
  EXPECT_EQ(data->lutSourceTime, -1.0);
  EXPECT_EQ(data->lutReferenceTime, -1.0);
  EXPECT_EQ(data->lutMatchMode, -1);
  EXPECT_EQ(data->lutPreserveMode, -1);
  EXPECT_FALSE(data->lutHadSourceMask);
  EXPECT_FALSE(data->lutHadReferenceMask);
  EXPECT_EQ(data->lutAnalysisMode, -1);
  EXPECT_EQ(data->lutSameFrameFit, -1);
  // The storage is really there: the whole lattice can be written.
  std::memset(data->lut.data, 0, size_t(kLutFloats) * sizeof(float));

  EXPECT_EQ(host->destroyInstance(instance), kOfxStatOK);
  EXPECT_EQ(host->liveAllocations(), 0);
  EXPECT_EQ(host->badFrees(), 0);
}

// Handles are looked up once, by name, in record order; the record is stored last.
TEST(CreateInstance, FetchesEachHandleOnceInRecordOrder) {
  TestingOptions options;
  options.trace = true;
  auto host = describedModule(options);
  Effect* instance = host->newInstance(kOfxImageEffectContextFilter);
  ASSERT_NE(instance, nullptr);
  host->clearTrace();
  ASSERT_EQ(host->createInstance(instance), kOfxStatOK);

  std::vector<std::string> lookups;
  for (const auto& entry : host->trace()) {
    if (entry.call == "clipGetHandle" || entry.call == "paramGetHandle" || entry.call == "propSetPointer") {
      lookups.push_back(entry.call + " " + entry.arg);
    }
  }
  const std::vector<std::string> expected = {
      "clipGetHandle Source",
      "clipGetHandle Reference",
      "clipGetHandle Output",
      "clipGetHandle SourceMask",
      "clipGetHandle ReferenceMask",
      "paramGetHandle strength",
      "paramGetHandle strengthR",
      "paramGetHandle strengthG",
      "paramGetHandle strengthB",
      "paramGetHandle matchMode",
      "paramGetHandle preserveMode",
      "paramGetHandle exportPath",
      "paramGetHandle exportButton",
      "paramGetHandle exportCDLButton",
      "paramGetHandle rebuildButton",
      "paramGetHandle analysisMode",
      "paramGetHandle keyFrame",
      "paramGetHandle frameRange",
      "paramGetHandle windowRadius",
      "paramGetHandle frameStep",
      "paramGetHandle sameFrameFit",
      "paramGetHandle plateEncoding",
      "paramGetHandle differentClipsLearner",
      "propSetPointer OfxPropInstanceData",
  };
  EXPECT_EQ(lookups, expected);
  EXPECT_EQ(host->destroyInstance(instance), kOfxStatOK);
}

TEST(CreateInstance, HostMemoryFailureLeavesNoRecord) {
  TestingOptions options;
  options.captureStderr = true;
  options.trace = true;
  auto host = describedModule(options);
  Effect* instance = host->newInstance(kOfxImageEffectContextGeneral);
  ASSERT_NE(instance, nullptr);
  host->clearTrace();
  host->failNextAllocs(1);
  EXPECT_EQ(host->createInstance(instance), kOfxStatErrMemory);
  EXPECT_EQ(host->lastStderr(), "Vantrel: CREATE INSTANCE\n");
  EXPECT_EQ(recordOf(instance), nullptr);
  for (const auto& entry : host->trace()) {
    EXPECT_NE(entry.call, "clipGetHandle");
    EXPECT_NE(entry.call, "propSetPointer");
  }

  // The instance without a record is still safe to query and to destroy.
  EXPECT_EQ(host->isIdentity(instance, 0.0, kWindow).status, kOfxStatReplyDefault);
  EXPECT_EQ(host->destroyInstance(instance), kOfxStatOK);
  EXPECT_EQ(host->liveAllocations(), 0);
}

TEST(CreateInstance, WithoutMemorySuiteFailsCleanly) {
  TestingOptions options;
  options.noMemorySuite = true;
  options.captureStderr = true;
  auto host = describedModule(options);
  Effect* instance = host->newInstance(kOfxImageEffectContextGeneral);
  ASSERT_NE(instance, nullptr);
  EXPECT_EQ(host->createInstance(instance), kOfxStatErrMemory);
  EXPECT_EQ(host->lastStderr(), "Vantrel: CREATE INSTANCE\n");
  EXPECT_EQ(recordOf(instance), nullptr);
  EXPECT_EQ(host->destroyInstance(instance), kOfxStatOK);
}

#ifdef VANTREL_FAILING_MALLOC
TEST(CreateInstance, LutStorageFailureStillCreatesTheInstance) {
  TestingOptions options;
  options.captureStderr = true;
  auto host = describedModule(options);
  Effect* instance = host->newInstance(kOfxImageEffectContextGeneral);
  ASSERT_NE(instance, nullptr);
  gFailLargeAllocations = true;
  OfxStatus status = host->createInstance(instance);
  gFailLargeAllocations = false;
  EXPECT_EQ(status, kOfxStatOK);
  EXPECT_EQ(host->lastStderr(), "Vantrel: CREATE INSTANCE\n");

  InstanceData* data = recordOf(instance);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data->lut.data, nullptr);
  EXPECT_EQ(data->lut.size, 0);
  EXPECT_FALSE(data->lut.valid);
  EXPECT_EQ(data->lutMatchMode, -1);
  EXPECT_NE(data->strengthParam, nullptr);

  // Only the record goes back to the host.
  EXPECT_EQ(host->destroyInstance(instance), kOfxStatOK);
  EXPECT_EQ(host->liveAllocations(), 0);
  EXPECT_EQ(host->badFrees(), 0);
}
#endif

TEST(DestroyInstance, WithoutRecordIsHarmless) {
  auto host = describedModule();
  Effect* instance = host->newInstance(kOfxImageEffectContextGeneral);
  ASSERT_NE(instance, nullptr);
  EXPECT_EQ(host->destroyInstance(instance), kOfxStatOK);
  EXPECT_EQ(host->liveAllocations(), 0);
  EXPECT_EQ(host->badFrees(), 0);
}

// A host that keeps using a destroyed handle must meet no freed record, nor free it twice.
TEST(DestroyInstance, LaterActionsOnTheHandleFindNoRecord) {
  auto host = describedModule();
  Effect* instance = createdInstance(*host);
  EXPECT_EQ(host->destroyInstance(instance), kOfxStatOK);
  EXPECT_EQ(recordOf(instance), nullptr);
  EXPECT_EQ(host->isIdentity(instance, 0.0, kWindow).status, kOfxStatReplyDefault);
  EXPECT_EQ(host->render(instance, 0.0, kWindow), kOfxStatErrBadHandle);
  EXPECT_EQ(host->destroyInstance(instance), kOfxStatOK);
  EXPECT_EQ(host->badFrees(), 0);
  EXPECT_EQ(host->liveAllocations(), 0);
}

TEST(DestroyInstance, InstancesAreIndependent) {
  auto host = describedModule();
  Effect* first = createdInstance(*host);
  Effect* second = createdInstance(*host, kOfxImageEffectContextFilter);
  ASSERT_NE(recordOf(first), recordOf(second));
  EXPECT_NE(recordOf(first)->lut.data, recordOf(second)->lut.data);
  EXPECT_EQ(host->liveAllocations(), 2);
  EXPECT_EQ(host->destroyInstance(first), kOfxStatOK);
  EXPECT_EQ(recordOf(second)->lut.size, 65);
  EXPECT_EQ(host->isIdentity(second, 0.0, kWindow).status, kOfxStatReplyDefault);
  EXPECT_EQ(host->destroyInstance(second), kOfxStatOK);
  EXPECT_EQ(host->liveAllocations(), 0);
}

TEST(IsIdentity, ZeroMixPassesTheSourceThroughAtTheSameTime) {
  auto host = describedModule();
  Effect* instance = createdInstance(*host);
  ASSERT_TRUE(host->setParamDouble(instance, "strength", 0.0));
  ofxhost::IdentityResult result = host->isIdentity(instance, 12.5, kWindow);
  EXPECT_EQ(result.status, kOfxStatOK);
  EXPECT_EQ(result.clip, "Source");
  EXPECT_EQ(result.time, 12.5);

  // Below zero is no mix either.
  ASSERT_TRUE(host->setParamDouble(instance, "strength", -0.5));
  EXPECT_EQ(host->isIdentity(instance, 3.0, kWindow).status, kOfxStatOK);
  EXPECT_EQ(host->destroyInstance(instance), kOfxStatOK);
}

// The mix is read at the asked time, not the current one.
TEST(IsIdentity, ReadsTheMixAtTheAskedTime) {
  auto host = describedModule();
  Effect* instance = createdInstance(*host);
  ASSERT_TRUE(host->setParamDouble(instance, "strength", 1.0));
  ASSERT_TRUE(host->setParamDouble(instance, "strength", 0.0, 12.5));
  EXPECT_EQ(host->isIdentity(instance, 12.5, kWindow).status, kOfxStatOK);
  EXPECT_EQ(host->isIdentity(instance, 12.0, kWindow).status, kOfxStatReplyDefault);
  EXPECT_EQ(host->destroyInstance(instance), kOfxStatOK);
}

TEST(IsIdentity, AnyMixAboveZeroRendersAndWritesNothing) {
  auto host = describedModule();
  Effect* instance = createdInstance(*host);
  struct Row {
    double mix, red, green, blue;
  };
  for (Row row : {Row{0.01, 1, 1, 1}, Row{1.0, 0, 0, 0}, Row{1e-300, 1, 1, 1}, Row{NAN, 1, 1, 1}}) {
    SCOPED_TRACE(row.mix);
    ASSERT_TRUE(host->setParamDouble(instance, "strength", row.mix));
    ASSERT_TRUE(host->setParamDouble(instance, "strengthR", row.red));
    ASSERT_TRUE(host->setParamDouble(instance, "strengthG", row.green));
    ASSERT_TRUE(host->setParamDouble(instance, "strengthB", row.blue));
    PropertySet in(host.get(), "inArgs", true);
    PropertySet out(host.get(), "outArgs", true);
    in.defineDouble(kOfxPropTime, {12.5});
    EXPECT_EQ(host->action(kOfxImageEffectActionIsIdentity, instance->handle(), in.handle(), out.handle()),
              kOfxStatReplyDefault);
    EXPECT_TRUE(out.writes().empty());
  }
  EXPECT_EQ(host->destroyInstance(instance), kOfxStatOK);
}

// A host that never delivered the mix parameter gets renders, not a crash.
TEST(IsIdentity, MissingMixParameterMeansRender) {
  auto host = describedModule();
  auto& params = host->contextDescriptor(kOfxImageEffectContextGeneral)->params.params;
  for (auto it = params.begin(); it != params.end(); ++it) {
    if ((*it)->name == "strength") {
      params.erase(it);
      break;
    }
  }
  Effect* instance = createdInstance(*host);
  ASSERT_NE(recordOf(instance), nullptr);
  EXPECT_EQ(recordOf(instance)->strengthParam, nullptr);
  EXPECT_NE(recordOf(instance)->strengthRParam, nullptr);
  EXPECT_EQ(host->isIdentity(instance, 0.0, kWindow).status, kOfxStatReplyDefault);
  EXPECT_EQ(host->destroyInstance(instance), kOfxStatOK);
}

namespace {

// A parameter suite whose value reads fail (or succeed without writing), served in place of the
// host's own through a host record of the test's.
Host* gRealHost = nullptr;
OfxParameterSuiteV1 gFailingParams;
bool gReadReportsFailure = true;

OfxStatus failingGetValueAtTime(OfxParamHandle, OfxTime, ...) {
  return gReadReportsFailure ? kOfxStatErrBadHandle : kOfxStatOK;
}

const void* fetchWithFailingParams(OfxPropertySetHandle, const char* name, int version) {
  const void* suite = gRealHost->fetchSuite(name, version);
  if (suite && std::strcmp(name, kOfxParameterSuite) == 0) {
    gFailingParams = *static_cast<const OfxParameterSuiteV1*>(suite);
    gFailingParams.paramGetValueAtTime = failingGetValueAtTime;
    return &gFailingParams;
  }
  return suite;
}

}  // namespace

TEST(IsIdentity, UnreadableMixMeansRender) {
  auto host = describedModule();
  Effect* instance = createdInstance(*host);
  ASSERT_TRUE(host->setParamDouble(instance, "strength", 0.0));
  ASSERT_EQ(host->isIdentity(instance, 1.0, kWindow).status, kOfxStatOK);

  gRealHost = host.get();
  OfxHost record = {host->hostProps().handle(), fetchWithFailingParams};
  host->plugin()->setHost(&record);
  ASSERT_EQ(host->plugin()->mainEntry(kOfxActionLoad, nullptr, nullptr, nullptr), kOfxStatOK);
  for (bool reportsFailure : {true, false}) {
    gReadReportsFailure = reportsFailure;
    PropertySet in(host.get(), "inArgs", true);
    PropertySet out(host.get(), "outArgs", true);
    in.defineDouble(kOfxPropTime, {1.0});
    EXPECT_EQ(host->plugin()->mainEntry(kOfxImageEffectActionIsIdentity, instance->handle(), in.handle(), out.handle()),
              kOfxStatReplyDefault)
        << reportsFailure;
    EXPECT_TRUE(out.writes().empty());
  }

  host->bind();
  EXPECT_EQ(host->load(), kOfxStatOK);
  EXPECT_EQ(host->destroyInstance(instance), kOfxStatOK);
}

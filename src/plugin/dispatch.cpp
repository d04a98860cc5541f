#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "plugin/description.h"
#include "plugin/plugin.h"

OfxHost* gHost = nullptr;
const OfxPropertySuiteV1* gPropSuite = nullptr;
const OfxImageEffectSuiteV1* gEffectSuite = nullptr;
const OfxParameterSuiteV1* gParamSuite = nullptr;
const OfxMemorySuiteV1* gMemorySuite = nullptr;
const OfxMessageSuiteV1* gMessageSuite = nullptr;
const OfxMultiThreadSuiteV1* gMultiThreadSuite = nullptr;
KernelSet gKernelSet = KernelSet::Generic;
KernelSet gEngineKernelSet = KernelSet::Generic;

namespace {

// VANTREL_ISA is read here, once: every later build and application runs the same kernels.
void chooseKernels() {
  const char* request = std::getenv("VANTREL_ISA");
  const KernelChoice choice = chooseKernelSet(detectCpu(), request);
  gKernelSet = choice.set;
  gEngineKernelSet = choice.engine;
  if (choice.problem) std::fprintf(stderr, "Vantrel: %s (VANTREL_ISA=%s)\n", choice.problem, request);
}

OfxStatus load() {
  chooseKernels();
  if (!gHost || !gHost->fetchSuite) return kOfxStatErrMissingHostFeature;
  OfxPropertySetHandle host = gHost->host;
  // Every fetch is made before anything is tested, so a host sees the same calls either way.
  gPropSuite = static_cast<const OfxPropertySuiteV1*>(gHost->fetchSuite(host, kOfxPropertySuite, 1));
  gEffectSuite = static_cast<const OfxImageEffectSuiteV1*>(gHost->fetchSuite(host, kOfxImageEffectSuite, 1));
  gParamSuite = static_cast<const OfxParameterSuiteV1*>(gHost->fetchSuite(host, kOfxParameterSuite, 1));
  gMemorySuite = static_cast<const OfxMemorySuiteV1*>(gHost->fetchSuite(host, kOfxMemorySuite, 1));
  gMultiThreadSuite = static_cast<const OfxMultiThreadSuiteV1*>(gHost->fetchSuite(host, kOfxMultiThreadSuite, 1));
  gMessageSuite = static_cast<const OfxMessageSuiteV1*>(gHost->fetchSuite(host, kOfxMessageSuite, 1));
  if (!gPropSuite || !gEffectSuite || !gParamSuite) return kOfxStatErrMissingHostFeature;
  return kOfxStatOK;
}

// A host may carry on after a failed load. Each handler checks the suites it calls; render and
// instance-changed need all three of these.
bool haveCoreSuites() { return gPropSuite && gEffectSuite && gParamSuite; }

OfxStatus dispatch(const char* action, const void* handle, OfxPropertySetHandle inArgs, OfxPropertySetHandle outArgs) {
  if (!action) return kOfxStatReplyDefault;
  auto is = [action](const char* name) { return std::strcmp(action, name) == 0; };
  auto effect = static_cast<OfxImageEffectHandle>(const_cast<void*>(handle));

  if (is(kOfxActionLoad)) return load();
  if (is(kOfxActionDescribe)) return describe(effect);
  if (is(kOfxImageEffectActionDescribeInContext)) return describeInContext(effect);
  if (is(kOfxActionCreateInstance)) return createInstance(effect);
  if (is(kOfxActionDestroyInstance)) return destroyInstance(effect);
  if (is(kOfxActionInstanceChanged)) {
    return haveCoreSuites() ? instanceChanged(effect, inArgs) : kOfxStatErrMissingHostFeature;
  }
  if (is(kOfxImageEffectActionIsIdentity)) return isIdentity(effect, inArgs, outArgs);
  if (is(kOfxImageEffectActionGetRegionsOfInterest)) {
    return haveCoreSuites() ? getRegionsOfInterest(effect, inArgs, outArgs) : kOfxStatErrMissingHostFeature;
  }
  if (is(kOfxImageEffectActionGetFramesNeeded)) {
    return haveCoreSuites() ? getFramesNeeded(effect, inArgs, outArgs) : kOfxStatErrMissingHostFeature;
  }
  if (is(kOfxImageEffectActionGetClipPreferences)) {
    return haveCoreSuites() ? getClipPreferences(effect, outArgs) : kOfxStatReplyDefault;
  }
  if (is(kOfxImageEffectActionRender)) {
    return haveCoreSuites() ? render(effect, inArgs) : kOfxStatErrMissingHostFeature;
  }
  // Everything else (unload, region of definition, ...) takes the host's own default; so do clip
  // preferences on a host without colour management.
  return kOfxStatReplyDefault;
}

}  // namespace

OfxStatus pluginMain(const char* action, const void* handle, OfxPropertySetHandle inArgs,
                     OfxPropertySetHandle outArgs) {
  // A C++ exception crossing into the host is a crash: this is the one place that stops them.
  try {
    return dispatch(action, handle, inArgs, outArgs);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "Vantrel: %s failed: %s\n", action, e.what());
  } catch (...) {
    std::fprintf(stderr, "Vantrel: %s failed\n", action);
  }
  return kOfxStatErrUnknown;
}

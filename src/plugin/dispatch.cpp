#include <cstdio>
#include <cstring>
#include <exception>

#include "export/export.h"
#include "plugin/description.h"
#include "plugin/plugin.h"
#include "render/render.h"

OfxHost* gHost = nullptr;
const OfxPropertySuiteV1* gPropSuite = nullptr;
const OfxImageEffectSuiteV1* gEffectSuite = nullptr;
const OfxParameterSuiteV1* gParamSuite = nullptr;
const OfxMemorySuiteV1* gMemorySuite = nullptr;
const OfxMessageSuiteV1* gMessageSuite = nullptr;

namespace {

OfxStatus load() {
  if (!gHost || !gHost->fetchSuite) return kOfxStatErrMissingHostFeature;
  OfxPropertySetHandle host = gHost->host;
  // Every fetch is made before anything is tested, so a host sees the same calls either way.
  gPropSuite = static_cast<const OfxPropertySuiteV1*>(gHost->fetchSuite(host, kOfxPropertySuite, 1));
  gEffectSuite = static_cast<const OfxImageEffectSuiteV1*>(gHost->fetchSuite(host, kOfxImageEffectSuite, 1));
  gParamSuite = static_cast<const OfxParameterSuiteV1*>(gHost->fetchSuite(host, kOfxParameterSuite, 1));
  gMemorySuite = static_cast<const OfxMemorySuiteV1*>(gHost->fetchSuite(host, kOfxMemorySuite, 1));
  gHost->fetchSuite(host, kOfxMultiThreadSuite, 1);
  gMessageSuite = static_cast<const OfxMessageSuiteV1*>(gHost->fetchSuite(host, kOfxMessageSuite, 1));
  if (!gPropSuite || !gEffectSuite || !gParamSuite) return kOfxStatErrMissingHostFeature;
  return kOfxStatOK;
}

// A host may carry on after a failed load; no handler can do anything without these three.
bool haveCoreSuites() { return gPropSuite && gEffectSuite && gParamSuite; }

OfxStatus dispatch(const char* action, const void* handle, OfxPropertySetHandle inArgs,
                   OfxPropertySetHandle outArgs) {
  if (!action) return kOfxStatReplyDefault;
  if (std::strcmp(action, kOfxActionLoad) == 0) return load();

  enum Row { Describe, DescribeInContext, Create, Destroy, InstanceChanged, IsIdentity, Render };
  static const struct {
    const char* name;
    Row row;
  } kRows[] = {
      {kOfxActionDescribe, Describe},
      {kOfxImageEffectActionDescribeInContext, DescribeInContext},
      {kOfxActionCreateInstance, Create},
      {kOfxActionDestroyInstance, Destroy},
      {kOfxActionInstanceChanged, InstanceChanged},
      {kOfxImageEffectActionIsIdentity, IsIdentity},
      {kOfxImageEffectActionRender, Render},
  };
  for (const auto& r : kRows) {
    if (std::strcmp(action, r.name) != 0) continue;
    // Create writes its diagnostic line before anything else, even on a host without suites.
    if (r.row != Create && !haveCoreSuites()) return kOfxStatErrMissingHostFeature;
    auto effect = static_cast<OfxImageEffectHandle>(const_cast<void*>(handle));
    switch (r.row) {
      case Describe: return describe(effect);
      case DescribeInContext: return describeInContext(effect);
      case Create: return createInstance(effect);
      case Destroy: return destroyInstance(effect);
      case InstanceChanged: return instanceChanged(effect, inArgs);
      case IsIdentity: return isIdentity(effect, inArgs, outArgs);
      case Render: return render(effect, inArgs);
    }
  }
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

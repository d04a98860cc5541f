// A stand-in effect for the tool's failure paths: it describes the clips and choices the tool
// sets, then fails where FAILING_EFFECT says ("load" or "render"), telling the host why.
#include "ofx/ofx_api.h"
#include "ofx/ofx_names.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

OfxHost* gHost = nullptr;
const OfxPropertySuiteV1* gProps = nullptr;
const OfxImageEffectSuiteV1* gEffects = nullptr;
const OfxParameterSuiteV1* gParams = nullptr;
const OfxMessageSuiteV1* gMessages = nullptr;

bool failsAt(const char* stage) {
  const char* where = std::getenv("FAILING_EFFECT");
  return where && std::strcmp(where, stage) == 0;
}

void setHost(OfxHost* host) { gHost = host; }

OfxStatus mainEntry(const char* action, const void* handle, OfxPropertySetHandle, OfxPropertySetHandle) {
  OfxImageEffectHandle effect = (OfxImageEffectHandle)handle;
  if (std::strcmp(action, kOfxActionLoad) == 0) {
    if (failsAt("load")) return kOfxStatErrMissingHostFeature;
    gProps = (const OfxPropertySuiteV1*)gHost->fetchSuite(gHost->host, kOfxPropertySuite, 1);
    gEffects = (const OfxImageEffectSuiteV1*)gHost->fetchSuite(gHost->host, kOfxImageEffectSuite, 1);
    gParams = (const OfxParameterSuiteV1*)gHost->fetchSuite(gHost->host, kOfxParameterSuite, 1);
    gMessages = (const OfxMessageSuiteV1*)gHost->fetchSuite(gHost->host, kOfxMessageSuite, 1);
    return gProps && gEffects && gParams ? kOfxStatOK : kOfxStatErrMissingHostFeature;
  }
  if (std::strcmp(action, kOfxActionDescribe) == 0) {
    OfxPropertySetHandle props;
    gEffects->getPropertySet(effect, &props);
    gProps->propSetString(props, kOfxPropLabel, 0, "Failing");
    gProps->propSetString(props, kOfxImageEffectPropSupportedContexts, 0, kOfxImageEffectContextGeneral);
    return kOfxStatOK;
  }
  if (std::strcmp(action, kOfxImageEffectActionDescribeInContext) == 0) {
    OfxPropertySetHandle props;
    for (const char* clip : {"Source", "Reference", "Output"}) {
      gEffects->clipDefine(effect, clip, &props);
      gProps->propSetString(props, kOfxImageEffectPropSupportedComponents, 0, "OfxImageComponentRGBA");
    }
    OfxParamSetHandle params;
    gEffects->getParamSet(effect, &params);
    for (const char* choice : {"matchMode", "preserveMode"}) {
      gParams->paramDefine(params, "OfxParamTypeChoice", choice, &props);
      gProps->propSetString(props, kOfxParamPropChoiceOption, 0, "A");
      gProps->propSetString(props, kOfxParamPropChoiceOption, 1, "B");
      gProps->propSetString(props, kOfxParamPropChoiceOption, 2, "C");
      gProps->propSetInt(props, kOfxParamPropDefault, 0, 0);
    }
    return kOfxStatOK;
  }
  if (std::strcmp(action, kOfxImageEffectActionRender) == 0 && failsAt("render")) {
    if (gMessages) gMessages->message(effect, kOfxMessageError, nullptr, "%s", "no pixels for you");
    return kOfxStatErrMemory;
  }
  return kOfxStatReplyDefault;
}

OfxPlugin plugin = {kOfxImageEffectPluginApi, 1, "org.vantrel.test.failing", 1, 0, setHost, mainEntry};

}  // namespace

extern "C" __attribute__((visibility("default"))) int OfxGetNumberOfPlugins() { return 1; }
extern "C" __attribute__((visibility("default"))) OfxPlugin* OfxGetPlugin(int nth) {
  return nth == 0 ? &plugin : nullptr;
}

// A small image effect that drives the host's suites through the C interface, so the host can
// be tested across a real module boundary. It scales the Source by "gain" into the Output.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>

#include "ofx/ofx_api.h"
#include "ofx/ofx_names.h"

namespace {

OfxHost* gHost = nullptr;
const OfxPropertySuiteV1* gProp = nullptr;
const OfxImageEffectSuiteV1* gEffect = nullptr;
const OfxParameterSuiteV1* gParam = nullptr;
const OfxMemorySuiteV1* gMemory = nullptr;
const OfxMultiThreadSuiteV1* gThreads = nullptr;
const OfxMessageSuiteV1* gMessage = nullptr;

// Test controls: how far beyond the region being rendered the probe asks to see its Source
// (negative: it does not answer the regions-of-interest action), and the bounds of the last
// Source image it was handed.
std::atomic<int> gRegionPad{-1};
std::mutex gSeenLock;
int gSeenSource[4] = {0, 0, 0, 0};
// Temporal access: whether describing declares it (effect and Source), the frames around the
// render time the probe says it needs (negative: it does not answer), and a second Source fetch
// at the render time plus an offset (0: none), with whether the host gave it.
std::atomic<int> gTemporal{0};
std::atomic<int> gNeededPad{-1};
std::atomic<int> gFetchOffset{0};
std::atomic<int> gOtherFetched{-1};

struct Record {
  OfxImageClipHandle source;
  OfxImageClipHandle output;
  OfxParamHandle gain;
  OfxParamHandle mode;
  OfxParamHandle path;
};

Record* findRecord(OfxImageEffectHandle effect) {
  OfxPropertySetHandle props = nullptr;
  gEffect->getPropertySet(effect, &props);
  void* p = nullptr;
  gProp->propGetPointer(props, kOfxPropInstanceData, 0, &p);
  return static_cast<Record*>(p);
}

OfxStatus load() {
  auto fetch = [](const char* name) { return gHost->fetchSuite(gHost->host, name, 1); };
  gProp = static_cast<const OfxPropertySuiteV1*>(fetch(kOfxPropertySuite));
  gEffect = static_cast<const OfxImageEffectSuiteV1*>(fetch(kOfxImageEffectSuite));
  gParam = static_cast<const OfxParameterSuiteV1*>(fetch(kOfxParameterSuite));
  gMemory = static_cast<const OfxMemorySuiteV1*>(fetch(kOfxMemorySuite));
  gThreads = static_cast<const OfxMultiThreadSuiteV1*>(fetch(kOfxMultiThreadSuite));
  gMessage = static_cast<const OfxMessageSuiteV1*>(fetch(kOfxMessageSuite));
  if (!gProp || !gEffect || !gParam) return kOfxStatErrMissingHostFeature;
  return kOfxStatOK;
}

OfxStatus describe(OfxImageEffectHandle effect) {
  OfxPropertySetHandle props = nullptr;
  gEffect->getPropertySet(effect, &props);
  gProp->propSetString(props, kOfxPropLabel, 0, "Probe");
  gProp->propSetString(props, kOfxImageEffectPluginPropGrouping, 0, "Tests");
  gProp->propSetString(props, kOfxImageEffectPropSupportedContexts, 0, kOfxImageEffectContextFilter);
  gProp->propSetString(props, kOfxImageEffectPropSupportedContexts, 1, kOfxImageEffectContextGeneral);
  gProp->propSetString(props, kOfxImageEffectPropSupportedPixelDepths, 0, kOfxBitDepthFloat);
  if (gTemporal) gProp->propSetInt(props, kOfxImageEffectPropTemporalClipAccess, 0, 1);
  return kOfxStatOK;
}

OfxStatus describeInContext(OfxImageEffectHandle effect) {
  OfxPropertySetHandle clip = nullptr;
  gEffect->clipDefine(effect, "Source", &clip);
  gProp->propSetString(clip, kOfxImageEffectPropSupportedComponents, 0, kOfxImageComponentRGBA);
  if (gTemporal) gProp->propSetInt(clip, kOfxImageEffectPropTemporalClipAccess, 0, 1);
  gEffect->clipDefine(effect, "Output", &clip);
  gProp->propSetString(clip, kOfxImageEffectPropSupportedComponents, 0, kOfxImageComponentRGBA);

  OfxParamSetHandle params = nullptr;
  gEffect->getParamSet(effect, &params);
  OfxPropertySetHandle p = nullptr;
  gParam->paramDefine(params, kOfxParamTypeDouble, "gain", &p);
  gProp->propSetDouble(p, kOfxParamPropDefault, 0, 0.5);
  gParam->paramDefine(params, kOfxParamTypeChoice, "mode", &p);
  gProp->propSetString(p, kOfxParamPropChoiceOption, 0, "A");
  gProp->propSetString(p, kOfxParamPropChoiceOption, 1, "B");
  gProp->propSetInt(p, kOfxParamPropDefault, 0, 1);
  gParam->paramDefine(params, kOfxParamTypeString, "path", &p);
  gProp->propSetString(p, kOfxParamPropDefault, 0, "/tmp/probe");
  gParam->paramDefine(params, kOfxParamTypePushButton, "save", &p);
  return kOfxStatOK;
}

OfxStatus createInstance(OfxImageEffectHandle effect) {
  std::fputs("probe: create\n", stderr);
  void* block = nullptr;
  if (gMemory == nullptr || gMemory->memoryAlloc(nullptr, sizeof(Record), &block) != kOfxStatOK || block == nullptr)
    return kOfxStatErrMemory;
  auto* r = static_cast<Record*>(block);
  gEffect->clipGetHandle(effect, "Source", &r->source, nullptr);
  gEffect->clipGetHandle(effect, "Output", &r->output, nullptr);
  OfxParamSetHandle params = nullptr;
  gEffect->getParamSet(effect, &params);
  gParam->paramGetHandle(params, "gain", &r->gain, nullptr);
  gParam->paramGetHandle(params, "mode", &r->mode, nullptr);
  gParam->paramGetHandle(params, "path", &r->path, nullptr);
  OfxPropertySetHandle props = nullptr;
  gEffect->getPropertySet(effect, &props);
  gProp->propSetPointer(props, kOfxPropInstanceData, 0, r);
  return kOfxStatOK;
}

OfxStatus destroyInstance(OfxImageEffectHandle effect) {
  std::fputs("probe: destroy\n", stderr);
  Record* r = findRecord(effect);
  if (r) gMemory->memoryFree(r);
  return kOfxStatOK;
}

OfxStatus render(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs) {
  Record* r = findRecord(effect);
  if (r == nullptr) return kOfxStatErrBadHandle;
  double t = 0;
  gProp->propGetDouble(inArgs, kOfxPropTime, 0, &t);
  int win[4] = {0, 0, 0, 0};
  gProp->propGetIntN(inArgs, kOfxImageEffectPropRenderWindow, 4, win);
  double gain = 0;
  gParam->paramGetValueAtTime(r->gain, t, &gain);

  OfxPropertySetHandle src = nullptr, dst = nullptr;
  gEffect->clipGetImage(r->source, t, nullptr, &src);
  gEffect->clipGetImage(r->output, t, nullptr, &dst);
  if (src == nullptr || dst == nullptr) {
    if (src) gEffect->clipReleaseImage(src);
    if (dst) gEffect->clipReleaseImage(dst);
    return kOfxStatFailed;
  }
  void* sp = nullptr;
  void* dp = nullptr;
  int sRow = 0, dRow = 0, sb[4], db[4];
  gProp->propGetPointer(src, kOfxImagePropData, 0, &sp);
  gProp->propGetPointer(dst, kOfxImagePropData, 0, &dp);
  gProp->propGetInt(src, kOfxImagePropRowBytes, 0, &sRow);
  gProp->propGetInt(dst, kOfxImagePropRowBytes, 0, &dRow);
  gProp->propGetIntN(src, kOfxImagePropBounds, 4, sb);
  gProp->propGetIntN(dst, kOfxImagePropBounds, 4, db);
  {
    std::lock_guard<std::mutex> lk(gSeenLock);
    std::memcpy(gSeenSource, sb, sizeof sb);
  }
  for (int y = win[1]; y < win[3]; ++y) {
    auto* in = reinterpret_cast<const float*>(static_cast<const char*>(sp) + (y - sb[1]) * sRow);
    auto* out = reinterpret_cast<float*>(static_cast<char*>(dp) + (y - db[1]) * dRow);
    for (int x = win[0]; x < win[2]; ++x) {
      const float* s = in + (x - sb[0]) * 4;
      float* d = out + (x - db[0]) * 4;
      for (int c = 0; c < 3; ++c) d[c] = s[c] * static_cast<float>(gain);
      d[3] = s[3];
    }
  }
  gEffect->clipReleaseImage(src);
  gEffect->clipReleaseImage(dst);
  if (const int offset = gFetchOffset) {
    OfxPropertySetHandle other = nullptr;
    gEffect->clipGetImage(r->source, t + offset, nullptr, &other);
    gOtherFetched = other != nullptr;
    if (other) gEffect->clipReleaseImage(other);
  }
  return kOfxStatOK;
}

OfxStatus framesNeeded(OfxPropertySetHandle inArgs, OfxPropertySetHandle outArgs) {
  const int pad = gNeededPad;
  if (pad < 0) return kOfxStatReplyDefault;
  double t = 0;
  gProp->propGetDouble(inArgs, kOfxPropTime, 0, &t);
  const double range[2] = {t - pad, t + pad};
  gProp->propSetDoubleN(outArgs, "OfxImageClipPropFrameRange_Source", 2, range);
  return kOfxStatOK;
}

OfxStatus instanceChanged(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs) {
  Record* r = findRecord(effect);
  if (r == nullptr) return kOfxStatErrBadHandle;
  char* name = nullptr;
  gProp->propGetString(inArgs, kOfxPropName, 0, &name);
  if (name != nullptr && std::strcmp(name, "save") == 0) {
    char* path = nullptr;
    gParam->paramGetValue(r->path, &path);
    std::string written = std::string(path ? path : "") + ".out";
    gParam->paramSetValue(r->path, written.c_str());
    std::fprintf(stderr, "probe: saved %s\n", written.c_str());
    if (gMessage) gMessage->message(effect, kOfxMessageMessage, nullptr, "saved %s (100%%)", written.c_str());
    return kOfxStatOK;
  }
  return kOfxStatReplyDefault;
}

OfxStatus isIdentity(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs, OfxPropertySetHandle outArgs) {
  Record* r = findRecord(effect);
  if (r == nullptr) return kOfxStatReplyDefault;
  double t = 0, gain = 1;
  gProp->propGetDouble(inArgs, kOfxPropTime, 0, &t);
  gParam->paramGetValueAtTime(r->gain, t, &gain);
  if (gain != 1.0) return kOfxStatReplyDefault;
  gProp->propSetString(outArgs, kOfxPropName, 0, "Source");
  gProp->propSetDouble(outArgs, kOfxPropTime, 0, t);
  return kOfxStatOK;
}

OfxStatus regionsOfInterest(OfxPropertySetHandle inArgs, OfxPropertySetHandle outArgs) {
  const int pad = gRegionPad;
  if (pad < 0) return kOfxStatReplyDefault;
  double r[4] = {0, 0, 0, 0};
  gProp->propGetDoubleN(inArgs, kOfxImageEffectPropRegionOfInterest, 4, r);
  const double grown[4] = {r[0] - pad, r[1] - pad, r[2] + pad, r[3] + pad};
  gProp->propSetDoubleN(outArgs, "OfxImageClipPropRoI_Source", 4, grown);
  return kOfxStatOK;
}

void addOne(unsigned, unsigned, void* arg) { static_cast<std::atomic_int*>(arg)->fetch_add(1); }

OfxStatus pluginMain(const char* action, const void* handle, OfxPropertySetHandle inArgs,
                     OfxPropertySetHandle outArgs) {
  auto effect = static_cast<OfxImageEffectHandle>(const_cast<void*>(handle));
  if (std::strcmp(action, kOfxActionLoad) == 0) return load();
  if (std::strcmp(action, kOfxActionDescribe) == 0) return describe(effect);
  if (std::strcmp(action, kOfxImageEffectActionDescribeInContext) == 0) return describeInContext(effect);
  if (std::strcmp(action, kOfxActionCreateInstance) == 0) return createInstance(effect);
  if (std::strcmp(action, kOfxActionDestroyInstance) == 0) return destroyInstance(effect);
  if (std::strcmp(action, kOfxImageEffectActionRender) == 0) return render(effect, inArgs);
  if (std::strcmp(action, kOfxActionInstanceChanged) == 0) return instanceChanged(effect, inArgs);
  if (std::strcmp(action, kOfxImageEffectActionIsIdentity) == 0) return isIdentity(effect, inArgs, outArgs);
  // Test-only actions.
  if (std::strcmp(action, "probe.threads") == 0) {
    std::atomic_int n{0};
    gThreads->multiThread(addOne, 4, &n);
    return n == 4 ? kOfxStatOK : kOfxStatFailed;
  }
  if (std::strcmp(action, "probe.throw") == 0) throw std::runtime_error("probe");
  if (std::strcmp(action, kOfxImageEffectActionGetRegionsOfInterest) == 0) return regionsOfInterest(inArgs, outArgs);
  if (std::strcmp(action, "probe.regionPad") == 0) {
    int pad = -1;
    gProp->propGetInt(inArgs, "pad", 0, &pad);
    gRegionPad = pad;
    return kOfxStatOK;
  }
  if (std::strcmp(action, kOfxImageEffectActionGetFramesNeeded) == 0) return framesNeeded(inArgs, outArgs);
  for (auto [name, control] : {std::pair<const char*, std::atomic<int>*>{"probe.temporal", &gTemporal},
                               {"probe.neededPad", &gNeededPad},
                               {"probe.fetchOffset", &gFetchOffset}}) {
    if (std::strcmp(action, name) != 0) continue;
    int value = 0;
    gProp->propGetInt(inArgs, "value", 0, &value);
    *control = value;
    return kOfxStatOK;
  }
  if (std::strcmp(action, "probe.otherFetched") == 0) {
    gProp->propSetInt(outArgs, "value", 0, gOtherFetched.exchange(-1));
    return kOfxStatOK;
  }
  if (std::strcmp(action, "probe.seenSource") == 0) {
    std::lock_guard<std::mutex> lk(gSeenLock);
    gProp->propSetIntN(outArgs, "bounds", 4, gSeenSource);
    return kOfxStatOK;
  }
  return kOfxStatReplyDefault;
}

void setHost(OfxHost* host) { gHost = host; }

OfxPlugin gPlugin = {kOfxImageEffectPluginApi, 1, "org.vantrel.probe", 1, 0, setHost, pluginMain};

}  // namespace

extern "C" __attribute__((visibility("default"))) int OfxGetNumberOfPlugins() { return 1; }
extern "C" __attribute__((visibility("default"))) OfxPlugin* OfxGetPlugin(int nth) {
  return nth == 0 ? &gPlugin : nullptr;
}

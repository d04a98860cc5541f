#include <cmath>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <new>

#include "plugin/plugin.h"

InstanceData* findInstanceData(OfxImageEffectHandle effect) {
  if (!gPropSuite || !gEffectSuite) return nullptr;
  OfxPropertySetHandle props = nullptr;
  gEffectSuite->getPropertySet(effect, &props);
  if (!props) return nullptr;
  void* data = nullptr;
  gPropSuite->propGetPointer(props, kOfxPropInstanceData, 0, &data);
  return static_cast<InstanceData*>(data);
}

OfxStatus createInstance(OfxImageEffectHandle effect) {
  std::fputs("Vantrel: CREATE INSTANCE\n", stderr);
  if (!gPropSuite || !gEffectSuite) return kOfxStatErrMissingHostFeature;
  if (!gMemorySuite) return kOfxStatErrMemory;

  void* block = nullptr;
  gMemorySuite->memoryAlloc(nullptr, sizeof(InstanceData), &block);
  if (!block) return kOfxStatErrMemory;
  if (reinterpret_cast<std::uintptr_t>(block) % alignof(InstanceData) != 0) {
    gMemorySuite->memoryFree(block);
    return kOfxStatErrMemory;
  }
  // Host memory is raw bytes: value-initialise in place so the lock is really constructed.
  InstanceData* data = new (block) InstanceData();
  // Taken once here, on one thread, before any other thread can reach it: the threads library
  // of the Windows build sets up a statically initialised lock on first use, and when several
  // threads take it first at the same moment each may get a lock of its own.
  { std::unique_lock<std::shared_mutex> settle(data->lutLock); }
  data->effect = effect;

  // In field order, so Output comes third although it is defined last.
  gEffectSuite->clipGetHandle(effect, "Source", &data->sourceClip, nullptr);
  gEffectSuite->clipGetHandle(effect, "Reference", &data->referenceClip, nullptr);
  gEffectSuite->clipGetHandle(effect, "Output", &data->outputClip, nullptr);
  gEffectSuite->clipGetHandle(effect, "SourceMask", &data->sourceMaskClip, nullptr);
  gEffectSuite->clipGetHandle(effect, "ReferenceMask", &data->referenceMaskClip, nullptr);

  OfxParamSetHandle params = nullptr;
  gEffectSuite->getParamSet(effect, &params);
  const struct {
    const char* name;
    OfxParamHandle* field;
  } handles[] = {
      {"strength", &data->strengthParam},
      {"strengthR", &data->strengthRParam},
      {"strengthG", &data->strengthGParam},
      {"strengthB", &data->strengthBParam},
      {"matchMode", &data->matchModeParam},
      {"preserveMode", &data->preserveModeParam},
      {"exportPath", &data->exportPathParam},
      {"exportButton", &data->exportButtonParam},
      {"exportCDLButton", &data->exportCDLButtonParam},
      {"rebuildButton", &data->rebuildButtonParam},
      {"analysisMode", &data->analysisModeParam},
      {"keyFrame", &data->keyFrameParam},
      {"frameRange", &data->frameRangeParam},
      {"windowRadius", &data->windowRadiusParam},
      {"frameStep", &data->frameStepParam},
      {"sameFrameFit", &data->sameFrameFitParam},
      {"plateEncoding", &data->plateEncodingParam},
      {"differentClipsLearner", &data->differentClipsLearnerParam},
  };
  // Without a parameter suite the handles stay null, like any the host does not deliver.
  if (gParamSuite) {
    for (const auto& h : handles) gParamSuite->paramGetHandle(params, h.name, h.field, nullptr);
  }

  // Without storage the instance still lives; render prepares it again on its next build.
  data->lut.reserve(kLutSize);

  data->lutSourceTime = -1.0;
  data->lutReferenceTime = -1.0;
  data->lutMatchMode = -1;  // outside both option ranges, so no build can match it
  data->lutPreserveMode = -1;
  data->lutHadSourceMask = false;
  data->lutHadReferenceMask = false;
  data->lutAnalysisMode = -1;
  data->lutSameFrameFit = -1;
  data->lutPlateEncoding = -1;
  data->lutDifferentClipsLearner = -1;

  OfxPropertySetHandle props = nullptr;
  gEffectSuite->getPropertySet(effect, &props);
  gPropSuite->propSetPointer(props, kOfxPropInstanceData, 0, data);
  return kOfxStatOK;
}

OfxStatus destroyInstance(OfxImageEffectHandle effect) {
  InstanceData* data = findInstanceData(effect);
  if (!data) return kOfxStatOK;
  {
    // Waits for a render or export still holding the LUT.
    std::unique_lock<std::shared_mutex> lock(data->lutLock);
    data->lut.release();
    data->lutLight.release();
  }
  // The handle may still reach us (a second destroy, a late action): it must find no record
  // rather than the freed one.
  OfxPropertySetHandle props = nullptr;
  gEffectSuite->getPropertySet(effect, &props);
  gPropSuite->propSetPointer(props, kOfxPropInstanceData, 0, nullptr);
  data->~InstanceData();
  // Only a repeated load on a host that dropped its memory suite gets here without one;
  // leaking the record then beats calling through null.
  if (gMemorySuite) gMemorySuite->memoryFree(data);
  return kOfxStatOK;
}

OfxStatus isIdentity(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs, OfxPropertySetHandle outArgs) {
  InstanceData* data = findInstanceData(effect);
  if (!data || !data->strengthParam || !gParamSuite || !outArgs) return kOfxStatReplyDefault;

  double time = 0.0;
  gPropSuite->propGetDouble(inArgs, kOfxPropTime, 0, &time);
  double mix = NAN;
  // A mix the host cannot deliver is no reason to skip rendering.
  if (gParamSuite->paramGetValueAtTime(data->strengthParam, time, &mix) != kOfxStatOK) return kOfxStatReplyDefault;
  if (!(mix <= 0.0)) return kOfxStatReplyDefault;  // NaN included

  gPropSuite->propSetString(outArgs, kOfxPropName, 0, "Source");
  gPropSuite->propSetDouble(outArgs, kOfxPropTime, 0, time);
  return kOfxStatOK;
}

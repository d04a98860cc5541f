// Plug-in boundary: host pointers and the per-instance record.
#pragma once

#include <shared_mutex>

#include "engine/engine.h"
#include "ofx/ofx_api.h"
#include "ofx/ofx_names.h"

// Set by setHost and the load action, never cleared. gMessageSuite may be null.
extern OfxHost* gHost;
extern const OfxPropertySuiteV1* gPropSuite;
extern const OfxImageEffectSuiteV1* gEffectSuite;
extern const OfxParameterSuiteV1* gParamSuite;
extern const OfxMemorySuiteV1* gMemorySuite;
extern const OfxMessageSuiteV1* gMessageSuite;

// One per instance, in host memory. Constructed in place (value-initialised, so every plain
// field starts zeroed) because the lock is not a trivial type.
struct InstanceData {
  OfxImageEffectHandle effect;
  OfxImageClipHandle sourceClip;
  OfxImageClipHandle referenceClip;
  OfxImageClipHandle outputClip;
  OfxImageClipHandle sourceMaskClip;
  OfxImageClipHandle referenceMaskClip;
  OfxParamHandle strengthParam;
  OfxParamHandle strengthRParam;
  OfxParamHandle strengthGParam;
  OfxParamHandle strengthBParam;
  OfxParamHandle matchModeParam;
  OfxParamHandle preserveModeParam;
  OfxParamHandle exportPathParam;
  OfxParamHandle exportButtonParam;
  OfxParamHandle exportCDLButtonParam;
  OfxParamHandle rebuildButtonParam;
  LUT3D lut;
  double lutSourceTime;
  double lutReferenceTime;
  int32_t lutMatchMode;
  int32_t lutPreserveMode;
  bool lutHadSourceMask;
  bool lutHadReferenceMask;
  // Guards lut and the keys: builds and invalidation take it exclusively; applying the LUT
  // and the exporters' reads take it shared.
  std::shared_mutex lutLock;
};

// The instance's record, or null when it has none.
InstanceData* findInstanceData(OfxImageEffectHandle effect);

// Makes lut.data hold 65^3 triples (reusing storage of the right size), clears valid.
// On allocation failure: data null, size 0, returns false. Never throws.
bool prepareLutStorage(LUT3D& lut);

// The dispatcher: every host action enters here, and no exception leaves it.
OfxStatus pluginMain(const char* action, const void* handle, OfxPropertySetHandle inArgs,
                     OfxPropertySetHandle outArgs);

// Action handlers of the instance lifecycle.
OfxStatus createInstance(OfxImageEffectHandle effect);
OfxStatus destroyInstance(OfxImageEffectHandle effect);
OfxStatus isIdentity(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs, OfxPropertySetHandle outArgs);
// Asks for every connected input's whole region of definition.
OfxStatus getRegionsOfInterest(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs,
                               OfxPropertySetHandle outArgs);

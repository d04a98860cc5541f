// Plug-in boundary: host pointers, the kernel set, the per-instance record and the actions.
// Every call to the host is made from this folder; the libraries below it take what they need
// as arguments.
#pragma once

#include <shared_mutex>

#include "cpu/cpu_features.h"
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
// The vector kernels the engine and the application run, chosen on load from the processor
// and the VANTREL_ISA variable.
extern KernelSet gKernelSet;

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
  LutStorage lut;
  double lutSourceTime;
  double lutReferenceTime;
  int32_t lutMatchMode;
  int32_t lutPreserveMode;
  bool lutHadSourceMask;
  bool lutHadReferenceMask;
  // Guards lut and the keys: builds and invalidation take it exclusively; applying the LUT
  // and the exporters' reads take it shared.
  std::shared_mutex lutLock;
  // "sameFrameFit", and the option the LUT was built with: 1 the fitted lattice, anything else
  // the smoothed cells (-1 until a build). Different Clips builds store 0: the choice plays no
  // part there.
  OfxParamHandle sameFrameFitParam;
  int32_t lutSameFrameFit;
};

// The instance's record, or null when it has none.
InstanceData* findInstanceData(OfxImageEffectHandle effect);

// The dispatcher: every host action enters here, and no exception leaves it.
OfxStatus pluginMain(const char* action, const void* handle, OfxPropertySetHandle inArgs, OfxPropertySetHandle outArgs);

// Action handlers of the instance lifecycle.
OfxStatus createInstance(OfxImageEffectHandle effect);
OfxStatus destroyInstance(OfxImageEffectHandle effect);
OfxStatus isIdentity(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs, OfxPropertySetHandle outArgs);

// The render action: fetch, check, keep the LUT cache current, apply.
OfxStatus render(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs);

// Buttons, parameter and clip changes.
OfxStatus instanceChanged(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs);
// Each returns true when it refused for want of a valid LUT.
bool exportCubeLUT(OfxImageEffectHandle effect, InstanceData& data);
bool exportCDL(OfxImageEffectHandle effect, InstanceData& data);
// Asks for every connected input's whole region of definition.
OfxStatus getRegionsOfInterest(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs, OfxPropertySetHandle outArgs);

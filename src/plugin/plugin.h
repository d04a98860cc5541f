// Plug-in boundary: host pointers, the kernel set, the per-instance record and the actions.
// Every call to the host is made from this folder; the libraries below it take what they need
// as arguments.
#pragma once

#include <atomic>
#include <shared_mutex>
#include <vector>

#include "cpu/cpu_features.h"
#include "encoding/plate_encoding.h"
#include "engine/engine.h"
#include "ofx/ofx_api.h"
#include "ofx/ofx_names.h"
#include "render/red_pairs.h"

// Set by setHost and the load action, never cleared. gMessageSuite may be null.
extern OfxHost* gHost;
extern const OfxPropertySuiteV1* gPropSuite;
extern const OfxImageEffectSuiteV1* gEffectSuite;
extern const OfxParameterSuiteV1* gParamSuite;
extern const OfxMemorySuiteV1* gMemorySuite;
extern const OfxMessageSuiteV1* gMessageSuite;
// The host's threads for the work inside one build; null when the host has no such suite.
extern const OfxMultiThreadSuiteV1* gMultiThreadSuite;
// The vector kernels the application (gKernelSet) and the engine run, chosen on load from the
// processor and the VANTREL_ISA variable.
extern KernelSet gKernelSet;
extern KernelSet gEngineKernelSet;

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
  // The keys describe a build that found nothing to learn from (LearnResult): a hit renders the
  // clamped Source, as without a Reference. Cleared with `valid` by every invalidation.
  bool lutNoData;
  // Under "Scene Linear", the LUT's values as linear light, which the application reads instead
  // when valid (made after every such build; the exports read the LUT itself).
  LutStorage lutLight;
  // The LUT the application reads laid out for the vector application kernels, remade after
  // every build.
  RedPairs lutPairs;
  // Guards lut, lutLight, lutPairs and the keys: builds and invalidation take it exclusively; applying the LUT
  // and the exporters' reads take it shared.
  std::shared_mutex lutLock;
  // "Analysis" and its settings, which do not animate.
  OfxParamHandle analysisModeParam;
  OfxParamHandle keyFrameParam;
  OfxParamHandle frameRangeParam;
  OfxParamHandle windowRadiusParam;
  OfxParamHandle frameStepParam;
  // What the cached LUT was learnt from: the "Analysis" choice its build ran under (-1 before
  // any), and under the choices that pool frames, the frames it asked for. Those builds hold no
  // render time: lutSourceTime and lutReferenceTime are NaN after them.
  int32_t lutAnalysisMode;
  std::vector<double> lutAnalysisFrames;
  // Said once per instance: the host cannot give other frames. Said once per analysis setting:
  // frames the host could not give, a range thinned out.
  std::atomic<bool> temporalAccessNoted;
  std::atomic<bool> analysisFramesNoted;
  std::atomic<bool> analysisThinningNoted;
  // Said once per instance, one bit per situation: nothing to learn a match from (LearnResult).
  std::atomic<uint32_t> noDataNoted;
  // "sameFrameFit", and the option the LUT was built with: 1 the fitted lattice, anything else
  // the smoothed cells (-1 until a build). Different Clips builds store 0: the choice plays no
  // part there.
  OfxParamHandle sameFrameFitParam;
  int32_t lutSameFrameFit;
  // "plateEncoding", and the encoding the LUT was learnt for (-1 until a build; 0, As Delivered,
  // the path the effect always had) with, for the others, the working space it covers.
  OfxParamHandle plateEncodingParam;
  int32_t lutPlateEncoding;
  PlateTransform lutPlate;
  // Said once until "Plate Encoding" changes: a host colour space it cannot follow.
  std::atomic<bool> plateSpaceNoted;
  // "differentClipsLearner", and the learner the LUT was built with: 1 matching content, else
  // the statistics (-1 until a build; Same Frame builds store 0, the choice plays no part there).
  OfxParamHandle differentClipsLearnerParam;
  int32_t lutDifferentClipsLearner;
  // Said once until the learner, the mode or an input changes: a build that fell back from
  // matching content to the statistics, and why.
  std::atomic<bool> contentFallbackNoted;
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
// The host's multi-thread suite as the engine's parallel-for: the tasks of one call shared out
// over the host's threads, or one thread when the host offers none.
ParallelFor hostParallelFor();

// Asks for every connected input's whole region of definition, at every frame the render reads.
OfxStatus getRegionsOfInterest(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs, OfxPropertySetHandle outArgs);
// The clip-preferences action (colour_management.cpp).
OfxStatus getClipPreferences(OfxImageEffectHandle effect, OfxPropertySetHandle outArgs);

// Names the frames of each input the render at the asked time reads.
OfxStatus getFramesNeeded(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs, OfxPropertySetHandle outArgs);

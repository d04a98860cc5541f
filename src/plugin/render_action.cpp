// The render action: fetch the images, keep the instance's LUT cache current, apply it.
//
// Locking (InstanceData::lutLock). A render first tests the cache under a shared lock and, on
// a hit, applies while still holding it, so tiles of a built frame run side by side. On a miss
// it takes the lock exclusively, tests again, rebuilds if still needed and applies its own
// window before letting go: what it applies is exactly what it built. A render that finds the
// LUT already rebuilt by someone else drops to a shared lock to apply; if another frame
// replaced the LUT in that gap, the render's second exclusive round applies under the
// exclusive lock too, so two frames alternating cannot starve each other. Instance-changed
// clears `valid` under the exclusive lock and the exporters read under a shared one, so
// neither overlaps a build or an apply.
//
// Analysis. Under "Current Frame" a build learns from the images at the render time, fetched
// with the Source and Output before any lock. Under the choices that pool frames the render
// fetches only the Source and Output at its time; the frames a build learns from are fetched
// under the exclusive lock, once the cache is known to miss, and released before the LUT is
// applied. Their cache key is the frames asked for instead of the render time, so under "Key
// Frame" and "Frame Range" every frame of a clip renders from one build.
#include <cmath>
#include <cstdio>
#include <limits>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <vector>

#include "plugin/analysis.h"
#include "plugin/colour_management.h"
#include "plugin/host_images.h"
#include "plugin/learn.h"
#include "plugin/learn_encoded.h"
#include "plugin/messages.h"
#include "plugin/plugin.h"
#include "render/apply_encoded.h"
#include "render/apply_lut.h"
#include "render/pixel_format.h"

namespace {

struct FetchedImages {
  OfxPropertySetHandle source = nullptr;
  OfxPropertySetHandle reference = nullptr;
  OfxPropertySetHandle output = nullptr;
  OfxPropertySetHandle sourceMask = nullptr;
  OfxPropertySetHandle referenceMask = nullptr;

  // Releases whatever is still held, Output last, also when an exception unwinds.
  ~FetchedImages() {
    for (OfxPropertySetHandle* image : {&source, &reference, &sourceMask, &referenceMask, &output}) release(*image);
  }

  static void release(OfxPropertySetHandle& image) {
    if (image) gEffectSuite->clipReleaseImage(image);
    image = nullptr;
  }
};

struct Parameters {
  // Parameter defaults, kept when the host cannot deliver a value.
  double strength = 1.0;
  double strengthR = 1.0;
  double strengthG = 1.0;
  double strengthB = 1.0;
  int matchMode = 0;
  int preserveMode = 0;
  int sameFrameFit = 0;
  int dcLearner = 0;
  PlateEncoding plateEncoding = PlateEncoding::AsDelivered;  // From Host resolved
};

struct CacheKeys {
  double time;
  int32_t matchMode;
  int32_t preserveMode;
  bool hadSourceMask;
  bool hadReferenceMask;
  int32_t analysisMode;
  std::vector<double> frames;  // pooled builds: the frames asked for
  int32_t sameFrameFit;        // the learner Same Frame uses: 1 the fitted lattice, else 0
  int32_t plateEncoding;       // what the values are (From Host resolved); 0 the path the effect always had
  int32_t dcLearner;           // the learner Different Clips uses: 1 matching content, else 0
};

// Everything a build needs, read from the host before any lock is taken.
struct RenderInputs {
  ImageView source;
  ImageView reference;
  ImageView output;
  ImageView sourceMask;
  ImageView referenceMask;
  bool hasReference;
  bool hasSourceMask;
  bool hasReferenceMask;
  Parameters params;
};

OfxPropertySetHandle fetchImage(OfxImageClipHandle clip, double time) {
  OfxPropertySetHandle image = nullptr;
  gEffectSuite->clipGetImage(clip, time, nullptr, &image);
  return image;
}

void readDouble(OfxParamHandle param, double time, double& value) {
  if (param) gParamSuite->paramGetValueAtTime(param, time, &value);
}

void readInt(OfxParamHandle param, double time, int& value) {
  if (param) gParamSuite->paramGetValueAtTime(param, time, &value);
}

int32_t width(const Rect& r) { return int32_t(r.width()); }

// Under Current Frame the keys of a single-frame build; under the others the frames in place of
// the render time.
bool cacheHits(const InstanceData& data, const CacheKeys& keys) {
  if (!(data.lut.valid || data.lutNoData) || keys.analysisMode != data.lutAnalysisMode ||
      keys.matchMode != data.lutMatchMode || keys.preserveMode != data.lutPreserveMode ||
      keys.hadSourceMask != data.lutHadSourceMask || keys.hadReferenceMask != data.lutHadReferenceMask ||
      keys.sameFrameFit != data.lutSameFrameFit || keys.plateEncoding != data.lutPlateEncoding ||
      keys.dcLearner != data.lutDifferentClipsLearner)
    return false;
  if (keys.analysisMode == CurrentFrame) return keys.time == data.lutSourceTime && keys.time == data.lutReferenceTime;
  return keys.frames == data.lutAnalysisFrames;
}

void storeKeys(InstanceData& data, const CacheKeys& keys) {
  try {
    data.lutAnalysisFrames = keys.frames;
  } catch (...) {
    data.lut.valid = false;  // no half-stored keys
    throw;
  }
  const bool pooled = keys.analysisMode != CurrentFrame;
  data.lutHadSourceMask = keys.hadSourceMask;
  data.lutHadReferenceMask = keys.hadReferenceMask;
  data.lutSourceTime = pooled ? std::numeric_limits<double>::quiet_NaN() : keys.time;
  data.lutReferenceTime = data.lutSourceTime;
  data.lutMatchMode = keys.matchMode;
  data.lutPreserveMode = keys.preserveMode;
  data.lutAnalysisMode = keys.analysisMode;
  data.lutSameFrameFit = keys.sameFrameFit;
  data.lutPlateEncoding = keys.plateEncoding;
  data.lutDifferentClipsLearner = keys.dcLearner;
}

// Once until the learner, the mode or an input changes: the build that fell back, and why.
void noteContentFallback(InstanceData& data, const engine::ContentDecision& decision) {
  if (decision.matched() || data.contentFallbackNoted.exchange(true)) return;
  char text[300];
  std::snprintf(text, sizeof text,
                "Different Clips Learner \"Matching Content\" could not be used (%s): the match is learnt by "
                "\"Statistics\".",
                engine::contentReasonText(decision.reason));
  warnUser(data.effect, text);
}

// Tells the user, once per instance and situation, that a build found nothing to learn from.
void noteNoData(InstanceData& data, LearnResult result, const CacheKeys& keys) {
  const uint32_t bit = 1u << uint32_t(result);
  if (data.noDataNoted.fetch_or(bit) & bit) return;
  const char* text =
      "No sampled pixel has a finite colour in both the Source and the Reference: rendering without "
      "the match.";
  if (result == LearnResult::NoSourceData) {
    text = keys.hadSourceMask ? "The SourceMask selects no sampled Source pixel with a finite colour: rendering "
                                "without the match."
                              : "No sampled Source pixel has a finite colour: rendering without the match.";
  } else if (result == LearnResult::NoReferenceData) {
    text = keys.hadReferenceMask ? "The ReferenceMask selects no sampled Reference pixel with a finite colour: "
                                   "rendering without the match."
                                 : "No sampled Reference pixel has a finite colour: rendering without the match.";
  }
  warnUser(data.effect, text);
}

// Rebuilds the LUT from these frames for these keys; called with the lock held exclusively. Keys
// are stored only after a finished build, so a failed one leaves the cache missing. A build
// without data stores its keys too: its frames render as without a Reference until they change.
// Under a plate encoding of light, `anchor` (else the first frame's) is the Source whose
// highlights set the working space.
void rebuild(InstanceData& data, const std::vector<FrameInputs>& frames, const CacheKeys& keys,
             const ImageView* anchor = nullptr) {
  data.lutNoData = false;
  data.lutLight.valid = false;
  if (!data.lut.reserve(kLutSize)) {
    logLine("Vantrel: LUT allocation failed\n");
    return;
  }
  // No frame to learn from (the host gave none): the clamped Source, as without a Reference.
  if (frames.empty()) return;
  const ParallelFor parallel = hostParallelFor();
  const PlateEncoding encoding = PlateEncoding(keys.plateEncoding);
  const LearnChoices choices{keys.matchMode, keys.preserveMode, keys.sameFrameFit, keys.dcLearner};
  engine::ContentDecision content;
  const LearnResult result = isLightEncoding(encoding)
                                 ? learnEncodedMatch(data.lut, frames, anchor ? *anchor : frames[0].source, choices,
                                                     encoding, gEngineKernelSet, &parallel, data.lutPlate, &content)
                                 : learnMatch(data.lut, frames, choices, gEngineKernelSet, &parallel, &content);
  // A build without data says so in its own words.
  if (keys.dcLearner == 1 && result == LearnResult::Learnt) noteContentFallback(data, content);
  if (result == LearnResult::OutOfMemory) {
    logLine("Vantrel: LUT build failed - not enough memory, rendering without the match\n");
    return;
  }
  if (result != LearnResult::Learnt) {
    noteNoData(data, result, keys);
    storeKeys(data, keys);
    data.lutNoData = true;
    return;
  }
  // A plate in linear light is matched over the lattice's values as light, so that the way back
  // takes no curve; without the memory for it, over the learnt lattice and its curve.
  const bool light =
      isLightEncoding(encoding) && prepareLightLattice(data.lut, data.lutPlate, data.lutLight, gKernelSet);
  // Without the table (memory short) the application reads the lattice itself, a little slower.
  prepareRedPairs(light ? data.lutLight : data.lut, data.lutPairs, &parallel);
  storeKeys(data, keys);
}

// Applies the cached LUT (when the cache holds this render's match) into target, `build` making
// it first on a miss; a status other than OK from `build` ends the render with nothing written.
template <class Build>
OfxStatus applyCached(InstanceData& data, const CacheKeys& keys, Build build, const ChannelMixes& mixes,
                      const ImageView& source, const ImageView& target, const Rect& window) {
  // Without a finished build (a failed one, one without data) the render gets the Source: clamped,
  // but under a plate encoding of light nothing is clamped, with or without the match.
  auto apply = [&] {
    const LUT3D* lut = !data.lut.valid ? nullptr : data.lutLight.valid ? &data.lutLight : &data.lut;
    if (isLightEncoding(PlateEncoding(keys.plateEncoding))) {
      PlateTransform plate = data.lutPlate;
      plate.lightLattice = lut == &data.lutLight;
      applyEncodedLUT(source, target, window, lut, &data.lutPairs, mixes, plate, gKernelSet);
    } else
      applyLUT(source, target, window, lut, &data.lutPairs, mixes, gKernelSet);
    return kOfxStatOK;
  };
  {
    std::shared_lock<std::shared_mutex> shared(data.lutLock);
    if (cacheHits(data, keys)) return apply();
  }
  for (int round = 0;; ++round) {
    {
      std::unique_lock<std::shared_mutex> exclusive(data.lutLock);
      const bool hit = cacheHits(data, keys);
      if (!hit || round > 0) {
        if (!hit) {
          const OfxStatus status = build();
          if (status != kOfxStatOK) return status;
        }
        return apply();
      }
    }
    std::shared_lock<std::shared_mutex> shared(data.lutLock);
    if (cacheHits(data, keys)) return apply();
  }
}

// The Source at the anchor frame, for a working space held over the clip: one of the pooled
// frames, or fetched on its own (Moving Window); null, for the first pooled frame's, when the
// host cannot give it.
struct AnchorSource {
  OfxPropertySetHandle image = nullptr;
  ImageView view;
  ~AnchorSource() { FetchedImages::release(image); }
};

const ImageView* anchorSource(const InstanceData& data, const FetchedFrames& fetched, double anchor, AnchorSource& own,
                              OfxStatus& status) {
  for (const FrameImages& f : fetched.frames)
    if (f.time == anchor) return &f.sourceView;
  if (!std::isfinite(anchor)) return nullptr;
  gEffectSuite->clipGetImage(data.sourceClip, anchor, nullptr, &own.image);
  if (!own.image) return nullptr;
  own.view = describeImage(own.image, false);
  status = checkImage(own.view, "Source", false);
  return &own.view;
}

// A pooled build: the frames fetched now, under the lock, and released before the LUT is applied.
OfxStatus rebuildPooled(InstanceData& data, const CacheKeys& keys, double anchor) {
  FetchedFrames fetched;
  OfxStatus status = fetchAnalysisFrames(data, keys.frames, keys.matchMode != 1, fetched);
  if (status != kOfxStatOK) return status;
  noteMissingFrames(data, keys.frames, fetched.missing);
  std::vector<FrameInputs> frames;
  for (const FrameImages& f : fetched.frames)
    frames.push_back(FrameInputs{f.sourceView, f.referenceView, f.sourceMaskView, f.referenceMaskView,
                                 f.sourceMask != nullptr, f.referenceMask != nullptr});
  AnchorSource own;
  const ImageView* anchorView = nullptr;
  if (!frames.empty() && isLightEncoding(PlateEncoding(keys.plateEncoding))) {
    anchorView = anchorSource(data, fetched, anchor, own, status);
    if (status != kOfxStatOK) return status;
  }
  rebuild(data, frames, keys, anchorView);
  return kOfxStatOK;
}

OfxStatus renderInstance(InstanceData& data, OfxPropertySetHandle inArgs) {
  double time = 0.0;
  gPropSuite->propGetDouble(inArgs, kOfxPropTime, 0, &time);
  int windowValues[4] = {0, 0, 0, 0};
  gPropSuite->propGetIntN(inArgs, kOfxImageEffectPropRenderWindow, 4, windowValues);
  const Rect window{windowValues[0], windowValues[1], windowValues[2], windowValues[3]};

  // Pooled builds fetch their own frames; the render itself needs only the Source and the Output.
  AnalysisPlan plan;
  planAnalysis(data, time, plan);
  const bool pooled = plan.mode != CurrentFrame;

  FetchedImages images;
  images.source = fetchImage(data.sourceClip, time);
  if (!pooled) images.reference = fetchImage(data.referenceClip, time);
  images.output = fetchImage(data.outputClip, time);
  if (!pooled && data.sourceMaskClip) images.sourceMask = fetchImage(data.sourceMaskClip, time);
  if (!pooled && data.referenceMaskClip) images.referenceMask = fetchImage(data.referenceMaskClip, time);

  if (!images.source) {
    for (OfxPropertySetHandle* image : {&images.reference, &images.output, &images.sourceMask, &images.referenceMask})
      FetchedImages::release(*image);
    return kOfxStatFailed;
  }
  if (!images.output) {
    for (OfxPropertySetHandle* image : {&images.source, &images.reference, &images.sourceMask, &images.referenceMask})
      FetchedImages::release(*image);
    return kOfxStatFailed;
  }

  RenderInputs in{};
  Parameters& p = in.params;
  readDouble(data.strengthParam, time, p.strength);
  readDouble(data.strengthRParam, time, p.strengthR);
  readDouble(data.strengthGParam, time, p.strengthG);
  readDouble(data.strengthBParam, time, p.strengthB);
  readInt(data.matchModeParam, time, p.matchMode);
  readInt(data.preserveModeParam, time, p.preserveMode);
  // Each learner is read only in the mode it plays a part in.
  if (p.matchMode == 1) readInt(data.sameFrameFitParam, time, p.sameFrameFit);
  if (p.matchMode != 1) readInt(data.differentClipsLearnerParam, time, p.dcLearner);
  p.plateEncoding = currentPlateEncoding(data);
  const bool light = isLightEncoding(p.plateEncoding);

  // Pooled: a connected Reference clip stands for the Reference; the masks count by connection.
  in.hasReference = pooled ? clipConnected(data.referenceClip) : images.reference != nullptr;
  in.hasSourceMask = pooled ? clipConnected(data.sourceMaskClip) : images.sourceMask != nullptr;
  in.hasReferenceMask = pooled ? clipConnected(data.referenceMaskClip) : images.referenceMask != nullptr;

  struct Check {
    OfxPropertySetHandle image;
    ImageView* desc;
    const char* clip;
    bool isMask;
  };
  const Check checks[] = {{images.source, &in.source, "Source", false},
                          {images.reference, &in.reference, "Reference", false},
                          {images.output, &in.output, "Output", false},
                          {images.sourceMask, &in.sourceMask, "SourceMask", true},
                          {images.referenceMask, &in.referenceMask, "ReferenceMask", true}};
  for (const Check& c : checks) {
    if (!c.image) continue;
    *c.desc = describeImage(c.image, c.isMask);
    const OfxStatus status = checkImage(*c.desc, c.clip, c.isMask);
    if (status != kOfxStatOK) return status;
  }

  // Only Output pixels inside its bounds are written.
  const Rect target = intersect(window, in.output.bounds);

  std::vector<float> sourceStorage;
  const ImageView source = floatRGBAView(in.source, target, sourceStorage);
  // Other Output layouts are written through float RGBA working storage the size of the window.
  std::vector<float> outputStorage;
  ImageView output = in.output;
  if (!isFloatRGBA(in.output)) {
    outputStorage.assign(size_t(target.width() * target.height() * 4), 0.0f);
    output = floatRGBA(reinterpret_cast<unsigned char*>(outputStorage.data()), width(target) * 16, target);
  }

  const ChannelMixes mixes = channelMixes(p.strength, p.strengthR, p.strengthG, p.strengthB);
  if (in.hasReference) {
    // Only Same Frame has a choice of learner; only option 1 selects the fitted lattice.
    const int32_t fit = p.matchMode == 1 && p.sameFrameFit == 1 ? 1 : 0;
    const CacheKeys keys{time,
                         p.matchMode,
                         p.preserveMode,
                         in.hasSourceMask,
                         in.hasReferenceMask,
                         int32_t(plan.mode),
                         pooled ? std::vector<double>(plan.frames.begin(), plan.frames.end()) : std::vector<double>{},
                         fit,
                         int32_t(p.plateEncoding),
                         p.matchMode != 1 && p.dcLearner == 1 ? 1 : 0};
    auto current = [&] {
      rebuild(data,
              {FrameInputs{in.source, in.reference, in.sourceMask, in.referenceMask, in.hasSourceMask,
                           in.hasReferenceMask}},
              keys);
      return kOfxStatOK;
    };
    auto poolFrames = [&] { return rebuildPooled(data, keys, plan.anchor); };
    const OfxStatus status = pooled ? applyCached(data, keys, poolFrames, mixes, source, output, target)
                                    : applyCached(data, keys, current, mixes, source, output, target);
    if (status != kOfxStatOK) return status;
  } else {
    // Without a Reference the cache is neither tested nor touched.
    if (light)
      applyEncodedLUT(source, output, target, nullptr, nullptr, mixes, PlateTransform{}, gKernelSet);
    else
      applyLUT(source, output, target, nullptr, mixes, gKernelSet);
  }
  if (!isFloatRGBA(in.output)) storeFloatRGBA(output, in.output);
  return kOfxStatOK;
}

}  // namespace

OfxStatus render(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs) {
  if (!gPropSuite || !gEffectSuite || !gParamSuite) return kOfxStatErrMissingHostFeature;
  InstanceData* data = findInstanceData(effect);
  if (!data) return kOfxStatErrBadHandle;
  try {
    return renderInstance(*data, inArgs);
  } catch (const std::bad_alloc&) {
    logLine("Vantrel: Out of memory while rendering - frame not rendered\n");
    return kOfxStatErrMemory;
  } catch (...) {
    logLine("Vantrel: Render failed\n");
    return kOfxStatFailed;
  }
}

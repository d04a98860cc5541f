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
#include <mutex>
#include <new>
#include <shared_mutex>
#include <vector>

#include "plugin/host_images.h"
#include "plugin/messages.h"
#include "plugin/plugin.h"
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
};

struct CacheKeys {
  double time;
  int32_t matchMode;
  int32_t preserveMode;
  bool hadSourceMask;
  bool hadReferenceMask;
  int32_t sameFrameFit;  // the learner Same Frame uses: 1 the fitted lattice, else 0
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

bool cacheHits(const InstanceData& data, const CacheKeys& keys) {
  return data.lut.valid && keys.time == data.lutSourceTime && keys.time == data.lutReferenceTime &&
         keys.matchMode == data.lutMatchMode && keys.preserveMode == data.lutPreserveMode &&
         keys.hadSourceMask == data.lutHadSourceMask && keys.hadReferenceMask == data.lutHadReferenceMask &&
         keys.sameFrameFit == data.lutSameFrameFit;
}

int32_t width(const Rect& r) { return int32_t(r.width()); }
int32_t height(const Rect& r) { return int32_t(r.height()); }

MaskData maskFrom(const ImageView& image, std::vector<float>& storage) {
  MaskData mask{};
  if (image.data) {
    const ImageView samples = floatSamples(image, storage);
    mask.pixels = samples.data;
    mask.rowBytes = samples.rowBytes;
  }
  mask.width = width(image.bounds);
  mask.height = height(image.bounds);
  mask.components = image.components;
  return mask;
}

// Rebuilds the LUT for these keys; called with the lock held exclusively. Keys are stored only
// after a finished build, so a failed one leaves the cache missing.
void rebuild(InstanceData& data, const RenderInputs& in, const CacheKeys& keys) {
  if (!data.lut.reserve(kLutSize)) {
    logLine("Vantrel: LUT allocation failed\n");
    return;
  }

  std::vector<float> sourceStorage, referenceStorage, sourceMaskStorage, referenceMaskStorage;
  const ImageView source = floatRGBAView(in.source, in.source.bounds, sourceStorage);
  const ImageView reference = floatRGBAView(in.reference, in.reference.bounds, referenceStorage);
  MaskData sourceMask{}, referenceMask{};
  if (in.hasSourceMask) sourceMask = maskFrom(in.sourceMask, sourceMaskStorage);
  if (in.hasReferenceMask) referenceMask = maskFrom(in.referenceMask, referenceMaskStorage);

  const PreserveMode preserve = PreserveMode(in.params.preserveMode);
  bool built;
  if (in.params.matchMode == 1 && keys.sameFrameFit == 1) {
    const FramePair frame{{source.data, width(source.bounds), height(source.bounds), source.rowBytes},
                          {reference.data, width(reference.bounds), height(reference.bounds), reference.rowBytes}};
    built = buildMatchLUT_FittedLattice(&frame, 1, data.lut, preserve, gKernelSet);
  } else if (in.params.matchMode == 1) {
    built = buildMatchLUT_SameClip(source.data, width(source.bounds), height(source.bounds), source.rowBytes,
                                   reference.data, width(reference.bounds), height(reference.bounds),
                                   reference.rowBytes, data.lut, 5.0f, preserve, gKernelSet);
  } else {
    ColorStats sourceStats, referenceStats;
    computeColorStats(source.data, width(source.bounds), height(source.bounds), source.rowBytes, Colorspace::Lab,
                      sourceStats, in.hasSourceMask ? &sourceMask : nullptr, gKernelSet);
    computeColorStats(reference.data, width(reference.bounds), height(reference.bounds), reference.rowBytes,
                      Colorspace::Lab, referenceStats, in.hasReferenceMask ? &referenceMask : nullptr, gKernelSet);
    built = buildMatchLUT_DifferentClips(sourceStats, referenceStats, data.lut, preserve, gKernelSet);
  }
  if (!built) {
    logLine("Vantrel: LUT build failed - not enough memory, rendering without the match\n");
    return;
  }
  data.lutHadSourceMask = keys.hadSourceMask;
  data.lutHadReferenceMask = keys.hadReferenceMask;
  data.lutSourceTime = keys.time;
  data.lutReferenceTime = keys.time;
  data.lutMatchMode = keys.matchMode;
  data.lutPreserveMode = keys.preserveMode;
  data.lutSameFrameFit = keys.sameFrameFit;
}

// Applies the cached LUT (when the cache holds this render's match) into target. Returns with
// every pixel of the window written.
void applyCached(InstanceData& data, const RenderInputs& in, const CacheKeys& keys, const ChannelMixes& mixes,
                 const ImageView& source, const ImageView& target, const Rect& window) {
  auto apply = [&](bool useLut) { applyLUT(source, target, window, useLut ? &data.lut : nullptr, mixes, gKernelSet); };
  {
    std::shared_lock<std::shared_mutex> shared(data.lutLock);
    if (cacheHits(data, keys)) return apply(true);
  }
  for (int round = 0;; ++round) {
    {
      std::unique_lock<std::shared_mutex> exclusive(data.lutLock);
      const bool hit = cacheHits(data, keys);
      if (!hit || round > 0) {
        if (!hit) rebuild(data, in, keys);
        // Without a finished build this render gets the clamped Source.
        return apply(data.lut.valid);
      }
    }
    std::shared_lock<std::shared_mutex> shared(data.lutLock);
    if (cacheHits(data, keys)) return apply(true);
  }
}

OfxStatus renderInstance(InstanceData& data, OfxPropertySetHandle inArgs) {
  double time = 0.0;
  gPropSuite->propGetDouble(inArgs, kOfxPropTime, 0, &time);
  int windowValues[4] = {0, 0, 0, 0};
  gPropSuite->propGetIntN(inArgs, kOfxImageEffectPropRenderWindow, 4, windowValues);
  const Rect window{windowValues[0], windowValues[1], windowValues[2], windowValues[3]};

  FetchedImages images;
  images.source = fetchImage(data.sourceClip, time);
  images.reference = fetchImage(data.referenceClip, time);
  images.output = fetchImage(data.outputClip, time);
  if (data.sourceMaskClip) images.sourceMask = fetchImage(data.sourceMaskClip, time);
  if (data.referenceMaskClip) images.referenceMask = fetchImage(data.referenceMaskClip, time);

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
  // Read only where it plays a part, so Different Clips renders ask the host for nothing new.
  if (p.matchMode == 1) readInt(data.sameFrameFitParam, time, p.sameFrameFit);

  in.hasReference = images.reference != nullptr;
  in.hasSourceMask = images.sourceMask != nullptr;
  in.hasReferenceMask = images.referenceMask != nullptr;

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
    const CacheKeys keys{time, p.matchMode, p.preserveMode, in.hasSourceMask, in.hasReferenceMask, fit};
    applyCached(data, in, keys, mixes, source, output, target);
  } else {
    // Without a Reference the cache is neither tested nor touched.
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

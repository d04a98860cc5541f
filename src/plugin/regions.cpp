// The regions-of-interest action. The match is built from whole images (statistics over the
// whole frame, Same Frame pairs over the whole picture), so every input is asked for over its
// whole region of definition, whatever the window being rendered. A host that honours this
// hands each tile the same inputs, and every tile of a frame shares one build. One region serves
// every frame a render reads, so when the analysis reads other frames it covers each of theirs.
#include <algorithm>
#include <cstdio>

#include "plugin/analysis.h"
#include "plugin/plugin.h"

namespace {

// The union of the clip's regions of definition at these times, added to `region` (`found` says
// whether it holds one yet).
void addRegions(OfxImageClipHandle clip, const double* times, int32_t count, OfxRectD& region, bool& found) {
  for (int32_t i = 0; i < count; ++i) {
    const double time = times[i];
    OfxRectD rod{0.0, 0.0, 0.0, 0.0};
    if (gEffectSuite->clipGetRegionOfDefinition(clip, time, &rod) != kOfxStatOK) continue;
    region = found ? OfxRectD{std::min(region.x1, rod.x1), std::min(region.y1, rod.y1), std::max(region.x2, rod.x2),
                              std::max(region.y2, rod.y2)}
                   : rod;
    found = true;
  }
}

}  // namespace

OfxStatus getRegionsOfInterest(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs, OfxPropertySetHandle outArgs) {
  InstanceData* data = findInstanceData(effect);
  if (!data) return kOfxStatErrBadHandle;
  double time = 0.0;
  gPropSuite->propGetDouble(inArgs, kOfxPropTime, 0, &time);

  // Under Current Frame the plan holds the render time alone; otherwise the Source is also read
  // at the render time.
  AnalysisPlan plan;
  planAnalysis(*data, time, plan);
  const bool pooled = plan.mode != CurrentFrame;
  const struct {
    OfxImageClipHandle clip;
    const char* name;
    bool alsoNow;
  } inputs[] = {{data->sourceClip, "Source", pooled},
                {data->referenceClip, "Reference", false},
                {data->sourceMaskClip, "SourceMask", false},
                {data->referenceMaskClip, "ReferenceMask", false}};
  bool answered = false;
  for (const auto& input : inputs) {
    if (!input.clip || !clipConnected(input.clip)) continue;
    OfxRectD rod{0.0, 0.0, 0.0, 0.0};
    bool found = false;
    addRegions(input.clip, plan.frames.frames, plan.frames.count, rod, found);
    if (input.alsoNow) addRegions(input.clip, &time, 1, rod, found);
    // Without a region of definition the host's own default stands for this clip.
    if (!found) continue;
    const double region[4] = {rod.x1, rod.y1, rod.x2, rod.y2};
    char property[64];  // built without the heap: this action must not fail for want of memory
    std::snprintf(property, sizeof property, "%s%s", kOfxImageClipPropRoI_, input.name);
    gPropSuite->propSetDoubleN(outArgs, property, 4, region);
    answered = true;
  }
  return answered ? kOfxStatOK : kOfxStatReplyDefault;
}

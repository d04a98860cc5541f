// The regions-of-interest action. The match is built from whole images (statistics over the
// whole frame, Same Frame pairs over the whole picture), so every input is asked for over its
// whole region of definition, whatever the window being rendered. A host that honours this
// hands each tile the same inputs, and every tile of a frame shares one build.
#include <cstdio>

#include "plugin/plugin.h"

namespace {

bool isConnected(OfxImageClipHandle clip) {
  OfxPropertySetHandle props = nullptr;
  gEffectSuite->clipGetPropertySet(clip, &props);
  int connected = 0;
  if (props) gPropSuite->propGetInt(props, kOfxImageClipPropConnected, 0, &connected);
  return connected != 0;
}

}  // namespace

OfxStatus getRegionsOfInterest(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs, OfxPropertySetHandle outArgs) {
  InstanceData* data = findInstanceData(effect);
  if (!data) return kOfxStatErrBadHandle;
  double time = 0.0;
  gPropSuite->propGetDouble(inArgs, kOfxPropTime, 0, &time);

  const struct {
    OfxImageClipHandle clip;
    const char* name;
  } inputs[] = {{data->sourceClip, "Source"},
                {data->referenceClip, "Reference"},
                {data->sourceMaskClip, "SourceMask"},
                {data->referenceMaskClip, "ReferenceMask"}};
  bool answered = false;
  for (const auto& input : inputs) {
    if (!input.clip || !isConnected(input.clip)) continue;
    OfxRectD rod{0.0, 0.0, 0.0, 0.0};
    // Without a region of definition the host's own default stands for this clip.
    if (gEffectSuite->clipGetRegionOfDefinition(input.clip, time, &rod) != kOfxStatOK) continue;
    const double region[4] = {rod.x1, rod.y1, rod.x2, rod.y2};
    char property[64];  // built without the heap: this action must not fail for want of memory
    std::snprintf(property, sizeof property, "%s%s", kOfxImageClipPropRoI_, input.name);
    gPropSuite->propSetDoubleN(outArgs, property, 4, region);
    answered = true;
  }
  return answered ? kOfxStatOK : kOfxStatReplyDefault;
}

#include "plugin/analysis.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "plugin/host_images.h"
#include "plugin/messages.h"

namespace {

void readInt(OfxParamHandle param, int32_t& value) {
  int v = value;
  if (param && gParamSuite->paramGetValue(param, &v) == kOfxStatOK) value = v;
}

OfxPropertySetHandle fetchImage(OfxImageClipHandle clip, double time) {
  OfxPropertySetHandle image = nullptr;
  if (clip) gEffectSuite->clipGetImage(clip, time, nullptr, &image);
  return image;
}

void release(OfxPropertySetHandle& image) {
  if (image) gEffectSuite->clipReleaseImage(image);
  image = nullptr;
}

// The frames a frames-needed answer names for one clip, as (first, last) pairs; none at all when
// the clip is not read.
void answer(OfxPropertySetHandle outArgs, const char* clip, const double* frames, int32_t count) {
  double pairs[2 * (kMaxAnalysisFrames + 2)];
  const int32_t values = frameRanges(frames, count, pairs);
  char name[80];
  std::snprintf(name, sizeof name, "%s%s", kOfxImageClipPropFrameRange_, clip);
  gPropSuite->propSetDoubleN(outArgs, name, values, pairs);
}

void note(const InstanceData& data, const char* text) { warnUser(data.effect, text); }

}  // namespace

AnalysisSettings readAnalysisSettings(const InstanceData& data) {
  AnalysisSettings s;
  readInt(data.analysisModeParam, s.mode);
  if (s.mode == CurrentFrame) return s;  // the others play no part
  readInt(data.keyFrameParam, s.keyFrame);
  if (data.frameRangeParam) {
    int range[2] = {s.rangeFirst, s.rangeLast};
    if (gParamSuite->paramGetValue(data.frameRangeParam, &range[0], &range[1]) == kOfxStatOK) {
      s.rangeFirst = range[0];
      s.rangeLast = range[1];
    }
  }
  readInt(data.windowRadiusParam, s.windowRadius);
  readInt(data.frameStepParam, s.frameStep);
  return s;
}

bool hostOffersTemporalAccess() {
  int offered = 0;
  if (gHost && gHost->host) gPropSuite->propGetInt(gHost->host, kOfxImageEffectPropTemporalClipAccess, 0, &offered);
  return offered != 0;
}

ClipFrames sourceClipFrames(const InstanceData& data) {
  ClipFrames frames;
  OfxPropertySetHandle props = nullptr;
  if (data.sourceClip) gEffectSuite->clipGetPropertySet(data.sourceClip, &props);
  double range[2] = {0.0, 0.0};
  if (props && gPropSuite->propGetDoubleN(props, kOfxImageEffectPropFrameRange, 2, range) == kOfxStatOK) {
    frames.first = range[0];
    frames.last = range[1];
    frames.known = true;
  }
  return frames;
}

bool clipConnected(OfxImageClipHandle clip) {
  OfxPropertySetHandle props = nullptr;
  if (clip) gEffectSuite->clipGetPropertySet(clip, &props);
  int connected = 0;
  if (props) gPropSuite->propGetInt(props, kOfxImageClipPropConnected, 0, &connected);
  return connected != 0;
}

void planAnalysis(InstanceData& data, double time, AnalysisPlan& plan) {
  plan.mode = CurrentFrame;
  const AnalysisSettings settings = readAnalysisSettings(data);
  if (settings.mode == KeyFrame || settings.mode == FrameRange || settings.mode == MovingWindow) {
    if (hostOffersTemporalAccess()) {
      plan.mode = settings.mode;
    } else if (!data.temporalAccessNoted.exchange(true)) {
      note(data,
           "This host cannot give the effect frames other than the one being rendered: the match is learnt from "
           "each frame, as under Analysis \"Current Frame\".");
    }
  }
  if (plan.mode == CurrentFrame) {
    plan.frames.frames[0] = time;
    plan.frames.count = 1;
    plan.frames.step = 1;
    plan.frames.requested = 1;
    plan.anchor = time;
    return;
  }
  const ClipFrames clip = sourceClipFrames(data);
  analysisFrames(settings, time, clip, plan.frames);
  plan.anchor = plan.frames.count > 0 ? plan.frames.frames[0] : NAN;
  if (plan.mode == MovingWindow && plan.frames.count > 0 && clip.known && clip.first <= clip.last &&
      std::fabs(clip.first) < 2147483647.0)
    plan.anchor = std::ceil(clip.first);
  if (plan.frames.step > (settings.frameStep > 1 ? settings.frameStep : 1) &&
      !data.analysisThinningNoted.exchange(true)) {
    char text[300];
    std::snprintf(text, sizeof text,
                  "The %s holds %lld frames: one in %lld is pooled, as one match pools at most %d frames (a larger "
                  "Frame Step chooses which).",
                  plan.mode == FrameRange ? "Frame Range" : "Moving Window", (long long)plan.frames.requested,
                  (long long)plan.frames.step, kMaxAnalysisFrames);
    note(data, text);
  }
}

OfxStatus getFramesNeeded(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs, OfxPropertySetHandle outArgs) {
  InstanceData* data = findInstanceData(effect);
  if (!data) return kOfxStatErrBadHandle;
  double time = 0.0;
  gPropSuite->propGetDouble(inArgs, kOfxPropTime, 0, &time);
  AnalysisPlan plan;
  planAnalysis(*data, time, plan);
  if (plan.mode == CurrentFrame) {
    for (const char* clip : {"Source", "Reference", "SourceMask", "ReferenceMask"}) answer(outArgs, clip, &time, 1);
    return kOfxStatOK;
  }
  // The Source is also read at the render time itself, to be matched, and under a "Plate
  // Encoding" of light at the anchor frame, whose highlights set the working space.
  double pooled[kMaxAnalysisFrames + 1], source[kMaxAnalysisFrames + 2];
  int32_t pooledCount = int32_t(std::copy(plan.frames.begin(), plan.frames.end(), pooled) - pooled);
  if (plan.mode == MovingWindow && std::isfinite(plan.anchor) && data->plateEncodingParam) {
    int choice = 0;
    gParamSuite->paramGetValue(data->plateEncodingParam, &choice);
    if (plateEncodingOf(choice) != PlateEncoding::AsDelivered &&
        !std::binary_search(pooled, pooled + pooledCount, plan.anchor)) {
      // The clip's first frame comes before every window.
      std::copy_backward(pooled, pooled + pooledCount, pooled + pooledCount + 1);
      pooled[0] = plan.anchor;
      ++pooledCount;
    }
  }
  const double* at = std::lower_bound(pooled, pooled + pooledCount, time);
  std::copy(static_cast<const double*>(pooled), at, source);
  int32_t count = int32_t(at - pooled);
  if (at == pooled + pooledCount || *at != time) source[count++] = time;
  count = int32_t(std::copy(at, static_cast<const double*>(pooled + pooledCount), source + count) - source);
  answer(outArgs, "Source", source, count);
  answer(outArgs, "Reference", plan.frames.frames, plan.frames.count);
  int matchMode = 0;
  if (data->matchModeParam) gParamSuite->paramGetValueAtTime(data->matchModeParam, time, &matchMode);
  // Masks weigh the Different Clips statistics only.
  if (matchMode != 1) {
    answer(outArgs, "SourceMask", plan.frames.frames, plan.frames.count);
    answer(outArgs, "ReferenceMask", plan.frames.frames, plan.frames.count);
  }
  return kOfxStatOK;
}

FetchedFrames::~FetchedFrames() {
  for (FrameImages& f : frames)
    for (OfxPropertySetHandle* image : {&f.source, &f.reference, &f.sourceMask, &f.referenceMask}) release(*image);
}

OfxStatus fetchAnalysisFrames(const InstanceData& data, const std::vector<double>& times, bool withMasks,
                              FetchedFrames& out) {
  for (double time : times) {
    out.frames.emplace_back();
    FrameImages& f = out.frames.back();
    f.time = time;
    f.source = fetchImage(data.sourceClip, time);
    f.reference = fetchImage(data.referenceClip, time);
    if (!f.source || !f.reference) {
      release(f.source);
      release(f.reference);
      out.frames.pop_back();
      out.missing.push_back(time);
      continue;
    }
    if (withMasks) {
      f.sourceMask = fetchImage(data.sourceMaskClip, time);
      f.referenceMask = fetchImage(data.referenceMaskClip, time);
    }
    const struct {
      OfxPropertySetHandle image;
      ImageView* view;
      const char* clip;
      bool isMask;
    } checks[] = {{f.source, &f.sourceView, "Source", false},
                  {f.reference, &f.referenceView, "Reference", false},
                  {f.sourceMask, &f.sourceMaskView, "SourceMask", true},
                  {f.referenceMask, &f.referenceMaskView, "ReferenceMask", true}};
    for (const auto& c : checks) {
      if (!c.image) continue;
      *c.view = describeImage(c.image, c.isMask);
      const OfxStatus status = checkImage(*c.view, c.clip, c.isMask);
      if (status != kOfxStatOK) return status;
    }
  }
  return kOfxStatOK;
}

void noteMissingFrames(InstanceData& data, const std::vector<double>& asked, const std::vector<double>& missing) {
  if (asked.empty() && !data.analysisFramesNoted.exchange(true)) {
    note(data,
         "None of the frames the match would be learnt from lies within the Source clip: rendering "
         "without the match.");
    return;
  }
  if (missing.empty() || data.analysisFramesNoted.exchange(true)) return;
  char frames[160], text[400];
  describeFrames(missing.data(), int32_t(missing.size()), frames, sizeof frames);
  const char* plural = missing.size() == 1 ? "" : "s";
  if (missing.size() == asked.size()) {
    std::snprintf(text, sizeof text,
                  "The host could not give frame%s %s, which the match is learnt from: rendering without the match.",
                  plural, frames);
  } else {
    std::snprintf(text, sizeof text, "The host could not give frame%s %s: the match is learnt from the other %zu.",
                  plural, frames, asked.size() - missing.size());
  }
  note(data, text);
}

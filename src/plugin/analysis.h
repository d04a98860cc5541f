// The "Analysis" choice on the host's side: its settings, the frames a render reads, the
// frames-needed answer, fetching the frames a build pools, and the notes said once.
#pragma once

#include <vector>

#include "plugin/analysis_frames.h"
#include "plugin/plugin.h"
#include "render/image.h"

// The settings as the parameters hold them now (they do not animate, so no time is asked).
AnalysisSettings readAnalysisSettings(const InstanceData& data);

// Whether the host says it can give images at other times than the render's.
bool hostOffersTemporalAccess();

// The frames the Source clip can deliver, as the host reports them.
ClipFrames sourceClipFrames(const InstanceData& data);

struct AnalysisPlan {
  int32_t mode = CurrentFrame;  // Current Frame also on a host that cannot give other frames
  AnalysisFrames frames;        // the frames a build learns from (the render time under Current Frame)
  // The frame whose Source sets the working space under a "Plate Encoding" of light, the same for
  // every frame of the clip where a build pools frames: the key frame, the first frame of the
  // range, and under Moving Window the Source clip's first frame (the window's first when the host
  // reports no range). The render time under Current Frame; NaN when no frame is left.
  double anchor = 0.0;
};

// What a render at `time` learns from. A host without temporal access gets Current Frame, and
// the user is told once per instance; a range thinned out is said once per setting. Takes no
// memory from the heap unless it has something to say.
void planAnalysis(InstanceData& data, double time, AnalysisPlan& plan);

bool clipConnected(OfxImageClipHandle clip);

// The images of one pooled frame; FetchedFrames releases them.
struct FrameImages {
  double time = 0.0;
  OfxPropertySetHandle source = nullptr;
  OfxPropertySetHandle reference = nullptr;
  OfxPropertySetHandle sourceMask = nullptr;
  OfxPropertySetHandle referenceMask = nullptr;
  ImageView sourceView, referenceView, sourceMaskView, referenceMaskView;
};

struct FetchedFrames {
  std::vector<FrameImages> frames;  // those the host gave both a Source and a Reference for
  std::vector<double> missing;      // those it did not
  FetchedFrames() = default;
  FetchedFrames(const FetchedFrames&) = delete;
  FetchedFrames& operator=(const FetchedFrames&) = delete;
  ~FetchedFrames();
};

// Fetches the Source and Reference of each frame (and the masks when `withMasks`), frame by
// frame, and checks every image as the render checks its own. A frame without both is left out
// at once; an image of a layout the effect refuses ends the fetch with the render's status.
OfxStatus fetchAnalysisFrames(const InstanceData& data, const std::vector<double>& times, bool withMasks,
                              FetchedFrames& out);

// Tells the user, once per analysis setting, which of the asked frames the host could not give, or
// that no frame was left to ask for.
void noteMissingFrames(InstanceData& data, const std::vector<double>& asked, const std::vector<double>& missing);

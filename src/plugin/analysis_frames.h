// Which frames a match is learnt from under each "Analysis" choice: arithmetic on frame numbers
// only, apart from the host.
#pragma once

#include <cstdint>

// A build pools at most this many frames; a longer range or window is thinned evenly.
constexpr int32_t kMaxAnalysisFrames = 1000;

enum AnalysisMode : int32_t { CurrentFrame = 0, KeyFrame = 1, FrameRange = 2, MovingWindow = 3 };

// The "Analysis" choice and its settings as the parameters hold them. Values a host lets through
// outside the parameters' limits are taken in the nearest sense (a step below 1 as 1, a negative
// radius as 0, another mode as Current Frame).
struct AnalysisSettings {
  int32_t mode = CurrentFrame;
  int32_t keyFrame = 0;
  int32_t rangeFirst = 0;
  int32_t rangeLast = -1;  // before rangeFirst: the Source clip's whole frame range
  int32_t windowRadius = 5;
  int32_t frameStep = 1;
};

// The frames the Source clip can deliver, as the host reports them; `known` is false when it
// reports none that can be used (missing, inverted, not finite or unbounded).
struct ClipFrames {
  double first = 0.0;
  double last = 0.0;
  bool known = false;
};

// A list of frames held in place, so that the actions that only name frames (frames needed,
// regions of interest) need no memory from the heap and cannot fail for want of it.
struct AnalysisFrames {
  double frames[kMaxAnalysisFrames];  // ascending, each once; the first `count` are set
  int32_t count = 0;
  int64_t step = 1;       // the step taken: Frame Step, or more when thinned
  int64_t requested = 0;  // frames the range or window holds at Frame Step
  const double* begin() const { return frames; }
  const double* end() const { return frames + count; }
};

// Under Current Frame the render time itself. Key Frame: the key frame, moved to the nearest end
// of the Source clip when outside it. Frame Range: every Nth frame from the range's first (the
// Source clip's range by default), within the Source clip. Moving Window: the frames within the
// radius of `time` that lie on the Source clip's every-Nth-frame grid, within the clip. Empty
// when nothing is left.
void analysisFrames(const AnalysisSettings& settings, double time, const ClipFrames& source, AnalysisFrames& out);

// Runs of consecutive frames as (first, last) pairs, the shape of a frames-needed answer, written
// to `pairs` (room for 2 * count values); returns the number of values written.
int32_t frameRanges(const double* frames, int32_t count, double* pairs);

// "1001-1003, 1007" (at most `limit` runs shown, then ", ..."), for messages.
void describeFrames(const double* frames, int32_t count, char* text, int size, int limit = 8);

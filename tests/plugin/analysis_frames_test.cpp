// The frames each "Analysis" choice learns from, against the Source clip's frames.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "plugin/analysis_frames.h"

namespace {

const ClipFrames kShot{1001.0, 1024.0, true};

std::vector<double> framesOf(const AnalysisSettings& s, double time, const ClipFrames& clip = kShot) {
  static AnalysisFrames out;  // too large for a test's stack frame to be worth it
  analysisFrames(s, time, clip, out);
  return std::vector<double>(out.begin(), out.end());
}

AnalysisSettings mode(int32_t m) {
  AnalysisSettings s;
  s.mode = m;
  return s;
}

std::vector<double> span(int first, int last, int step = 1) {
  std::vector<double> v;
  for (int f = first; f <= last; f += step) v.push_back(f);
  return v;
}

}  // namespace

TEST(AnalysisFrames, CurrentFrameAndUnknownChoicesLearnFromTheRenderTime) {
  EXPECT_EQ(framesOf(mode(CurrentFrame), 1003.5), std::vector<double>{1003.5});
  EXPECT_EQ(framesOf(mode(7), 1003.0), std::vector<double>{1003.0});
  EXPECT_EQ(framesOf(mode(-1), 1003.0), std::vector<double>{1003.0});
}

TEST(AnalysisFrames, KeyFrameIsKeptWithinTheSourceClip) {
  AnalysisSettings s = mode(KeyFrame);
  s.keyFrame = 1010;
  EXPECT_EQ(framesOf(s, 1003.0), std::vector<double>{1010});
  EXPECT_EQ(framesOf(s, 1020.0), std::vector<double>{1010}) << "the same for every render time";
  s.keyFrame = 0;  // the default: the clip's first frame
  EXPECT_EQ(framesOf(s, 1003.0), std::vector<double>{1001});
  s.keyFrame = 5000;
  EXPECT_EQ(framesOf(s, 1003.0), std::vector<double>{1024});
  // A host that reports no usable range: the frame as given.
  for (ClipFrames clip : {ClipFrames{}, ClipFrames{10, 5, true}, ClipFrames{-2147483648.0, 2147483647.0, true},
                          ClipFrames{std::nan(""), 5, true}})
    EXPECT_EQ(framesOf(s, 3.0, clip), std::vector<double>{5000});
}

TEST(AnalysisFrames, FrameRangeDefaultsToTheSourceClipAndStepsFromItsFirstFrame) {
  AnalysisSettings s = mode(FrameRange);
  EXPECT_EQ(framesOf(s, 1003.0), span(1001, 1024));
  s.frameStep = 5;
  EXPECT_EQ(framesOf(s, 1003.0), span(1001, 1024, 5));
  s.rangeFirst = 990;  // counted from the range's own first frame, then kept within the clip
  s.rangeLast = 1010;
  EXPECT_EQ(framesOf(s, 1003.0), (std::vector<double>{1005, 1010}));
  s.frameStep = 0;  // below the parameter's minimum: every frame
  s.rangeFirst = 1020;
  s.rangeLast = 1100;
  EXPECT_EQ(framesOf(s, 1003.0), span(1020, 1024));
  s.rangeFirst = 2000;  // outside the clip: nothing to learn from
  s.rangeLast = 2010;
  EXPECT_TRUE(framesOf(s, 1003.0).empty());
  s.rangeFirst = -4;  // without a clip range, as given
  s.rangeLast = 4;
  s.frameStep = 3;
  EXPECT_EQ(framesOf(s, 0.0, ClipFrames{}), (std::vector<double>{-4, -1, 2}));
  // The default without a clip range: only the frame at hand.
  EXPECT_EQ(framesOf(mode(FrameRange), 7.0, ClipFrames{}), std::vector<double>{7});
}

TEST(AnalysisFrames, MovingWindowFollowsTheRenderTimeOnTheClipsGrid) {
  AnalysisSettings s = mode(MovingWindow);
  s.windowRadius = 2;
  EXPECT_EQ(framesOf(s, 1010.0), span(1008, 1012));
  EXPECT_EQ(framesOf(s, 1001.0), span(1001, 1003)) << "cut at the clip's ends";
  EXPECT_EQ(framesOf(s, 1024.0), span(1022, 1024));
  EXPECT_EQ(framesOf(s, 1010.5), span(1009, 1012)) << "a time between frames";
  // With a step, consecutive windows share their grid (every 3rd frame from the clip's first),
  // so one frame at most enters and one leaves.
  s.windowRadius = 4;
  s.frameStep = 3;
  EXPECT_EQ(framesOf(s, 1010.0), (std::vector<double>{1007, 1010, 1013}));
  EXPECT_EQ(framesOf(s, 1011.0), (std::vector<double>{1007, 1010, 1013}));
  EXPECT_EQ(framesOf(s, 1012.0), (std::vector<double>{1010, 1013, 1016}));
  s.windowRadius = -3;  // below the minimum: the frame itself, when on the grid
  s.frameStep = 1;
  EXPECT_EQ(framesOf(s, 1010.0), std::vector<double>{1010});
  EXPECT_TRUE(framesOf(s, std::nan(""), kShot).empty());
  EXPECT_TRUE(framesOf(s, 1e300, ClipFrames{}).empty());
}

TEST(AnalysisFrames, LongRangesAreThinnedEvenlyToTheLimit) {
  AnalysisSettings s = mode(FrameRange);
  s.rangeFirst = 0;
  s.rangeLast = 2147483646;
  AnalysisFrames out;
  analysisFrames(s, 0.0, ClipFrames{}, out);
  EXPECT_EQ(out.requested, 2147483647LL);
  EXPECT_LE(out.count, kMaxAnalysisFrames);
  EXPECT_GT(out.count, kMaxAnalysisFrames / 2);
  EXPECT_EQ(out.frames[1] - out.frames[0], double(out.step));
  s.rangeLast = 2499;  // 2500 frames: one in three
  analysisFrames(s, 0.0, ClipFrames{}, out);
  EXPECT_EQ(out.step, 3);
  EXPECT_EQ(out.count, 834);
  EXPECT_EQ(out.frames[833], 2499.0);
}

TEST(AnalysisFrames, RunsOfFramesForAnswersAndMessages) {
  const std::vector<double> frames = {3, 4, 5, 9, 11, 12};
  double pairs[12];
  const int32_t n = frameRanges(frames.data(), int32_t(frames.size()), pairs);
  EXPECT_EQ(std::vector<double>(pairs, pairs + n), (std::vector<double>{3, 5, 9, 9, 11, 12}));
  char text[64];
  describeFrames(frames.data(), int32_t(frames.size()), text, sizeof text);
  EXPECT_STREQ(text, "3-5, 9, 11-12");
  describeFrames(frames.data(), int32_t(frames.size()), text, sizeof text, 2);
  EXPECT_STREQ(text, "3-5, 9, ...");
  describeFrames(frames.data(), int32_t(frames.size()), text, 6);
  EXPECT_EQ(std::string(text), "3-5, ");
  const double big[] = {1234567.0, 12.5};
  describeFrames(big, 2, text, sizeof text);
  EXPECT_STREQ(text, "1234567, 12.5");
}

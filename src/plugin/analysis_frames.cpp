#include "plugin/analysis_frames.h"

#include <cmath>
#include <cstdio>

namespace {

// Frame numbers past this are a host's "unbounded" marks, not frames.
constexpr double kFrameLimit = 2147483647.0;

struct Span {
  int64_t first;
  int64_t last;
  bool empty() const { return last < first; }
};

Span clipSpan(const ClipFrames& clip) { return Span{int64_t(std::ceil(clip.first)), int64_t(std::floor(clip.last))}; }

bool usable(const ClipFrames& clip) {
  return clip.known && std::isfinite(clip.first) && std::isfinite(clip.last) && clip.first <= clip.last &&
         std::fabs(clip.first) < kFrameLimit && std::fabs(clip.last) < kFrameLimit;
}

Span intersect(Span a, Span b) {
  return Span{a.first > b.first ? a.first : b.first, a.last < b.last ? a.last : b.last};
}

// Floor division for a positive divisor.
int64_t floorDiv(int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

// The first frame at or after `from` on the grid anchor + k * step.
int64_t firstOnGrid(int64_t from, int64_t anchor, int64_t step) {
  return anchor + (floorDiv(from - anchor - 1, step) + 1) * step;
}

int64_t countOnGrid(Span span, int64_t anchor, int64_t step) {
  if (span.empty()) return 0;
  const int64_t first = firstOnGrid(span.first, anchor, step);
  return first > span.last ? 0 : (span.last - first) / step + 1;
}

// Every `step`th frame of the grid through `anchor` within `span`, thinned to the limit.
void onGrid(Span span, int64_t anchor, int64_t step, AnalysisFrames& out) {
  out.requested = countOnGrid(span, anchor, step);
  if (out.requested > kMaxAnalysisFrames) step *= (out.requested + kMaxAnalysisFrames - 1) / kMaxAnalysisFrames;
  out.step = step;
  if (out.requested == 0) return;
  for (int64_t f = firstOnGrid(span.first, anchor, step); f <= span.last && out.count < kMaxAnalysisFrames; f += step)
    out.frames[out.count++] = double(f);
}

}  // namespace

void analysisFrames(const AnalysisSettings& s, double time, const ClipFrames& source, AnalysisFrames& out) {
  out.count = 0;
  out.step = 1;
  out.requested = 0;
  const bool clipKnown = usable(source);
  const Span clip = clipKnown ? clipSpan(source) : Span{int64_t(-kFrameLimit), int64_t(kFrameLimit)};
  const int64_t step = s.frameStep > 1 ? s.frameStep : 1;
  switch (s.mode) {
    case KeyFrame: {
      int64_t key = s.keyFrame;
      if (clipKnown && !clip.empty()) key = key < clip.first ? clip.first : (key > clip.last ? clip.last : key);
      out.frames[out.count++] = double(key);
      out.requested = 1;
      return;
    }
    case FrameRange:
      if (s.rangeLast < s.rangeFirst) {
        // The Source clip's frames; a host that reports none leaves only the frame at hand.
        if (!clipKnown) break;
        return onGrid(clip, clip.first, step, out);
      }
      return onGrid(intersect(Span{s.rangeFirst, s.rangeLast}, clip), s.rangeFirst, step, out);
    case MovingWindow: {
      if (!std::isfinite(time) || std::fabs(time) >= kFrameLimit) return;
      const int64_t radius = s.windowRadius > 0 ? s.windowRadius : 0;
      const Span window{int64_t(std::ceil(time)) - radius, int64_t(std::floor(time)) + radius};
      return onGrid(intersect(window, clip), clipKnown ? clip.first : 0, step, out);
    }
    default:
      break;
  }
  out.frames[out.count++] = time;
  out.requested = 1;
}

int32_t frameRanges(const double* frames, int32_t count, double* pairs) {
  int32_t written = 0;
  for (int32_t i = 0; i < count;) {
    int32_t j = i;
    while (j + 1 < count && frames[j + 1] == frames[j] + 1.0) ++j;
    pairs[written++] = frames[i];
    pairs[written++] = frames[j];
    i = j + 1;
  }
  return written;
}

void describeFrames(const double* frames, int32_t count, char* text, int size, int limit) {
  text[0] = '\0';
  int used = 0, runs = 0;
  for (int32_t i = 0; i < count && used < size; ++runs) {
    int32_t j = i;
    while (j + 1 < count && frames[j + 1] == frames[j] + 1.0) ++j;
    const char* gap = i ? ", " : "";
    const size_t room = size_t(size - used);
    const int n = runs == limit ? std::snprintf(text + used, room, "%s...", gap)
                  : frames[i] == frames[j]
                      ? std::snprintf(text + used, room, "%s%.15g", gap, frames[i])
                      : std::snprintf(text + used, room, "%s%.15g-%.15g", gap, frames[i], frames[j]);
    if (n < 0 || runs == limit) return;
    used += n;
    i = j + 1;
  }
}

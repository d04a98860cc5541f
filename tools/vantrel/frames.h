// Frame patterns ("shot.%04d.exr", "shot.####.exr") and frame ranges ("1001-1048").
#pragma once

#include <string>

struct FrameRange {
  int first = 0;
  int last = 0;
  int count() const { return last - first + 1; }
};

// True when the path holds one frame placeholder: %d, %0Nd or a run of '#' (its length the padding).
bool isFramePattern(const std::string& path);

// The path with its placeholder replaced by the frame number; a path without one comes back as is.
std::string expandFrame(const std::string& path, int frame);

// "A-B" with A <= B, or "A" for a single frame; frames are non-negative.
bool parseFrameRange(const std::string& text, FrameRange& out, std::string& error);

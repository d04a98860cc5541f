// Frame patterns ("shot.%04d.exr", "shot.####.exr") and frame ranges ("1001-1048").
#pragma once

#include <string>
#include <vector>

struct FrameRange {
  int first = 0;
  int last = 0;
  int count() const { return last - first + 1; }
};

// True when the path holds one frame placeholder: %d, %0Nd or a run of '#' (its length the padding).
bool isFramePattern(const std::string& path);

// The path with its placeholder replaced by the frame number; a path without one comes back as is.
std::string expandFrame(const std::string& path, int frame);

// "A-B" with A <= B, or "A" for a single frame; frames are non-negative. Errors name `option`.
bool parseFrameRange(const std::string& text, FrameRange& out, std::string& error, const char* option = "--frames");

// The frames of a sequence on disk, ascending: every file in the folder that the pattern names
// with a frame number. A pattern whose placeholder lies in a folder name is probed instead, one
// frame at a time outward from `around`, while the files exist.
std::vector<int> framesOnDisk(const std::string& pattern, const FrameRange& around);

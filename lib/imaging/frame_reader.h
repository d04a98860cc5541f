// The frames of a shot's sequences, read when the plug-in or the tool asks for them and kept
// while memory allows, so that a run reads each file once however many builds pool it. Safe to
// call from the host's render threads: one frame is read at a time.
#pragma once

#include "imaging/frame_checks.h"
#include "imaging/image_io.h"

#include <chrono>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// One input's frame as the plug-in sees it (colour inputs in the working space), with what the
// file said of its colour space and what the tool checks of it.
struct ShotFrame {
  Image image;
  std::string path, space, spaceFrom;
  std::string workingSpace;   // the space `image` is in
  NonFiniteCount nonFinite;   // colour inputs
  std::vector<double> above;  // a Source: shares of pixels above each of the run's levels
};

class FrameReader {
 public:
  // Reads frame `frame` of input `input`; warnings are said once, with the frame that read it.
  using Load =
      std::function<bool(int input, int frame, ShotFrame& out, std::vector<std::string>& warnings, std::string& error)>;
  // The frame's place on the canvas from its header alone.
  using Bounds = std::function<bool(int input, int frame, PixelRect& out, std::string& error)>;

  FrameReader(size_t budgetBytes, Load load, Bounds bounds);

  // The frame, read now when it is not kept; null with the error (kept for takeError) when the
  // read fails.
  std::shared_ptr<const ShotFrame> frame(int input, int frame, std::string& error);
  // Its bounds, from what was read or from its header.
  std::optional<PixelRect> bounds(int input, int frame);
  // Frames of this number are kept whatever the budget (the frame being rendered).
  void hold(int frame);

  // What happened since last asked: warnings of the reads, the first failure, time spent reading.
  std::vector<std::string> takeWarnings();
  std::string takeError();
  double takeSeconds();
  int reads() const;

 private:
  using Key = std::pair<int, int>;  // input, frame
  struct Entry {
    std::shared_ptr<const ShotFrame> frame;
    std::list<Key>::iterator age;
    size_t bytes = 0;
  };
  void evict();

  size_t budget_;
  Load load_;
  Bounds bounds_;
  mutable std::mutex lock_;
  std::map<Key, Entry> kept_;
  std::list<Key> ages_;  // least recently used first
  std::map<Key, PixelRect> places_;
  size_t bytes_ = 0;
  int held_ = -1;
  int reads_ = 0;
  double seconds_ = 0.0;
  std::vector<std::string> warnings_;
  std::string error_;
};

// Half of the machine's memory: what a run keeps of decoded frames unless told otherwise.
size_t defaultFrameBudget();

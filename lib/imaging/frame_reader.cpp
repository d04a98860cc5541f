#include "imaging/frame_reader.h"

#include "support/stopwatch.h"

#include <unistd.h>

FrameReader::FrameReader(size_t budgetBytes, Load load, Bounds bounds)
    : budget_(budgetBytes), load_(std::move(load)), bounds_(std::move(bounds)) {}

std::shared_ptr<const ShotFrame> FrameReader::frame(int input, int frame, std::string& error) {
  std::lock_guard<std::mutex> hold(lock_);
  const Key key{input, frame};
  auto found = kept_.find(key);
  if (found != kept_.end()) {
    ages_.splice(ages_.end(), ages_, found->second.age);
    return found->second.frame;
  }
  const auto start = SteadyClock::now();
  auto read = std::make_shared<ShotFrame>();
  std::vector<std::string> warnings;
  const bool ok = load_(input, frame, *read, warnings, error);
  seconds_ += secondsSince(start);
  ++reads_;
  warnings_.insert(warnings_.end(), warnings.begin(), warnings.end());
  if (!ok) {
    if (error_.empty()) error_ = error;
    return nullptr;
  }
  places_[key] = canvasBounds(read->image);
  Entry& entry = kept_[key];
  entry.frame = read;
  entry.bytes = read->image.pixels.size() * sizeof(float);
  entry.age = ages_.insert(ages_.end(), key);
  bytes_ += entry.bytes;
  evict();
  return read;
}

std::optional<PixelRect> FrameReader::bounds(int input, int frame) {
  std::lock_guard<std::mutex> hold(lock_);
  const Key key{input, frame};
  auto found = places_.find(key);
  if (found != places_.end()) return found->second;
  PixelRect place;
  std::string error;
  if (!bounds_(input, frame, place, error)) return std::nullopt;
  places_[key] = place;
  return place;
}

void FrameReader::hold(int frame) {
  std::lock_guard<std::mutex> hold(lock_);
  held_ = frame;
  evict();
}

// The least recently used frames go first, never those of the held frame.
void FrameReader::evict() {
  for (auto it = ages_.begin(); bytes_ > budget_ && it != ages_.end();) {
    if (it->second == held_) {
      ++it;
      continue;
    }
    auto entry = kept_.find(*it);
    bytes_ -= entry->second.bytes;
    kept_.erase(entry);
    it = ages_.erase(it);
  }
}

std::vector<std::string> FrameReader::takeWarnings() {
  std::lock_guard<std::mutex> hold(lock_);
  return std::exchange(warnings_, {});
}

std::string FrameReader::takeError() {
  std::lock_guard<std::mutex> hold(lock_);
  return std::exchange(error_, {});
}

double FrameReader::takeSeconds() {
  std::lock_guard<std::mutex> hold(lock_);
  return std::exchange(seconds_, 0.0);
}

int FrameReader::reads() const {
  std::lock_guard<std::mutex> hold(lock_);
  return reads_;
}

size_t defaultFrameBudget() {
  const long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || size <= 0) return size_t(4) << 30;
  return size_t(pages) * size_t(size) / 2;
}

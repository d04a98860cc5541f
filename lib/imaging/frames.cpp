#include "imaging/frames.h"

#include "support/paths.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace {

struct Placeholder {
  size_t begin = std::string::npos;
  size_t end = 0;
  int padding = 0;
};

// Finds the last placeholder, so a '#' or '%' in a directory name does not shadow the file's.
Placeholder findPlaceholder(const std::string& path) {
  Placeholder found;
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] == '#') {
      size_t j = i;
      while (j < path.size() && path[j] == '#') ++j;
      found = {i, j, int(j - i)};
      i = j - 1;
    } else if (path[i] == '%') {
      size_t j = i + 1;
      int padding = 0;
      bool digits = false;
      if (j < path.size() && path[j] == '0') {
        ++j;
        while (j < path.size() && std::isdigit(static_cast<unsigned char>(path[j])) && padding < 100) {
          padding = padding * 10 + (path[j] - '0');
          digits = true;
          ++j;
        }
        if (!digits) continue;
      }
      if (j < path.size() && path[j] == 'd') found = {i, j + 1, padding};
    }
  }
  return found;
}

bool parseFrameNumber(const std::string& text, int& out) {
  if (text.empty() || text.size() > 9) return false;
  long value = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    value = value * 10 + (c - '0');
  }
  out = int(value);
  return true;
}

}  // namespace

bool isFramePattern(const std::string& path) { return findPlaceholder(path).begin != std::string::npos; }

std::string expandFrame(const std::string& path, int frame) {
  const Placeholder p = findPlaceholder(path);
  if (p.begin == std::string::npos) return path;
  char number[128];
  std::snprintf(number, sizeof number, "%0*d", p.padding, frame);
  return path.substr(0, p.begin) + number + path.substr(p.end);
}

bool parseFrameRange(const std::string& text, FrameRange& out, std::string& error, const char* option) {
  const size_t dash = text.find('-');
  const std::string a = dash == std::string::npos ? text : text.substr(0, dash);
  const std::string b = dash == std::string::npos ? text : text.substr(dash + 1);
  FrameRange range;
  if (!parseFrameNumber(a, range.first) || !parseFrameNumber(b, range.last)) {
    error = std::string(option) + " '" + text + "': expected A-B or A with non-negative frame numbers";
    return false;
  }
  if (range.last < range.first) {
    error = std::string(option) + " '" + text + "': the last frame comes before the first";
    return false;
  }
  out = range;
  return true;
}

std::vector<int> framesOnDisk(const std::string& pattern, const FrameRange& around) {
  std::vector<int> frames;
  if (!isFramePattern(pattern)) return frames;
  const std::string folder = folderOf(pattern);
  const std::string name = std::filesystem::path(pattern).filename().string();
  const Placeholder p = findPlaceholder(name);
  if (p.begin == std::string::npos) {
    auto onDisk = [&](int frame) {
      std::error_code ec;
      return std::filesystem::is_regular_file(expandFrame(pattern, frame), ec);
    };
    for (int f = around.first; f <= around.last; ++f)
      if (onDisk(f)) frames.push_back(f);
    if (frames.empty()) return frames;
    for (int f = around.first - 1; f >= 0 && onDisk(f); --f) frames.insert(frames.begin(), f);
    for (int f = around.last + 1; f < INT_MAX && onDisk(f); ++f) frames.push_back(f);
    return frames;
  }
  // The files of the folder that the pattern names, with the number as the pattern writes it and
  // nothing else: padding and all.
  const std::string prefix = name.substr(0, p.begin), suffix = name.substr(p.end);
  std::error_code ec;
  for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string file = it->path().filename().string();
    if (file.size() <= prefix.size() + suffix.size() || file.compare(0, prefix.size(), prefix) != 0 ||
        file.compare(file.size() - suffix.size(), suffix.size(), suffix) != 0)
      continue;
    int frame = 0;
    if (parseFrameNumber(file.substr(prefix.size(), file.size() - prefix.size() - suffix.size()), frame) &&
        expandFrame(name, frame) == file)
      frames.push_back(frame);
  }
  std::sort(frames.begin(), frames.end());
  return frames;
}

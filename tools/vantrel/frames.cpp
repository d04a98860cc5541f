#include "frames.h"

#include <cctype>
#include <climits>
#include <cstdio>

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

bool parseFrameRange(const std::string& text, FrameRange& out, std::string& error) {
  const size_t dash = text.find('-');
  const std::string a = dash == std::string::npos ? text : text.substr(0, dash);
  const std::string b = dash == std::string::npos ? text : text.substr(dash + 1);
  FrameRange range;
  if (!parseFrameNumber(a, range.first) || !parseFrameNumber(b, range.last)) {
    error = "--frames '" + text + "': expected A-B or A with non-negative frame numbers";
    return false;
  }
  if (range.last < range.first) {
    error = "--frames '" + text + "': the last frame comes before the first";
    return false;
  }
  out = range;
  return true;
}

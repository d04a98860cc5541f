#include "progress.h"

#include "support/stopwatch.h"

#include <cmath>

Progress startProgress(int totalFrames, FILE* stream, bool terminal) {
  Progress p;
  p.stream = stream;
  p.terminal = terminal;
  p.total = totalFrames;
  p.start = std::chrono::steady_clock::now();
  return p;
}

std::string formatDuration(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0) return "?";
  const long s = long(std::lround(seconds));
  char text[32];
  if (s >= 3600)
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, (s / 60) % 60, s % 60);
  else
    std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  return text;
}

std::string progressLine(const Progress& p, int frame, double elapsed) {
  const double fps = elapsed > 0 ? p.done / elapsed : 0.0;
  const double left = fps > 0 ? (p.total - p.done) / fps : -1.0;
  char text[160];
  if (p.terminal) {
    const int width = 30;
    const int filled = p.total > 0 ? p.done * width / p.total : width;
    std::string bar(size_t(filled), '#');
    bar.append(size_t(width - filled), '-');
    std::snprintf(text, sizeof text, "[%s] %d/%d frames  %.2f fps  %s left", bar.c_str(), p.done, p.total, fps,
                  formatDuration(left).c_str());
  } else {
    std::snprintf(text, sizeof text, "vantrel: frame %d done (%d/%d, %.2f fps, %s left)", frame, p.done, p.total, fps,
                  formatDuration(left).c_str());
  }
  return text;
}

void reportFrame(Progress& p, int frame) {
  ++p.done;
  const std::string line = progressLine(p, frame, secondsSince(p.start));
  if (p.terminal)
    std::fprintf(p.stream, "\r%s\033[K", line.c_str());
  else
    std::fprintf(p.stream, "%s\n", line.c_str());
  std::fflush(p.stream);
}

void finishProgress(Progress& p) {
  const double elapsed = secondsSince(p.start);
  if (p.terminal) std::fprintf(p.stream, "\n");
  std::fprintf(p.stream, "vantrel: %d frame%s in %.2f s (%.2f fps)\n", p.done, p.done == 1 ? "" : "s", elapsed,
               elapsed > 0 ? p.done / elapsed : 0.0);
  std::fflush(p.stream);
}

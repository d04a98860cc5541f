// Capturing what a plug-in writes to file descriptor 2 during one call.
#include <unistd.h>

#include <cstdio>
#include <mutex>

#include "host_testing.h"

namespace ofxhost {

namespace {

// fd 2 is process-wide: one capture at a time.
std::mutex gCaptureLock;

// Puts fd 2 back even if fn throws.
struct Restore {
  int saved;
  ~Restore() {
    std::fflush(stderr);
    if (saved >= 0) {
      dup2(saved, 2);
      close(saved);
    }
  }
};

}  // namespace

std::string captureStderr(const std::function<void()>& fn) {
  std::lock_guard lk(gCaptureLock);
  std::fflush(stderr);
  std::FILE* tmp = std::tmpfile();
  const int saved = tmp ? dup(2) : -1;
  if (tmp == nullptr || saved < 0 || dup2(fileno(tmp), 2) < 0) {
    // Nothing to capture into: still run the call, uncaptured.
    if (saved >= 0) close(saved);
    if (tmp) std::fclose(tmp);
    fn();
    return {};
  }
  {
    Restore restore{saved};
    fn();
  }
  std::string out;
  std::rewind(tmp);
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, tmp)) > 0) out.append(buf, n);
  std::fclose(tmp);
  return out;
}

}  // namespace ofxhost

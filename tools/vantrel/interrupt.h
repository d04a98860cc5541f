// Stopping a run on SIGINT, SIGTERM or SIGHUP without leaving partial files behind.
//
// The first signal only asks the run to stop: the render loop looks at interruptSignal()
// between tiles and steps, so every temporary file is removed by the code that made it and the
// plug-in finishes any export it is writing. A second signal ends the process at once, after
// removing the temporary files registered below. Either way the exit status is 128 + signal.
#pragma once

#include <string>

void installInterruptHandlers();
// The signal that asked the run to stop, or 0.
int interruptSignal();
const char* signalName(int signal);

// A file being written under a temporary name. It is removed when the object goes away unless
// keep() was called (after it was renamed into place), and by a second signal.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::string path);
  ~TemporaryFile();
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  const std::string& path() const { return path_; }
  void keep();

 private:
  std::string path_;
  int slot_ = -1;
  bool kept_ = false;
};

// The plug-in's diagnostic lines ("Vantrel: ..."), which it writes straight to standard error, kept
// from the terminal while it works for Python and handed to the module to log. Everything else
// written to standard error meanwhile (other threads, child processes) goes on at once.
#pragma once

#include <string>
#include <vector>

namespace pyvantrel {

// While one lives, descriptor 2 goes through a pipe that a thread of the module reads; captures
// may overlap (sessions on several threads): the first starts it, the last puts descriptor 2 back.
// Without a pipe (no descriptors left) nothing is captured and the lines go out as before.
class LineCapture {
 public:
  LineCapture();
  ~LineCapture();
  LineCapture(const LineCapture&) = delete;
  LineCapture& operator=(const LineCapture&) = delete;
  // The plug-in's lines read so far, without their prefix and line feed; the last capture to
  // end gets every line written before it ended.
  std::vector<std::string> finish();

 private:
  bool finished_ = false;
};

}  // namespace pyvantrel

// A picture lent to the plug-in as it is, without a copy.
#pragma once

#include "host/ofx_host.h"

#include <memory>

// Packed float samples with rows from the top, as files and NumPy arrays hold them: 1 (alpha),
// 3 (RGB) or 4 (RGBA) channels, the lower-left corner at (x, y) on the canvas.
struct Pixels {
  const float* data = nullptr;
  int width = 0, height = 0, channels = 0;
  int x = 0, y = 0;
};

// Rows run bottom-up for the host, so the view starts at the last row with a negative stride.
// The plug-in only writes its Output: an input's pixels are read, never changed.
std::shared_ptr<ofxhost::Image> hostView(const Pixels& pixels);

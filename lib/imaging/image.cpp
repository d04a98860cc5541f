#include "imaging/image.h"

void placeLike(const Image& from, Image& to) {
  to.width = from.width;
  to.height = from.height;
  to.x = from.x;
  to.y = from.y;
  to.fullX = from.fullX;
  to.fullY = from.fullY;
  to.fullWidth = from.fullWidth;
  to.fullHeight = from.fullHeight;
}

bool isIntegerDepth(SampleDepth depth) { return depth == SampleDepth::UInt8 || depth == SampleDepth::UInt16; }

PixelRect canvasBounds(const Image& image) {
  const int fullHeight = image.fullWidth > 0 ? image.fullHeight : image.height;
  const int fullX = image.fullWidth > 0 ? image.fullX : image.x;
  const int fullY = image.fullWidth > 0 ? image.fullY : image.y;
  PixelRect r;
  r.x1 = image.x - fullX;
  r.x2 = r.x1 + image.width;
  r.y2 = fullY + fullHeight - image.y;
  r.y1 = r.y2 - image.height;
  return r;
}

bool parseDepth(const std::string& text, SampleDepth& out) {
  if (text == "8")
    out = SampleDepth::UInt8;
  else if (text == "16")
    out = SampleDepth::UInt16;
  else if (text == "half")
    out = SampleDepth::Half;
  else if (text == "float" || text == "32")
    out = SampleDepth::Float;
  else
    return false;
  return true;
}

const char* depthName(SampleDepth depth) {
  switch (depth) {
    case SampleDepth::UInt8:
      return "8-bit";
    case SampleDepth::UInt16:
      return "16-bit";
    case SampleDepth::Half:
      return "half float";
    case SampleDepth::Float:
      return "float";
    default:
      return "unknown";
  }
}

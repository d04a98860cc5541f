#include "plugin/host_images.h"

#include <cstdio>
#include <cstring>

#include "plugin/messages.h"
#include "plugin/plugin.h"

namespace {

const char* readString(OfxPropertySetHandle image, const char* name) {
  char* value = nullptr;
  gPropSuite->propGetString(image, name, 0, &value);
  return value;
}

}  // namespace

PixelDepth pixelDepthFromName(const char* name) {
  if (name == nullptr) return PixelDepth::Unsupported;
  if (std::strcmp(name, kOfxBitDepthFloat) == 0) return PixelDepth::Float;
  if (std::strcmp(name, kOfxBitDepthShort) == 0) return PixelDepth::Short;
  if (std::strcmp(name, kOfxBitDepthByte) == 0) return PixelDepth::Byte;
  return PixelDepth::Unsupported;
}

int32_t componentCountFromName(const char* name) {
  if (name == nullptr) return 0;
  if (std::strcmp(name, kOfxImageComponentRGBA) == 0) return 4;
  if (std::strcmp(name, kOfxImageComponentRGB) == 0) return 3;
  if (std::strcmp(name, kOfxImageComponentAlpha) == 0) return 1;
  return 0;
}

ImageView describeImage(OfxPropertySetHandle image, bool isMask) {
  ImageView view;
  void* data = nullptr;
  gPropSuite->propGetPointer(image, kOfxImagePropData, 0, &data);
  view.data = static_cast<unsigned char*>(data);
  gPropSuite->propGetInt(image, kOfxImagePropRowBytes, 0, &view.rowBytes);
  int bounds[4] = {0, 0, 0, 0};
  gPropSuite->propGetIntN(image, kOfxImagePropBounds, 4, bounds);
  view.bounds = Rect{bounds[0], bounds[1], bounds[2], bounds[3]};
  view.depth = pixelDepthFromName(readString(image, kOfxImageEffectPropPixelDepth));
  const int32_t components = componentCountFromName(readString(image, kOfxImageEffectPropComponents));
  view.components = isMask ? (components == 0 ? 4 : components) : components;
  return view;
}

OfxStatus checkImage(const ImageView& image, const char* clip, bool isMask) {
  const bool componentsOk = isMask || image.components == 3 || image.components == 4;
  char line[160];
  if (image.depth == PixelDepth::Unsupported || !componentsOk) {
    std::snprintf(line, sizeof line, "Vantrel: Unsupported pixel format on clip %s - render refused\n", clip);
    logLine(line);
    return kOfxStatErrUnsupported;
  }
  // A mask image without pixel data is a mask that weighs nothing out: the engine reads a null
  // mask pointer as no mask, while the mask's presence still counts for the cache.
  if (isMask && image.data == nullptr) return kOfxStatOK;
  if (!hasSaneLayout(image)) {
    std::snprintf(line, sizeof line, "Vantrel: Invalid image layout on clip %s - render refused\n", clip);
    logLine(line);
    return kOfxStatFailed;
  }
  return kOfxStatOK;
}

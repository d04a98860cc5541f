#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>

#include "photo_loader.h"

bool loadTestPhoto(const std::string& path, int width, int height, std::vector<float>& rgb, std::string& error) {
  namespace OIIO = OIIO_NAMESPACE;
  // OpenImageIO's own worker threads are not instrumented: keep them out of sanitizer runs.
  OIIO::attribute("threads", 1);
  OIIO::ImageBuf file(path);
  const OIIO::ROI roi(0, width, 0, height, 0, 1, 0, 3);
  OIIO::ImageBuf scaled = OIIO::ImageBufAlgo::resize(file, "", 0.0f, roi);
  rgb.assign(size_t(width) * height * 3, 0.0f);
  if (scaled.has_error()) {
    error = scaled.geterror();
    return false;
  }
  scaled.get_pixels(roi, OIIO::TypeDesc::FLOAT, rgb.data());
  return true;
}

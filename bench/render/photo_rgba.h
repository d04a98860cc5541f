// A photograph of the repository scaled to width x height, as float RGBA (alpha 1), for the
// benchmarks that render through the module.
#pragma once

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

inline std::vector<float> photoRGBA(const char* name, int width, int height) {
  namespace OIIO = OIIO_NAMESPACE;
  OIIO::ImageBuf file(std::string(VANTREL_PHOTOS) + "/" + name);
  const OIIO::ROI roi(0, width, 0, height, 0, 1, 0, 3);
  OIIO::ImageBuf scaled = OIIO::ImageBufAlgo::resize(file, "", 0.0f, roi);
  if (scaled.has_error()) throw std::runtime_error(scaled.geterror());
  const size_t pixels = size_t(width) * size_t(height);
  std::vector<float> rgb(pixels * 3), rgba(pixels * 4, 1.0f);
  scaled.get_pixels(roi, OIIO::TypeDesc::FLOAT, rgb.data());
  for (size_t p = 0; p < pixels; ++p) std::memcpy(&rgba[p * 4], &rgb[p * 3], 12);
  return rgba;
}

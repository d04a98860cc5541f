#include "photos.h"

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>

FloatImage loadPhoto(const std::string& name, int32_t width, int32_t height) {
  FloatImage image;
  OIIO::ImageBuf file(std::string(VANTREL_PHOTO_DIR) + "/" + name);
  if (!file.read(0, 0, true, OIIO::TypeDesc::FLOAT)) return image;
  OIIO::ImageBuf sized = file;
  if (width > 0 && height > 0 && (width != file.spec().width || height != file.spec().height)) {
    OIIO::ROI roi(0, width, 0, height, 0, 1, 0, file.nchannels());
    sized = OIIO::ImageBufAlgo::resize(file, "", 0.0f, roi);
  }
  const int nch = sized.nchannels();
  image.width = sized.spec().width;
  image.height = sized.spec().height;
  std::vector<float> raw(size_t(image.width) * image.height * nch);
  if (!sized.get_pixels(OIIO::ROI::All(), OIIO::TypeDesc::FLOAT, raw.data())) return FloatImage{};
  image.pixels.assign(size_t(image.width) * image.height * 4, 1.0f);
  for (size_t i = 0; i < size_t(image.width) * image.height; ++i) {
    for (int c = 0; c < 3; ++c) image.pixels[i * 4 + c] = raw[i * nch + (nch >= 3 ? c : 0)];
  }
  return image;
}

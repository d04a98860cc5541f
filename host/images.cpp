// Host-owned image buffers: making them from float RGBA and reading them back.
#include <Imath/half.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "ofx_host.h"

namespace ofxhost {

const char* depthName(PixelDepth d) {
  switch (d) {
    case PixelDepth::Byte:
      return kOfxBitDepthByte;
    case PixelDepth::Short:
      return kOfxBitDepthShort;
    case PixelDepth::Half:
      return kOfxBitDepthHalf;
    case PixelDepth::Float:
      return kOfxBitDepthFloat;
  }
  return "";
}

const char* componentsName(Components c) {
  switch (c) {
    case Components::RGBA:
      return kOfxImageComponentRGBA;
    case Components::RGB:
      return kOfxImageComponentRGB;
    case Components::Alpha:
      return kOfxImageComponentAlpha;
  }
  return "";
}

std::optional<PixelDepth> depthFromName(const std::string& s) {
  for (PixelDepth d : {PixelDepth::Byte, PixelDepth::Short, PixelDepth::Half, PixelDepth::Float})
    if (s == depthName(d)) return d;
  return std::nullopt;
}

std::optional<Components> componentsFromName(const std::string& s) {
  for (Components c : {Components::RGBA, Components::RGB, Components::Alpha})
    if (s == componentsName(c)) return c;
  return std::nullopt;
}

int bytesPerComponent(PixelDepth d) {
  switch (d) {
    case PixelDepth::Byte:
      return 1;
    case PixelDepth::Short:
      return 2;
    case PixelDepth::Half:
      return 2;
    case PixelDepth::Float:
      return 4;
  }
  return 4;
}

int componentCount(Components c) {
  switch (c) {
    case Components::RGBA:
      return 4;
    case Components::RGB:
      return 3;
    case Components::Alpha:
      return 1;
  }
  return 4;
}

namespace {

void writeComponent(unsigned char* at, PixelDepth d, float v) {
  switch (d) {
    case PixelDepth::Byte: {
      float c = std::isnan(v) ? 0.0f : std::clamp(v, 0.0f, 1.0f);
      *at = static_cast<unsigned char>(std::lround(c * 255.0f));
      break;
    }
    case PixelDepth::Short: {
      float c = std::isnan(v) ? 0.0f : std::clamp(v, 0.0f, 1.0f);
      uint16_t s = static_cast<uint16_t>(std::lround(c * 65535.0f));
      std::memcpy(at, &s, 2);
      break;
    }
    case PixelDepth::Half: {
      uint16_t bits = Imath::half(v).bits();
      std::memcpy(at, &bits, 2);
      break;
    }
    case PixelDepth::Float:
      std::memcpy(at, &v, 4);
      break;
  }
}

float readComponent(const unsigned char* at, PixelDepth d) {
  switch (d) {
    case PixelDepth::Byte:
      return *at / 255.0f;
    case PixelDepth::Short: {
      uint16_t s;
      std::memcpy(&s, at, 2);
      return s / 65535.0f;
    }
    case PixelDepth::Half: {
      Imath::half h;
      uint16_t bits;
      std::memcpy(&bits, at, 2);
      h.setBits(bits);
      return static_cast<float>(h);
    }
    case PixelDepth::Float: {
      float f;
      std::memcpy(&f, at, 4);
      return f;
    }
  }
  return 0.0f;
}

bool validBounds(OfxRectI b) {
  // Width and height must be positive and the pixel count must stay well inside int.
  if (b.x2 <= b.x1 || b.y2 <= b.y1) return false;
  const long long w = static_cast<long long>(b.x2) - b.x1;
  const long long h = static_cast<long long>(b.y2) - b.y1;
  return w <= (1 << 20) && h <= (1 << 20) && w * h <= (1LL << 28);
}

}  // namespace

std::shared_ptr<Image> makeBlankImage(OfxRectI bounds, const ImageLayout& layout) {
  if (!validBounds(bounds) || layout.rowPadding < 0) return nullptr;
  auto img = std::make_shared<Image>();
  img->bounds = bounds;
  img->depth = layout.depth;
  img->components = layout.components;
  const int pixelBytes = bytesPerComponent(layout.depth) * componentCount(layout.components);
  const int stride = img->width() * pixelBytes + layout.rowPadding;
  img->storage.assign(static_cast<size_t>(stride) * img->height(), 0);
  if (layout.negativeRowBytes) {
    img->rowBytes = -stride;
    img->data = img->storage.data() + static_cast<size_t>(stride) * (img->height() - 1);
  } else {
    img->rowBytes = stride;
    img->data = img->storage.data();
  }
  return img;
}

std::shared_ptr<Image> makeImage(const std::vector<float>& rgba, OfxRectI bounds, const ImageLayout& layout) {
  auto img = makeBlankImage(bounds, layout);
  if (!img) return nullptr;
  const int w = img->width(), h = img->height();
  if (rgba.size() != static_cast<size_t>(w) * h * 4) return nullptr;
  const int nc = componentCount(layout.components);
  const int bpc = bytesPerComponent(layout.depth);
  for (int y = 0; y < h; ++y) {
    auto* row = static_cast<unsigned char*>(img->data) + static_cast<ptrdiff_t>(y) * img->rowBytes;
    for (int x = 0; x < w; ++x) {
      const float* src = &rgba[(static_cast<size_t>(y) * w + x) * 4];
      unsigned char* px = row + static_cast<size_t>(x) * nc * bpc;
      if (layout.components == Components::Alpha) {
        writeComponent(px, layout.depth, src[3]);
      } else {
        for (int c = 0; c < nc; ++c) writeComponent(px + c * bpc, layout.depth, src[c]);
      }
    }
  }
  return img;
}

std::vector<float> readImageRGBA(const Image& img) {
  const int w = img.width(), h = img.height();
  if (w <= 0 || h <= 0 || img.data == nullptr) return {};
  std::vector<float> out(static_cast<size_t>(w) * h * 4);
  const int nc = componentCount(img.components);
  const int bpc = bytesPerComponent(img.depth);
  for (int y = 0; y < h; ++y) {
    auto* row = static_cast<const unsigned char*>(img.data) + static_cast<ptrdiff_t>(y) * img.rowBytes;
    for (int x = 0; x < w; ++x) {
      const unsigned char* px = row + static_cast<size_t>(x) * nc * bpc;
      float* dst = &out[(static_cast<size_t>(y) * w + x) * 4];
      if (img.components == Components::Alpha) {
        const float a = readComponent(px, img.depth);
        dst[0] = dst[1] = dst[2] = dst[3] = a;
      } else {
        for (int c = 0; c < 3; ++c) dst[c] = readComponent(px + c * bpc, img.depth);
        dst[3] = nc == 4 ? readComponent(px + 3 * bpc, img.depth) : 1.0f;
      }
    }
  }
  return out;
}

}  // namespace ofxhost

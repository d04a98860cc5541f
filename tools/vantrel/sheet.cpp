#include "sheet.h"

#include "colour.h"
#include "interrupt.h"
#include "output_file.h"

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>
#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

namespace {

const char* const kFont = "DejaVuSans";
const float kBackground[3] = {0.02f, 0.02f, 0.02f};
const float kText[3] = {0.8f, 0.8f, 0.8f};

// One axis of an area resampling: output sample i averages the input over [i, i + 1) * scale,
// each input sample weighted by how much of it falls inside.
struct Span {
  int first = 0;
  std::vector<float> weights;
};

std::vector<Span> spans(int from, int to) {
  std::vector<Span> result(static_cast<size_t>(to));
  const double scale = double(from) / double(to);
  for (int i = 0; i < to; ++i) {
    const double a = i * scale, b = std::min(double(from), (i + 1) * scale);
    Span& span = result[size_t(i)];
    span.first = std::min(from - 1, int(a));
    for (int j = span.first; j < from && j < b; ++j)
      span.weights.push_back(float((std::min(b, j + 1.0) - std::max(a, double(j))) / (b - a)));
  }
  return result;
}

using Floats8 = float __attribute__((vector_size(32)));

// The colour channels of `image` averaged down (or spread up) to width x height.
Image resampled(const Image& image, int width, int height) {
  const size_t channels = size_t(image.channels), rowFloats = size_t(image.width) * channels;
  const std::vector<Span> across = spans(image.width, width), down = spans(image.height, height);
  // Columns first, whole rows at a time, into an image.width x height image; then rows.
  std::vector<float> columns(rowFloats * size_t(height), 0.0f);
  for (int y = 0; y < height; ++y) {
    const Span& span = down[size_t(y)];
    float* out = &columns[size_t(y) * rowFloats];
    for (size_t k = 0; k < span.weights.size(); ++k) {
      const float* in = &image.pixels[size_t(span.first + int(k)) * rowFloats];
      const float w = span.weights[k];
      size_t i = 0;
      for (; i + 8 <= rowFloats; i += 8) {  // eight at a time, in vector registers
        Floats8 sum, add;
        std::memcpy(&sum, out + i, sizeof sum);
        std::memcpy(&add, in + i, sizeof add);
        sum += w * add;
        std::memcpy(out + i, &sum, sizeof sum);
      }
      for (; i < rowFloats; ++i) out[i] += w * in[i];
    }
  }
  const size_t order[3] = {0, std::min<size_t>(1, channels - 1), std::min<size_t>(2, channels - 1)};
  Image panel;
  panel.width = width;
  panel.height = height;
  panel.channels = 3;
  panel.pixels.assign(size_t(width) * size_t(height) * 3, 0.0f);
  for (int y = 0; y < height; ++y) {
    const float* in = &columns[size_t(y) * rowFloats];
    float* out = &panel.pixels[size_t(y) * size_t(width) * 3];
    for (int x = 0; x < width; ++x) {
      const Span& span = across[size_t(x)];
      for (size_t k = 0; k < span.weights.size(); ++k)
        for (size_t c = 0; c < 3; ++c)
          out[size_t(x) * 3 + c] += span.weights[k] * in[size_t(span.first + int(k)) * channels + order[c]];
    }
  }
  return panel;
}

// 8-bit sRGB codes of linear Rec.709 values, without a power per value: code k covers the
// values from the decoding of (k - 0.5) / 255 up to that of (k + 0.5) / 255, which is the exact
// encoding rounded. A coarse table gives the code near a value, the bounds settle it.
class SrgbCodes {
 public:
  SrgbCodes() {
    std::vector<float> bounds(256 * 3);
    for (int k = 1; k < 256; ++k) bounds[size_t(k) * 3] = (float(k) - 0.5f) / 255.0f;
    srgbDecode(bounds.data(), 256, 3);
    for (int k = 1; k < 256; ++k) start_[k] = bounds[size_t(k) * 3];
    start_[0] = -std::numeric_limits<float>::infinity();
    int code = 0;
    for (int i = 0; i <= kSteps; ++i) {
      while (code < 255 && float(i) / kSteps >= start_[code + 1]) ++code;
      near_[i] = (unsigned char)code;
    }
  }
  unsigned char operator()(float v) const {
    if (!(v > 0.0f)) return 0;  // NaN too
    if (v >= 1.0f) return 255;
    int code = near_[int(v * kSteps)];
    while (code < 255 && v >= start_[code + 1]) ++code;
    while (code > 0 && v < start_[code]) --code;
    return (unsigned char)code;
  }

 private:
  static constexpr int kSteps = 4096;
  float start_[256];
  unsigned char near_[kSteps + 1];
};

const SrgbCodes& srgbCodes() {
  static const SrgbCodes codes;
  return codes;
}

void encodeInto(const std::vector<float>& colours, unsigned char* codes) {
  const SrgbCodes& encode = srgbCodes();
  for (size_t i = 0; i < colours.size(); ++i) codes[i] = encode(colours[i]);
}

// A panel of the sheet in 8-bit sRGB: the picture resampled in its own space, then converted.
std::vector<unsigned char> panelCodes(const Image& image, int width, int height, const Conversion* toLinear) {
  Image panel = resampled(image, width, height);
  if (toLinear) toLinear->apply(panel);
  std::vector<unsigned char> codes(panel.pixels.size());
  encodeInto(panel.pixels, codes.data());
  return codes;
}

// Written beside the target and moved into place once complete, as every output.
bool writePng(const std::string& path, const OIIO::ImageSpec& spec, const unsigned char* pixels, std::string& error) {
  auto out = OIIO::ImageOutput::create(path);
  if (!out) {
    error = "cannot write '" + path + "': " + OIIO::geterror();
    return false;
  }
  TemporaryFile temporary(temporaryPathFor(outputDestination(path)));
  bool ok = out->open(temporary.path(), spec) && out->write_image(OIIO::TypeDesc::UINT8, pixels);
  ok = out->close() && ok;
  if (!ok) {
    error = "cannot write '" + path + "': " + out->geterror();
    return false;
  }
  if (!moveIntoPlace(temporary.path(), path, error)) return false;
  temporary.keep();
  return true;
}

}  // namespace

SheetLayout sheetLayout(const Image& source, const Image& reference, const Image& output, size_t lines) {
  SheetLayout layout;
  const Image* panels[3] = {&source, &reference, &output};
  int width = layout.margin;
  for (int i = 0; i < 3; ++i) {
    const Image& p = *panels[i];
    const double aspect = p.height > 0 ? double(p.width) / double(p.height) : 1.0;
    layout.panelWidth[i] = std::max(1, int(std::lround(aspect * layout.panelHeight)));
    width += layout.panelWidth[i] + layout.margin;
  }
  layout.width = std::max(width, layout.minimumWidth);
  layout.height = layout.margin + layout.labelHeight + layout.panelHeight + layout.margin +
                  int(lines) * layout.lineHeight + layout.margin;
  return layout;
}

bool writeSheet(const std::string& path, const Image& source, const Image& reference, const Image& output,
                const std::vector<std::string>& lines, const Conversion* toLinear, int threads, std::string& error) {
  const SheetLayout layout = sheetLayout(source, reference, output, lines.size());
  // Composed in 8-bit sRGB code values: only the panels' pixels are converted and encoded.
  OIIO::ImageSpec spec(layout.width, layout.height, 3, OIIO::TypeDesc::UINT8);
  spec.attribute("oiio:ColorSpace", "sRGB");
  // A sheet may be written every frame, and compressing it would cost more than the frame's
  // figures: stored as it is (no per-row filter, deflate without compression).
  spec.attribute("png:compressionLevel", 0);
  spec.attribute("png:filter", 0x08);
  std::vector<unsigned char> pixels(size_t(layout.width) * size_t(layout.height) * 3);
  unsigned char codes[6];
  encodeInto({kBackground[0], kBackground[1], kBackground[2], kText[0], kText[1], kText[2]}, codes);
  for (size_t i = 0; i < pixels.size(); i += 3) std::copy_n(codes, 3, &pixels[i]);
  const float text[3] = {codes[3] / 255.0f, codes[4] / 255.0f, codes[5] / 255.0f};
  OIIO::ImageBuf sheet(spec, pixels.data());

  // The three panels side by side in time too, as far as `threads` allows.
  const Image* panels[3] = {&source, &reference, &output};
  std::vector<unsigned char> codesOf[3];
  auto makePanel = [&](int i) {
    if (panels[i]->width > 0 && panels[i]->height > 0)
      codesOf[i] = panelCodes(*panels[i], layout.panelWidth[i], layout.panelHeight, toLinear);
  };
  std::vector<std::thread> helpers;
  for (int i = 1; i < 3 && i < threads; ++i) helpers.emplace_back(makePanel, i);
  for (int i = int(helpers.size()) + 1; i < 3; ++i) makePanel(i);
  makePanel(0);
  for (std::thread& helper : helpers) helper.join();

  const char* labels[3] = {"Source", "Reference", "Output"};
  int x = layout.margin;
  const int panelTop = layout.margin + layout.labelHeight;
  bool ok = true;
  for (int i = 0; i < 3; ++i) {
    ok = ok && OIIO::ImageBufAlgo::render_text(sheet, x, panelTop - 8, labels[i], 20, kFont, text);
    for (int row = 0; row < layout.panelHeight && !codesOf[i].empty(); ++row)
      std::copy_n(&codesOf[i][size_t(row) * size_t(layout.panelWidth[i]) * 3], size_t(layout.panelWidth[i]) * 3,
                  &pixels[(size_t(panelTop + row) * size_t(layout.width) + size_t(x)) * 3]);
    x += layout.panelWidth[i] + layout.margin;
  }
  int baseline = panelTop + layout.panelHeight + layout.margin + layout.lineHeight - 6;
  for (const std::string& line : lines) {
    ok = ok && OIIO::ImageBufAlgo::render_text(sheet, layout.margin, baseline, line, 16, kFont, text);
    baseline += layout.lineHeight;
  }
  if (!ok) {
    error = "cannot draw the sheet '" + path + "': " + sheet.geterror();
    return false;
  }
  return writePng(path, spec, pixels.data(), error);
}

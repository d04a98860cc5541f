#include "sheet.h"

#include "colour.h"

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>

#include <algorithm>
#include <cmath>

namespace {

const char* const kFont = "DejaVuSans";
const float kBackground[3] = {0.02f, 0.02f, 0.02f};
const float kText[3] = {0.8f, 0.8f, 0.8f};

// The colour channels of a panel, scaled to the panel's size.
OIIO::ImageBuf scaledPanel(const Image& image, int width, int height) {
  OIIO::ImageSpec layout(image.width, image.height, image.channels, OIIO::TypeDesc::FLOAT);
  OIIO::ImageBuf wrapped(layout, const_cast<float*>(image.pixels.data()));
  const int order[3] = {0, std::min(1, image.channels - 1), std::min(2, image.channels - 1)};
  OIIO::ImageBuf rgb = OIIO::ImageBufAlgo::channels(wrapped, 3, order);
  OIIO::ImageBuf scaled(OIIO::ImageSpec(width, height, 3, OIIO::TypeDesc::FLOAT));
  OIIO::ImageBufAlgo::resize(scaled, rgb);
  return scaled;
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
                const std::vector<std::string>& lines, std::string& error) {
  const SheetLayout layout = sheetLayout(source, reference, output, lines.size());
  OIIO::ImageBuf sheet(OIIO::ImageSpec(layout.width, layout.height, 3, OIIO::TypeDesc::FLOAT));
  OIIO::ImageBufAlgo::fill(sheet, kBackground);

  const Image* panels[3] = {&source, &reference, &output};
  const char* labels[3] = {"Source", "Reference", "Output"};
  int x = layout.margin;
  const int panelTop = layout.margin + layout.labelHeight;
  bool ok = true;
  for (int i = 0; i < 3; ++i) {
    ok = ok && OIIO::ImageBufAlgo::render_text(sheet, x, panelTop - 8, labels[i], 20, kFont, kText);
    if (panels[i]->width > 0 && panels[i]->height > 0) {
      OIIO::ImageBuf panel = scaledPanel(*panels[i], layout.panelWidth[i], layout.panelHeight);
      ok = ok && OIIO::ImageBufAlgo::paste(sheet, x, panelTop, 0, 0, panel);
    }
    x += layout.panelWidth[i] + layout.margin;
  }
  int baseline = panelTop + layout.panelHeight + layout.margin + layout.lineHeight - 6;
  for (const std::string& line : lines) {
    ok = ok && OIIO::ImageBufAlgo::render_text(sheet, layout.margin, baseline, line, 16, kFont, kText);
    baseline += layout.lineHeight;
  }
  if (!ok) {
    error = "cannot draw the sheet '" + path + "': " + sheet.geterror();
    return false;
  }

  Image image;
  image.width = layout.width;
  image.height = layout.height;
  image.channels = 3;
  image.depth = SampleDepth::UInt8;
  image.pixels.resize(size_t(layout.width) * size_t(layout.height) * 3);
  sheet.get_pixels(OIIO::ROI::All(), OIIO::TypeDesc::FLOAT, image.pixels.data());
  srgbEncode(image.pixels.data(), size_t(layout.width) * size_t(layout.height), 3);
  WriteSettings settings;
  settings.keepAlpha = false;
  settings.colourSpace = "sRGB";
  return writeColorImage(path, image, settings, error);
}

#include "imaging/sheet.h"

#include "imaging/colour.h"
#include "imaging/safe_file.h"
#include "support/tasks.h"

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>
#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
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

void encodeInto(const float* colours, size_t count, unsigned char* codes) {
  const SrgbCodes& encode = srgbCodes();
  for (size_t i = 0; i < count; ++i) codes[i] = encode(colours[i]);
}

using Floats8 = float __attribute__((vector_size(32)));

// One panel of the sheet: the picture, where its panel lies and how each axis is averaged.
struct Panel {
  const Image* image = nullptr;
  int left = 0, top = 0, width = 0, height = 0;
  std::vector<Span> across, down;
};

// Panel rows [first, last) straight into the sheet's 8-bit sRGB codes (`sheetWidth` pixels a
// row): each row of the picture's colour channels averaged down, whole input rows at a time,
// then across; only the averages are converted into linear Rec.709 and encoded. A band needs
// one input row's worth of sums, so the picture is read once, however large.
void drawPanelRows(const Panel& panel, int first, int last, const Conversion* toLinear, int sheetWidth,
                   unsigned char* sheet) {
  const Image& image = *panel.image;
  const size_t channels = size_t(image.channels), rowFloats = size_t(image.width) * channels;
  const size_t order[3] = {0, std::min<size_t>(1, channels - 1), std::min<size_t>(2, channels - 1)};
  const size_t bandFloats = size_t(panel.width) * 3;
  std::vector<float> column(rowFloats), rgb(bandFloats * size_t(last - first), 0.0f);
  for (int y = first; y < last; ++y) {
    const Span& span = panel.down[size_t(y)];
    std::fill(column.begin(), column.end(), 0.0f);
    float* sum = column.data();
    for (size_t k = 0; k < span.weights.size(); ++k) {
      const float* in = &image.pixels[size_t(span.first + int(k)) * rowFloats];
      const float w = span.weights[k];
      size_t i = 0;
      for (; i + 8 <= rowFloats; i += 8) {  // eight at a time, in vector registers
        Floats8 acc, add;
        std::memcpy(&acc, sum + i, sizeof acc);
        std::memcpy(&add, in + i, sizeof add);
        acc += w * add;
        std::memcpy(sum + i, &acc, sizeof acc);
      }
      for (; i < rowFloats; ++i) sum[i] += w * in[i];
    }
    float* out = &rgb[size_t(y - first) * bandFloats];
    for (int x = 0; x < panel.width; ++x) {
      const Span& cell = panel.across[size_t(x)];
      for (size_t k = 0; k < cell.weights.size(); ++k)
        for (size_t c = 0; c < 3; ++c)
          out[size_t(x) * 3 + c] += cell.weights[k] * sum[size_t(cell.first + int(k)) * channels + order[c]];
    }
  }
  if (toLinear) toLinear->apply(rgb.data(), size_t(panel.width) * size_t(last - first), 3);
  for (int y = first; y < last; ++y)
    encodeInto(&rgb[size_t(y - first) * bandFloats], bandFloats,
               &sheet[(size_t(panel.top + y) * size_t(sheetWidth) + size_t(panel.left)) * 3]);
}

// Whether a kept panel shows this picture as it is now, at this size and in this conversion.
bool keptPanel(const SheetPanels::Kept& kept, uint64_t version, const Panel& panel, const Conversion* toLinear) {
  return kept.version == version && kept.width == panel.width && kept.height == panel.height &&
         kept.toLinear == toLinear && kept.codes.size() == size_t(panel.width) * size_t(panel.height) * 3;
}

void pastePanel(const std::vector<unsigned char>& codes, const Panel& panel, int sheetWidth, unsigned char* sheet) {
  for (int row = 0; row < panel.height; ++row)
    std::copy_n(&codes[size_t(row) * size_t(panel.width) * 3], size_t(panel.width) * 3,
                &sheet[(size_t(panel.top + row) * size_t(sheetWidth) + size_t(panel.left)) * 3]);
}

// Text drawn over the sheet's background once and kept: the labels and most lines are the same
// on every sheet of a shot, and drawing a line of text takes longer than averaging a frame down.
struct DrawnText {
  OIIO::ROI box;                     // from the left end of the baseline
  std::vector<unsigned char> codes;  // the box's pixels, background and text
};

// Where a line of text goes: the left end of its baseline.
struct TextPlace {
  int x = 0, y = 0;
};

// A size in points, the text's colour, and the background's 8-bit codes it is drawn over.
struct TextStyle {
  int size;
  const float* colour;
  const unsigned char* background;
};

class TextCache {
 public:
  // The text at `at` (the left end of its baseline) in `sheet`, which holds only background codes
  // under it; `taken` holds the boxes of the text already drawn. False when it could not be drawn.
  bool draw(OIIO::ImageBuf& sheet, TextPlace at, const std::string& text, const TextStyle& style,
            std::vector<OIIO::ROI>& taken) {
    const int x = at.x, y = at.y, size = style.size;
    std::shared_ptr<const DrawnText> drawn = find(text, size);
    if (!drawn) drawn = remember(text, style);
    OIIO::ROI box;
    if (drawn) box = OIIO::ROI(drawn->box.xbegin + x, drawn->box.xend + x, drawn->box.ybegin + y, drawn->box.yend + y);
    // Text that would be clipped or would touch other text is drawn in place, as it lands.
    const OIIO::ROI whole = sheet.roi();
    bool alone = drawn && box.xbegin >= whole.xbegin && box.xend <= whole.xend && box.ybegin >= whole.ybegin &&
                 box.yend <= whole.yend;
    for (const OIIO::ROI& other : taken)
      alone = alone && (box.xend <= other.xbegin || other.xend <= box.xbegin || box.yend <= other.ybegin ||
                        other.yend <= box.ybegin);
    if (drawn) taken.push_back(box);
    if (!alone) return OIIO::ImageBufAlgo::render_text(sheet, x, y, text, size, kFont, {style.colour, 3});
    auto* pixels = static_cast<unsigned char*>(sheet.localpixels());
    const size_t rowBytes = size_t(box.width()) * 3;
    for (int row = 0; row < box.height(); ++row)
      std::copy_n(&drawn->codes[size_t(row) * rowBytes], rowBytes,
                  &pixels[(size_t(box.ybegin + row) * size_t(whole.width()) + size_t(box.xbegin)) * 3]);
    return true;
  }

 private:
  std::shared_ptr<const DrawnText> find(const std::string& text, int size) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = drawn_.find({text, size});
    return found == drawn_.end() ? nullptr : found->second;
  }

  std::shared_ptr<const DrawnText> remember(const std::string& text, const TextStyle& style) {
    const int size = style.size;
    auto drawn = std::make_shared<DrawnText>();
    drawn->box = OIIO::ImageBufAlgo::text_size(text, size, kFont);
    if (!drawn->box.defined() || drawn->box.width() <= 0 || drawn->box.height() <= 0) return nullptr;
    const OIIO::ImageSpec imageSpec(drawn->box.width(), drawn->box.height(), 3, OIIO::TypeDesc::UINT8);
    drawn->codes.resize(size_t(imageSpec.width) * size_t(imageSpec.height) * 3);
    for (size_t i = 0; i < drawn->codes.size(); i += 3) std::copy_n(style.background, 3, &drawn->codes[i]);
    OIIO::ImageBuf box(imageSpec, drawn->codes.data());
    if (!OIIO::ImageBufAlgo::render_text(box, -drawn->box.xbegin, -drawn->box.ybegin, text, size, kFont,
                                         {style.colour, 3}))
      return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    if (drawn_.size() >= 64) drawn_.clear();  // the figure lines of a long shot
    drawn_[{text, size}] = drawn;
    return drawn;
  }

  std::mutex mutex_;
  std::map<std::pair<std::string, int>, std::shared_ptr<const DrawnText>> drawn_;
};

TextCache& textCache() {
  static TextCache cache;
  return cache;
}

// Written beside the target and moved into place once complete, as every output.
bool writePng(const std::string& path, const OIIO::ImageSpec& imageSpec, const unsigned char* pixels,
              std::string& error) {
  auto out = OIIO::ImageOutput::create(path);
  if (!out) {
    error = "cannot write '" + path + "': " + OIIO::geterror();
    return false;
  }
  return replaceFile(
      path,
      [&](const std::string& temporary, std::string& writeError) {
        bool ok = out->open(temporary, imageSpec) && out->write_image(OIIO::TypeDesc::UINT8, pixels);
        ok = out->close() && ok;
        if (!ok) writeError = "cannot write '" + path + "': " + out->geterror();
        return ok;
      },
      error);
}

// The sheet being composed, in 8-bit sRGB code values: only the panels' pixels are converted
// and encoded.
struct SheetCanvas {
  SheetLayout layout;
  OIIO::ImageSpec header;
  std::vector<unsigned char> pixels;
  unsigned char codes[6] = {};  // the background's, then the text's
  float text[3] = {};           // the text's colour as the sheet holds it
};

SheetCanvas blankSheet(const SheetLayout& layout) {
  SheetCanvas canvas;
  canvas.layout = layout;
  canvas.header = OIIO::ImageSpec(layout.width, layout.height, 3, OIIO::TypeDesc::UINT8);
  canvas.header.attribute("oiio:ColorSpace", "sRGB");
  // A sheet may be written every frame, and compressing it would cost more than the frame's
  // figures: stored as it is (no per-row filter, deflate without compression).
  canvas.header.attribute("png:compressionLevel", 0);
  canvas.header.attribute("png:filter", 0x08);
  std::vector<unsigned char>& pixels = canvas.pixels;
  pixels.resize(size_t(layout.width) * size_t(layout.height) * 3);
  const float colours[6] = {kBackground[0], kBackground[1], kBackground[2], kText[0], kText[1], kText[2]};
  encodeInto(colours, 6, canvas.codes);
  const size_t rowBytes = size_t(layout.width) * 3;  // one row of background, copied down
  for (size_t i = 0; i < rowBytes; i += 3) std::copy_n(canvas.codes, 3, &pixels[i]);
  for (size_t at = rowBytes; at < pixels.size(); at += rowBytes) std::memcpy(&pixels[at], pixels.data(), rowBytes);
  for (int c = 0; c < 3; ++c) canvas.text[c] = canvas.codes[3 + c] / 255.0f;
  return canvas;
}

// How the panels are drawn: the conversion into linear Rec.709 (null: none), the threads, and
// the panels kept from the sheet before (null: none).
struct PanelDrawing {
  const Conversion* toLinear;
  int threads;
  SheetPanels* kept;
};

// Keeps the panels just drawn of the pictures that have a version.
void keepPanels(const SheetCanvas& canvas, const std::vector<Panel>& drawn, const std::vector<int>& drawnFrom,
                const PanelDrawing& how) {
  for (size_t j = 0; how.kept && j < drawn.size(); ++j) {
    SheetPanels::Kept& keep = how.kept->kept[drawnFrom[j]];
    keep.version = how.kept->versions[drawnFrom[j]];
    if (keep.version == 0) continue;
    keep.width = drawn[j].width;
    keep.height = drawn[j].height;
    keep.toLinear = how.toLinear;
    keep.codes.resize(size_t(keep.width) * size_t(keep.height) * 3);
    for (int row = 0; row < keep.height; ++row)
      std::copy_n(
          &canvas.pixels[(size_t(drawn[j].top + row) * size_t(canvas.layout.width) + size_t(drawn[j].left)) * 3],
          size_t(keep.width) * 3, &keep.codes[size_t(row) * size_t(keep.width) * 3]);
  }
}

// The pictures averaged down into their panels (or a kept panel pasted), in bands of rows taken in
// turn by up to `threads` threads; a band is the same whichever thread draws it. Returns every
// panel placed.
std::vector<Panel> drawPanels(SheetCanvas& canvas, const Image* const pictures[3], const PanelDrawing& how) {
  const SheetLayout& layout = canvas.layout;
  const int panelTop = layout.margin + layout.labelHeight;
  std::vector<Panel> panels, toDraw;
  std::vector<int> drawnFrom;  // the picture of each panel drawn
  for (int i = 0, x = layout.margin; i < 3; x += layout.panelWidth[i] + layout.margin, ++i) {
    if (pictures[i]->width <= 0 || pictures[i]->height <= 0) continue;
    panels.push_back({pictures[i], x, panelTop, layout.panelWidth[i], layout.panelHeight, {}, {}});
    SheetPanels* kept = how.kept;
    if (kept && kept->versions[i] != 0 && keptPanel(kept->kept[i], kept->versions[i], panels.back(), how.toLinear)) {
      pastePanel(kept->kept[i].codes, panels.back(), layout.width, canvas.pixels.data());
      continue;
    }
    toDraw.push_back(panels.back());
    toDraw.back().across = spans(pictures[i]->width, layout.panelWidth[i]);
    toDraw.back().down = spans(pictures[i]->height, layout.panelHeight);
    drawnFrom.push_back(i);
  }
  const int bandRows = 24, bandsPerPanel = (layout.panelHeight + bandRows - 1) / bandRows;
  const int bands = int(toDraw.size()) * bandsPerPanel;
  shareTasks(size_t(bands), how.threads, [&](size_t band, int) {
    const Panel& panel = toDraw[band / size_t(bandsPerPanel)];
    const int first = int(band % size_t(bandsPerPanel)) * bandRows;
    drawPanelRows(panel, first, std::min(panel.height, first + bandRows), how.toLinear, layout.width,
                  canvas.pixels.data());
  });
  keepPanels(canvas, toDraw, drawnFrom, how);
  return panels;
}

// The labels and lines, over the background around the panels.
bool drawText(OIIO::ImageBuf& sheet, const SheetCanvas& canvas, const std::vector<Panel>& panels,
              const std::vector<std::string>& lines) {
  const SheetLayout& layout = canvas.layout;
  const int panelTop = layout.margin + layout.labelHeight;
  std::vector<OIIO::ROI> taken;
  for (const Panel& panel : panels)
    taken.emplace_back(panel.left, panel.left + panel.width, panel.top, panel.top + panel.height);
  const char* labels[3] = {"Source", "Reference", "Output"};
  const TextStyle label{20, canvas.text, canvas.codes}, line{16, canvas.text, canvas.codes};
  bool ok = true;
  for (int i = 0, x = layout.margin; i < 3; x += layout.panelWidth[i] + layout.margin, ++i)
    ok = ok && textCache().draw(sheet, {x, panelTop - 8}, labels[i], label, taken);
  int baseline = panelTop + layout.panelHeight + layout.margin + layout.lineHeight - 6;
  for (const std::string& text : lines) {
    ok = ok && textCache().draw(sheet, {layout.margin, baseline}, text, line, taken);
    baseline += layout.lineHeight;
  }
  return ok;
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
                const std::vector<std::string>& lines, const Conversion* toLinear, int threads, std::string& error,
                SheetPanels* kept) {
  const SheetLayout layout = sheetLayout(source, reference, output, lines.size());
  SheetCanvas canvas = blankSheet(layout);
  const Image* pictures[3] = {&source, &reference, &output};
  const std::vector<Panel> panels = drawPanels(canvas, pictures, {toLinear, threads, kept});
  OIIO::ImageBuf sheet(canvas.header, canvas.pixels.data());
  if (!drawText(sheet, canvas, panels, lines)) {
    error = "cannot draw the sheet '" + path + "': " + sheet.geterror();
    return false;
  }
  return writePng(path, canvas.header, canvas.pixels.data(), error);
}

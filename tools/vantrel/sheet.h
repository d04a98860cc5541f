// The comparison sheet: Source, Reference and Output side by side, labelled, with text lines under them.
#pragma once

#include "image_io.h"

#include <string>
#include <vector>

class Conversion;

struct SheetLayout {
  int width = 0;
  int height = 0;
  int panelWidth[3] = {};
  int panelHeight = 360;
  int margin = 16;
  int labelHeight = 30;
  int lineHeight = 24;
  int minimumWidth = 760;
};

// Each panel is scaled to the same height; the sheet is at least wide enough for the text lines.
SheetLayout sheetLayout(const Image& source, const Image& reference, const Image& output, size_t lines);

// `toLinear` (null: none) brings the pictures into linear Rec.709; the sheet is an sRGB PNG.
// Each picture is averaged down to its panel in its own space, then converted; up to `threads`
// panels are made at once.
bool writeSheet(const std::string& path, const Image& source, const Image& reference, const Image& output,
                const std::vector<std::string>& lines, const Conversion* toLinear, int threads, std::string& error);

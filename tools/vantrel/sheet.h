// The comparison sheet: Source, Reference and Output side by side, labelled, with text lines under them.
#pragma once

#include "image_io.h"

#include <string>
#include <vector>

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

// The pictures are in linear Rec.709; the sheet is an sRGB PNG.
bool writeSheet(const std::string& path, const Image& source, const Image& reference, const Image& output,
                const std::vector<std::string>& lines, std::string& error);

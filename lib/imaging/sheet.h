// The comparison sheet: Source, Reference and Output side by side, labelled, with text lines under them.
#pragma once

#include "imaging/image_io.h"

#include <cstdint>
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

// The panels of a run's sheets kept from one sheet to the next (a held Reference is averaged
// down once a shot). Before each sheet the caller gives each picture's version (Source,
// Reference, Output): 0 when it may have changed, otherwise a number that changes with it.
struct SheetPanels {
  uint64_t versions[3] = {};
  struct Kept {
    uint64_t version = 0;
    int width = 0, height = 0;
    const Conversion* toLinear = nullptr;
    std::vector<unsigned char> codes;  // 8-bit sRGB, rows top down
  };
  Kept kept[3];
};

// `toLinear` (null: none) brings the pictures into linear Rec.709; the sheet is an sRGB PNG.
// Each picture is averaged down to its panel in its own space, then converted, in bands of rows
// shared by up to `threads` threads; `kept` (null: none) keeps the panels of unchanged pictures.
bool writeSheet(const std::string& path, const Image& source, const Image& reference, const Image& output,
                const std::vector<std::string>& lines, const Conversion* toLinear, int threads, std::string& error,
                SheetPanels* kept = nullptr);

#include "export/shaper_cube_writer.h"

#include <charconv>
#include <cstdio>
#include <string>

#include "export/safe_file.h"

namespace {

void appendFloat(std::string& out, float v) {
  char text[32];
  const std::to_chars_result r = std::to_chars(text, text + sizeof text, v);
  out.append(text, r.ptr);
}

void appendTriple(std::string& out, float r, float g, float b) {
  appendFloat(out, r);
  out += ' ';
  appendFloat(out, g);
  out += ' ';
  appendFloat(out, b);
  out += '\n';
}

}  // namespace

bool writeShaperCubeFile(const char* path, const ShaperCube& cube) {
  if (cube.size < 2 || cube.shaperSize < 2 || !cube.table || !cube.shaper) return false;
  std::string text;
  try {
    text.reserve(size_t(cube.size) * cube.size * cube.size * 36 + size_t(cube.shaperSize) * 36 + 4096);
    for (int32_t i = 0; i < cube.commentCount; ++i) {
      text += "# ";
      text += cube.comments[i];
      text += '\n';
    }
    char line[160];
    std::snprintf(line, sizeof line, "LUT_1D_SIZE %d\n", int(cube.shaperSize));
    text += line;
    text += "LUT_1D_INPUT_RANGE ";
    appendFloat(text, cube.inputLow);
    text += ' ';
    appendFloat(text, cube.inputHigh);
    std::snprintf(line, sizeof line, "\nLUT_3D_SIZE %d\nLUT_3D_INPUT_RANGE 0 1\n\n", int(cube.size));
    text += line;
    for (int32_t j = 0; j < cube.shaperSize; ++j) appendTriple(text, cube.shaper[j], cube.shaper[j], cube.shaper[j]);
    const int64_t points = int64_t(cube.size) * cube.size * cube.size;
    for (int64_t i = 0; i < points; ++i)
      appendTriple(text, cube.table[i * 3], cube.table[i * 3 + 1], cube.table[i * 3 + 2]);
  } catch (...) {
    return false;
  }
  SafeFile file;
  if (!safeFileOpen(file, path)) return false;
  if (!safeFileWrite(file, text.data(), text.size())) {
    safeFileDiscard(file);
    return false;
  }
  return safeFileCommit(file);
}

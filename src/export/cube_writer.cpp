#include "export/cube_writer.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "export/safe_file.h"

namespace {

// "000" to "999", three characters each.
struct DigitTable {
  char digits[3000];
  constexpr DigitTable() : digits{} {
    for (int i = 0; i < 1000; ++i) {
      digits[i * 3] = char('0' + i / 100);
      digits[i * 3 + 1] = char('0' + i / 10 % 10);
      digits[i * 3 + 2] = char('0' + i % 10);
    }
  }
};

constexpr DigitTable kDigitTable;

struct CombinedMixes {
  float sR, sG, sB;
};

// Single-precision products of the narrowed mixes, as the file header states them.
CombinedMixes combine(const CubeMixes& mixes) {
  float mix = float(mixes.mix);
  return {mix * float(mixes.red), mix * float(mixes.green), mix * float(mixes.blue)};
}

}  // namespace

char* formatUnitFixed6(float v, char* out) {
  // A float has 24 significant bits and 10^6 needs 14 beyond its power of two, so this product
  // and the fraction below are exact: rounding them here is the rounding printf does, ties to even.
  double scaled = double(v) * 1e6;
  uint32_t units = uint32_t(scaled);
  double fraction = scaled - double(units);
  if (fraction > 0.5 || (fraction == 0.5 && (units & 1u))) ++units;
  if (units >= 1000000u) {
    memcpy(out, "1.000000", 8);
    return out + 8;
  }
  out[0] = '0';
  out[1] = '.';
  memcpy(out + 2, kDigitTable.digits + (units / 1000u) * 3, 3);
  memcpy(out + 5, kDigitTable.digits + (units % 1000u) * 3, 3);
  return out + 8;
}

size_t formatCubeHeader(const LUT3D& lut, const CubeMixes& mixes, char* buffer, size_t size) {
  const int32_t n = lut.size;
  const float* first = lut.data;
  const float* mid = lut.data + ((int64_t(n / 2) * n + n / 2) * n + n / 2) * 3;
  const float* last = lut.data + (int64_t(n) * n * n - 1) * 3;
  CombinedMixes s = combine(mixes);
  int length = snprintf(buffer, size,
                        "TITLE \"Vantrel LUT\"\n"
                        "# Baked strength: Mix=%.4f, R=%.4f, G=%.4f, B=%.4f\n"
                        "# Combined: sR=%.4f, sG=%.4f, sB=%.4f\n"
                        "# LUT size: %d, valid: %d\n"
                        "# Raw LUT[0,0,0]: %.4f %.4f %.4f\n"
                        "# Raw LUT[mid]: %.4f %.4f %.4f\n"
                        "# Raw LUT[1,1,1]: %.4f %.4f %.4f\n"
                        "LUT_3D_SIZE %d\n\n",
                        double(float(mixes.mix)), double(float(mixes.red)), double(float(mixes.green)),
                        double(float(mixes.blue)), double(s.sR), double(s.sG), double(s.sB), n, lut.valid ? 1 : 0,
                        double(first[0]), double(first[1]), double(first[2]), double(mid[0]), double(mid[1]),
                        double(mid[2]), double(last[0]), double(last[1]), double(last[2]), n);
  return length < 0 ? size : size_t(length);
}

void formatCubeRow(const LUT3D& lut, const CubeMixes& mixes, int32_t g, int32_t b, char* out) {
  const int32_t n = lut.size;
  const float d = float(n - 1);
  const CombinedMixes s = combine(mixes);
  const float keepR = 1.0f - s.sR, keepG = 1.0f - s.sG, keepB = 1.0f - s.sB;
  const float blueIn = float(b) / d, greenIn = float(g) / d;
  const int64_t redStride = int64_t(n) * n * 3;
  const float* entry = lut.data + (int64_t(g) * n + b) * 3;
  for (int32_t r = 0; r < n; ++r, entry += redStride) {
    float red = float(r) / d * keepR + s.sR * entry[0];
    float green = greenIn * keepG + s.sG * entry[1];
    float blue = blueIn * keepB + s.sB * entry[2];
    out = formatUnitFixed6(clampCubeEntry(red), out);
    *out++ = ' ';
    out = formatUnitFixed6(clampCubeEntry(green), out);
    *out++ = ' ';
    out = formatUnitFixed6(clampCubeEntry(blue), out);
    *out++ = '\n';
  }
}

bool writeCubeFile(const char* path, const LUT3D& lut, const CubeMixes& mixes) {
  if (!lut.data || lut.size < 2) return false;
  char header[1024];
  size_t headerLength = formatCubeHeader(lut, mixes, header, sizeof header);
  if (headerLength >= sizeof header) return false;

  // Rows are gathered into blocks of about 256 KiB so that the file takes few system calls.
  const size_t rowBytes = size_t(lut.size) * kCubeEntryBytes;
  const size_t rowsPerBlock = rowBytes >= (size_t(1) << 18) ? 1 : (size_t(1) << 18) / rowBytes;
  std::vector<char> block;
  try {
    block.resize(rowsPerBlock * rowBytes);
  } catch (...) {
    return false;
  }

  SafeFile file;
  if (!safeFileOpen(file, path)) return false;
  bool ok = safeFileWrite(file, header, headerLength);
  size_t used = 0;
  for (int32_t b = 0; ok && b < lut.size; ++b) {
    for (int32_t g = 0; ok && g < lut.size; ++g) {
      formatCubeRow(lut, mixes, g, b, block.data() + used);
      used += rowBytes;
      if (used == block.size()) {
        ok = safeFileWrite(file, block.data(), used);
        used = 0;
      }
    }
  }
  if (ok && used) ok = safeFileWrite(file, block.data(), used);
  if (!ok) {
    safeFileDiscard(file);
    return false;
  }
  return safeFileCommit(file);
}

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

inline char* formatFixed6(float v, char* out) {
  // A float has 24 significant bits and 10^6 needs 14 beyond its power of two, so this product
  // and the fraction below are exact: rounding them here is the rounding printf does, ties to even.
  // Branch-free, since the fractions of real data are random.
  double scaled = double(v) * 1e6;
  uint32_t units = uint32_t(scaled);
  double fraction = scaled - double(units);
  units += uint32_t(fraction > 0.5) | (uint32_t(fraction == 0.5) & units & 1u);
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

}  // namespace

char* formatUnitFixed6(float v, char* out) { return formatFixed6(v, out); }

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

void formatCubeSlices(const LUT3D& lut, const CubeMixes& mixes, int32_t firstBlue, int32_t blueCount, char* out) {
  const int32_t n = lut.size;
  const float d = float(n - 1);
  const CombinedMixes s = combine(mixes);
  const float keepR = 1.0f - s.sR, keepG = 1.0f - s.sG, keepB = 1.0f - s.sB;
  const size_t sliceBytes = size_t(n) * n * kCubeEntryBytes;
  // Walking the lattice in memory order over a few blue slices at once reads each cache line
  // once; the file's red-fastest order is restored by where each line is written.
  for (int32_t r = 0; r < n; ++r) {
    const float redIn = float(r) / d;
    for (int32_t g = 0; g < n; ++g) {
      const float greenIn = float(g) / d;
      const float* entry = lut.data + ((int64_t(r) * n + g) * n + firstBlue) * 3;
      char* line = out + (size_t(g) * n + r) * kCubeEntryBytes;
      for (int32_t b = firstBlue; b < firstBlue + blueCount; ++b, entry += 3, line += sliceBytes) {
        float red = redIn * keepR + s.sR * entry[0];
        float green = greenIn * keepG + s.sG * entry[1];
        float blue = float(b) / d * keepB + s.sB * entry[2];
        char* p = formatFixed6(clampCubeEntry(red), line);
        *p++ = ' ';
        p = formatFixed6(clampCubeEntry(green), p);
        *p++ = ' ';
        p = formatFixed6(clampCubeEntry(blue), p);
        *p = '\n';
      }
    }
  }
}

bool writeCubeFile(const char* path, const LUT3D& lut, const CubeMixes& mixes) {
  if (!lut.data || lut.size < 2) return false;
  // Sixteen numbers of at most 46 characters each (floats, or doubles narrowed to float) and the text.
  char header[2048];
  size_t headerLength = formatCubeHeader(lut, mixes, header, sizeof header);
  if (headerLength >= sizeof header) return false;

  // Eight blue slices of a 65-point lattice make a block of about 900 KiB: few system calls,
  // and each cache line of the lattice is read once.
  const int32_t blockSlices = 8;
  const size_t sliceBytes = size_t(lut.size) * lut.size * kCubeEntryBytes;
  std::vector<char> block;
  try {
    block.resize(size_t(blockSlices) * sliceBytes);
  } catch (...) {
    return false;
  }

  SafeFile file;
  if (!safeFileOpen(file, path)) return false;
  bool ok = safeFileWrite(file, header, headerLength);
  for (int32_t b = 0; ok && b < lut.size; b += blockSlices) {
    int32_t count = lut.size - b < blockSlices ? lut.size - b : blockSlices;
    formatCubeSlices(lut, mixes, b, count, block.data());
    ok = safeFileWrite(file, block.data(), size_t(count) * sliceBytes);
  }
  if (!ok) {
    safeFileDiscard(file);
    return false;
  }
  return safeFileCommit(file);
}

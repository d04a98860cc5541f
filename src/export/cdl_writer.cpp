#include "export/cdl_writer.h"

#include <cmath>
#include <cstdint>
#include <cstdio>

#include "export/safe_file.h"

namespace {

float clampBelow(float v, float low, float high) {
  if (!(v < high)) return high;
  if (!(v > low)) return low;
  return v;
}

const float* triple(const LUT3D& lut, int32_t r, int32_t g, int32_t b) {
  const int64_t n = lut.size;
  return lut.data + ((r * n + g) * n + b) * 3;
}

float luma(float r, float g, float b) { return 0.2126f * r + 0.7152f * g + 0.0722f * b; }

float chroma(float r, float g, float b) {
  float y = luma(r, g, b);
  return sqrtf((r - y) * (r - y) + (g - y) * (g - y) + (b - y) * (b - y));
}

}  // namespace

CDLValues fitCDL(const LUT3D& lut) {
  CDLValues cdl = {{1, 1, 1}, {0, 0, 0}, {1, 1, 1}, 1};
  const int32_t n = lut.size;
  if (!lut.data || n < 2) return cdl;
  const float d = float(n - 1);

  // Least-squares line through the grey axis, channel by channel.
  for (int k = 0; k < 3; ++k) {
    double sx = 0, sy = 0, sxy = 0, sxx = 0;
    for (int32_t j = 0; j < n; ++j) {
      float x = float(j) / d;
      float y = triple(lut, j, j, j)[k];
      sx += double(x);
      sy += double(y);
      sxy += double(x * y);
      sxx += double(x * x);
    }
    const double count = n;
    double den = sxx * count - sx * sx;
    if (!(std::fabs(den) > 1e-10)) continue;
    float slope = float((sxy * count - sx * sy) / den);
    float offset = float((sy - double(slope) * sx) / count);
    cdl.slope[k] = clampBelow(slope, 0.0f, 4.0f);
    cdl.offset[k] = clampBelow(offset, -1.0f, 1.0f);
  }

  // Saturation: how much the LUT scales the chroma of the pure primaries and secondaries.
  const int32_t h = n - 1;
  const int32_t points[6][3] = {{h, 0, 0}, {0, h, 0}, {0, 0, h}, {h, h, 0}, {h, 0, h}, {0, h, h}};
  float sum = 0.0f;
  int counted = 0;
  for (const auto& p : points) {
    float cin = chroma(float(p[0]) / d, float(p[1]) / d, float(p[2]) / d);
    const float* out = triple(lut, p[0], p[1], p[2]);
    float cout = chroma(out[0], out[1], out[2]);
    if (cin > 0.01f) {
      sum += cout / cin;
      ++counted;
    }
  }
  if (counted > 0) cdl.saturation = clampBelow(sum / float(counted), 0.0f, 4.0f);
  return cdl;
}

size_t formatCDLDocument(const CDLValues& cdl, char* buffer, size_t size) {
  int length = snprintf(buffer, size,
                        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                        "<ColorCorrectionCollection xmlns=\"urn:ASC:CDL:v1.01\">\n"
                        "  <ColorCorrection id=\"Vantrel\">\n"
                        "    <SOPNode>\n"
                        "      <Slope>%.6f %.6f %.6f</Slope>\n"
                        "      <Offset>%.6f %.6f %.6f</Offset>\n"
                        "      <Power>%.6f %.6f %.6f</Power>\n"
                        "    </SOPNode>\n"
                        "    <SatNode>\n"
                        "      <Saturation>%.6f</Saturation>\n"
                        "    </SatNode>\n"
                        "  </ColorCorrection>\n"
                        "</ColorCorrectionCollection>\n",
                        double(cdl.slope[0]), double(cdl.slope[1]), double(cdl.slope[2]), double(cdl.offset[0]),
                        double(cdl.offset[1]), double(cdl.offset[2]), double(cdl.power[0]), double(cdl.power[1]),
                        double(cdl.power[2]), double(cdl.saturation));
  return length < 0 ? size : size_t(length);
}

bool writeCDLFile(const char* path, const CDLValues& cdl) {
  char document[2048];
  size_t length = formatCDLDocument(cdl, document, sizeof document);
  if (length >= sizeof document) return false;
  SafeFile file;
  if (!safeFileOpen(file, path)) return false;
  if (!safeFileWrite(file, document, length)) {
    safeFileDiscard(file);
    return false;
  }
  return safeFileCommit(file);
}

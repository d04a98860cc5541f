#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "export/cube_writer.h"
#include "export/export.h"
#include "export/export_path.h"
#include "export/notify.h"
#include "plugin/plugin.h"

namespace {

// Far above any lattice the engine builds; keeps the size arithmetic below in range.
constexpr int32_t kMaxExportLutSize = 1024;

double readMix(OfxParamHandle param) {
  double value = 1.0;
  if (gParamSuite && param) gParamSuite->paramGetValue(param, &value);
  return value;
}

}  // namespace

bool exportCubeLUT(OfxImageEffectHandle effect, InstanceData& data) {
  // The LUT is copied so that no lock is held while writing the file or calling the host,
  // which may answer paramSetValue with a nested instance-changed action.
  std::vector<float> lattice;
  int32_t size = 0;
  bool refused = false;
  {
    std::shared_lock<std::shared_mutex> lock(data.lutLock);
    refused = !data.lut.valid || !data.lut.data;
    if (!refused && data.lut.size >= 2 && data.lut.size <= kMaxExportLutSize) {
      size = data.lut.size;
      const size_t count = size_t(size) * size * size * 3;
      try {
        lattice.assign(data.lut.data, data.lut.data + count);
      } catch (...) {
        lattice.clear();
      }
    }
  }
  if (refused) {
    logLine("Vantrel: Export failed - no valid LUT (render the image first)\n");
    notifyUser(effect, kOfxMessageError,
               "No LUT available. Connect Source and Reference clips and view the result first.");
    return true;
  }

  CubeMixes mixes{readMix(data.strengthParam), readMix(data.strengthRParam), readMix(data.strengthGParam),
                  readMix(data.strengthBParam)};
  char* value = nullptr;
  if (gParamSuite && data.exportPathParam) gParamSuite->paramGetValue(data.exportPathParam, &value);
  char path[kExportPathSize];
  bool fits = resolveExportPath(value, ExportKind::Cube, getenv("HOME"), exportLocalTime(), path);

  char line[256];
  snprintf(line, sizeof line, "Vantrel: Exporting cached LUT with Mix=%.3f, R=%.3f, G=%.3f, B=%.3f\n", mixes.mix,
           mixes.red, mixes.green, mixes.blue);
  logLine(line);

  LUT3D copy{lattice.empty() ? nullptr : lattice.data(), size, true};
  if (!fits || !copy.data || !writeCubeFile(path, copy, mixes)) {
    logLine("Vantrel: Export FAILED\n");
    notifyUser(effect, kOfxMessageError, "Failed to save .cube file");
    return false;
  }

  if (gParamSuite && data.exportPathParam) gParamSuite->paramSetValue(data.exportPathParam, path);
  logLine("Vantrel: Export successful\n");
  char text[1100];
  snprintf(text, sizeof text, "LUT saved to:\n%s", path);
  notifyUser(effect, kOfxMessageMessage, text);
  return false;
}

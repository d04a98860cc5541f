// The export buttons' side of the plug-in: the LUT read under the instance's lock, the
// parameters and the path from the host, the user told how it went. The files themselves are
// written by the export library.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "export/cdl_writer.h"
#include "export/cube_writer.h"
#include "export/export_path.h"
#include "plugin/messages.h"
#include "plugin/plugin.h"

namespace {

// Far above any lattice the engine builds; keeps the size arithmetic below in range.
constexpr int32_t kMaxExportLutSize = 1024;

double readMix(OfxParamHandle param) {
  double value = 1.0;
  if (gParamSuite && param) gParamSuite->paramGetValue(param, &value);
  return value;
}

// "exportPath" resolved for this kind of file, with the system's default folder (HOME on POSIX
// systems) and the local time of now for a default name. False when the result would not fit.
bool exportPathFor(const InstanceData& data, ExportKind kind, char (&path)[kExportPathSize]) {
  char* value = nullptr;
  if (gParamSuite && data.exportPathParam) gParamSuite->paramGetValue(data.exportPathParam, &value);
  char folder[kExportPathSize];
  return resolveExportPath(value, kind, defaultExportFolder(folder), localTimeOf(time(nullptr)), path,
                           kExportFolderSeparator);
}

// Both buttons refuse the same way without a LUT.
void refuseWithoutLut(OfxImageEffectHandle effect, const char* line) {
  logLine(line);
  notifyUser(effect, kOfxMessageError,
             "No LUT available. Connect Source and Reference clips and view the result first.");
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
    refuseWithoutLut(effect, "Vantrel: Export failed - no valid LUT (render the image first)\n");
    return true;
  }

  CubeMixes mixes{readMix(data.strengthParam), readMix(data.strengthRParam), readMix(data.strengthGParam),
                  readMix(data.strengthBParam)};
  char path[kExportPathSize];
  const bool fits = exportPathFor(data, ExportKind::Cube, path);

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

bool exportCDL(OfxImageEffectHandle effect, InstanceData& data) {
  // The fit reads a few dozen lattice points, so it runs under the lock instead of on a copy.
  CDLValues cdl{};
  bool refused = false;
  {
    std::shared_lock<std::shared_mutex> lock(data.lutLock);
    refused = !data.lut.valid || !data.lut.data;
    if (!refused) cdl = fitCDL(data.lut);
  }
  if (refused) {
    refuseWithoutLut(effect, "Vantrel: CDL Export failed - no valid LUT (render the image first)\n");
    return true;
  }

  char path[kExportPathSize];
  const bool fits = exportPathFor(data, ExportKind::CDL, path);

  if (!fits || !writeCDLFile(path, cdl)) {
    logLine("Vantrel: CDL Export FAILED\n");
    notifyUser(effect, kOfxMessageError, "Failed to save .cdl file");
    return false;
  }

  logLine("Vantrel: CDL Export successful\n");
  char text[1100];
  snprintf(text, sizeof text, "CDL saved to:\n%s", path);
  notifyUser(effect, kOfxMessageMessage, text);
  return false;
}

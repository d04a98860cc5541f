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
#include "export/shaper_cube_writer.h"
#include "plugin/messages.h"
#include "plugin/plugin.h"
#include "render/plate_tables.h"

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

// A match in a plate encoding of light: the file holds a shaper and the render at its table's
// points, mixes included, and says in its comments what it expects.
bool writePlateCube(const char* path, const LUT3D& lut, const PlateTransform& plate, const CubeMixes& m) {
  PlateCubeTables tables;
  try {
    plateCubeTables(lut, plate, channelMixes(m.mix, m.red, m.green, m.blue), gKernelSet, tables);
  } catch (...) {
    return false;
  }
  const float mix = float(m.mix);
  char lines[7][200], space[64];
  describeWorkingSpace(plate.space, space, sizeof space);
  const char* label = kPlateEncodingLabels[int(plate.encoding)];
  std::snprintf(lines[0], sizeof lines[0], "Vantrel LUT");
  std::snprintf(lines[1], sizeof lines[1], "Baked strength: Mix=%.4f, R=%.4f, G=%.4f, B=%.4f", double(mix),
                double(float(m.red)), double(float(m.green)), double(float(m.blue)));
  std::snprintf(lines[2], sizeof lines[2], "LUT size: %d, valid: 1, shaper size: %d", int(lut.size), int(kShaperSize));
  std::snprintf(lines[3], sizeof lines[3], "Plate encoding: %s (%s in, the same out)", label,
                plate.plateIsLinear ? "scene-linear light" : "its code values");
  std::snprintf(lines[4], sizeof lines[4], "Input range: %.6g to %.6g (%s; values outside are held at the ends)",
                double(tables.inputLow), double(tables.inputHigh),
                plate.plateIsLinear ? "linear light" : "code values of linear 0 to the working space's end");
  std::snprintf(lines[5], sizeof lines[5], "Working space of the match: %s, linear light up to %.6g", space,
                workingSpaceEnd(plate.space));
  std::snprintf(lines[6], sizeof lines[6], "Shaper: %s; 3D table: the effect's render at its points",
                plate.plateIsLinear ? "the working space's code values" : "the input range rescaled to 0..1");
  const char* comments[7] = {lines[0], lines[1], lines[2], lines[3], lines[4], lines[5], lines[6]};
  const ShaperCube cube{
      comments,   7, tables.inputLow, tables.inputHigh, tables.shaper.data(), kShaperSize, tables.table.data(),
      tables.size};
  return writeShaperCubeFile(path, cube);
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
  bool light = false;
  PlateTransform plate;
  {
    std::shared_lock<std::shared_mutex> lock(data.lutLock);
    refused = !data.lut.valid || !data.lut.data;
    light = isLightEncoding(plateEncodingOf(data.lutPlateEncoding));
    plate = data.lutPlate;
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
  const bool written =
      fits && copy.data && (light ? writePlateCube(path, copy, plate, mixes) : writeCubeFile(path, copy, mixes));
  if (!written) {
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
  // The fit reads a few dozen lattice points, so it runs under the lock instead of on a copy. A
  // match in a log encoding is fitted to the code values the host delivers; one of scene-linear
  // light is refused: a .cdl's offset and power act on code values, and a fit over light above 1
  // would not hold.
  CDLValues cdl{};
  bool refused = false, linearLight = false, fitted = true;
  {
    std::shared_lock<std::shared_mutex> lock(data.lutLock);
    refused = !data.lut.valid || !data.lut.data;
    const PlateEncoding encoding = plateEncodingOf(data.lutPlateEncoding);
    linearLight = !refused && encoding == PlateEncoding::SceneLinear;
    if (!refused && isLogEncoding(encoding)) {
      try {
        std::vector<float> values;
        plateValueLattice(data.lut, data.lutPlate, gKernelSet, values);
        cdl = fitCDL(LUT3D{values.data(), data.lut.size, true});
      } catch (...) {
        fitted = false;
      }
    } else if (!refused && !linearLight) {
      cdl = fitCDL(data.lut);
    }
  }
  if (refused) {
    refuseWithoutLut(effect, "Vantrel: CDL Export failed - no valid LUT (render the image first)\n");
    return true;
  }
  if (linearLight) {
    logLine("Vantrel: CDL Export refused - the match is of scene-linear light\n");
    notifyUser(effect, kOfxMessageError,
               "A .cdl cannot carry a match of scene-linear light (Plate Encoding \"Scene Linear\"): its offset and "
               "power act on code values, and a fit over light above 1 would not hold. Save a .cube LUT, which "
               "carries its shaper, or match the plate in a log encoding.");
    return true;
  }

  char path[kExportPathSize];
  const bool fits = exportPathFor(data, ExportKind::CDL, path);

  if (!fits || !fitted || !writeCDLFile(path, cdl)) {
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

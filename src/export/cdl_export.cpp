#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <shared_mutex>

#include "export/cdl_writer.h"
#include "export/export.h"
#include "export/export_path.h"
#include "export/notify.h"
#include "plugin/plugin.h"

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
    logLine("Vantrel: CDL Export failed - no valid LUT (render the image first)\n");
    notifyUser(effect, kOfxMessageError,
               "No LUT available. Connect Source and Reference clips and view the result first.");
    return true;
  }

  char* value = nullptr;
  if (gParamSuite && data.exportPathParam) gParamSuite->paramGetValue(data.exportPathParam, &value);
  char path[kExportPathSize];
  bool fits = resolveExportPath(value, ExportKind::CDL, getenv("HOME"), exportLocalTime(), path);

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

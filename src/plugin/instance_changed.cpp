#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "plugin/analysis.h"
#include "plugin/messages.h"
#include "plugin/plugin.h"

namespace {

// The next render finds the flag false and rebuilds into the same storage.
void invalidate(InstanceData& data) {
  std::unique_lock<std::shared_mutex> lock(data.lutLock);
  data.lut.valid = false;
  data.lutNoData = false;
}

const char* readString(OfxPropertySetHandle props, const char* name) {
  char* value = nullptr;
  if (gPropSuite && props) gPropSuite->propGetString(props, name, 0, &value);
  return value;
}

bool is(const char* name, const char* wanted) { return name && strcmp(name, wanted) == 0; }

bool isAnalysisSetting(const char* name) {
  for (const char* setting : {"analysisMode", "keyFrame", "frameRange", "windowRadius", "frameStep"})
    if (is(name, setting)) return true;
  return false;
}

}  // namespace

OfxStatus instanceChanged(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs) {
  InstanceData* data = findInstanceData(effect);
  if (!data) return kOfxStatErrBadHandle;

  const char* name = readString(inArgs, kOfxPropName);
  if (is(name, "exportButton")) {
    if (exportCubeLUT(effect, *data)) return kOfxStatOK;
  } else if (is(name, "exportCDLButton")) {
    if (exportCDL(effect, *data)) return kOfxStatOK;
  } else if (is(name, "rebuildButton")) {
    invalidate(*data);
    logLine("Vantrel: LUT invalidated - will rebuild on next render\n");
  } else if (is(name, "matchMode") || is(name, "preserveMode") || is(name, "sameFrameFit") ||
             is(name, "differentClipsLearner")) {
    invalidate(*data);
    logLine("Vantrel: Parameter changed - LUT invalidated\n");
    if (!is(name, "preserveMode")) data->contentFallbackNoted = false;
  } else if (is(name, "plateEncoding")) {
    invalidate(*data);
    logLine("Vantrel: Parameter changed - LUT invalidated\n");
    data->plateSpaceNoted = false;
  } else if (isAnalysisSetting(name)) {
    invalidate(*data);
    logLine("Vantrel: Parameter changed - LUT invalidated\n");
    // Notes about the frames belong to the settings they were made under.
    data->analysisFramesNoted = false;
    data->analysisThinningNoted = false;
    // Where the user picks a choice this host cannot serve, the user hears so at once.
    if (is(name, "analysisMode")) {
      AnalysisPlan plan;
      planAnalysis(*data, 0.0, plan);
    }
  }

  if (is(readString(inArgs, kOfxPropType), kOfxTypeClip)) {
    invalidate(*data);
    logLine("Vantrel: Input clip changed - LUT invalidated\n");
    data->contentFallbackNoted = false;
  }
  return kOfxStatReplyDefault;
}

#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "plugin/messages.h"
#include "plugin/plugin.h"

namespace {

// The next render finds the flag false and rebuilds into the same storage.
void invalidate(InstanceData& data) {
  std::unique_lock<std::shared_mutex> lock(data.lutLock);
  data.lut.valid = false;
}

const char* readString(OfxPropertySetHandle props, const char* name) {
  char* value = nullptr;
  if (gPropSuite && props) gPropSuite->propGetString(props, name, 0, &value);
  return value;
}

bool is(const char* name, const char* wanted) { return name && strcmp(name, wanted) == 0; }

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
  } else if (is(name, "matchMode") || is(name, "preserveMode") || is(name, "sameFrameFit")) {
    invalidate(*data);
    logLine("Vantrel: Parameter changed - LUT invalidated\n");
  }

  if (is(readString(inArgs, kOfxPropType), kOfxTypeClip)) {
    invalidate(*data);
    logLine("Vantrel: Input clip changed - LUT invalidated\n");
  }
  return kOfxStatReplyDefault;
}

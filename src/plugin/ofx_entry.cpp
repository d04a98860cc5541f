// The module's only exported symbols (see exports.map) and the record hosts discover it by.
#include "plugin/plugin.h"

#ifdef _WIN32
#define VANTREL_EXPORT extern "C" __declspec(dllexport)
#else
#define VANTREL_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

void setHost(OfxHost* host) { gHost = host; }

OfxPlugin plugin = {
    kOfxImageEffectPluginApi, 1, "org.vantrel.colormatch", 1, 0, setHost, pluginMain,
};

}  // namespace

VANTREL_EXPORT int OfxGetNumberOfPlugins(void) { return 1; }

VANTREL_EXPORT OfxPlugin* OfxGetPlugin(int nth) { return nth == 0 ? &plugin : nullptr; }

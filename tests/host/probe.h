// Loads the probe effect into a host and gets an instance ready.
#pragma once

#include <memory>

#include "ofx_host.h"

namespace probe {

inline std::unique_ptr<ofxhost::Host> loaded(ofxhost::HostOptions options = {}) {
  auto host = std::make_unique<ofxhost::Host>(options);
  if (!host->open(PROBE_PLUGIN_PATH) || host->load() != kOfxStatOK) return nullptr;
  return host;
}

// A created instance in the filter context, or null.
inline ofxhost::Effect* instance(ofxhost::Host& host) {
  if (host.describe() != kOfxStatOK ||
      host.describeInContext(kOfxImageEffectContextFilter) != kOfxStatOK)
    return nullptr;
  ofxhost::Effect* inst = host.newInstance(kOfxImageEffectContextFilter);
  if (inst == nullptr || host.createInstance(inst) != kOfxStatOK) return nullptr;
  return inst;
}

}  // namespace probe

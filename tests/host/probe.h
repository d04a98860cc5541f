// Loads the probe effect into a host and gets an instance ready.
#pragma once

#include <memory>

#include "host_testing.h"

namespace probe {

inline std::unique_ptr<ofxhost::TestHost> loaded(ofxhost::TestingOptions options = {}) {
  auto host = std::make_unique<ofxhost::TestHost>(options);
  if (!host->open(PROBE_PLUGIN_PATH) || host->load() != kOfxStatOK) return nullptr;
  return host;
}

// A created instance in the filter context, or null.
inline ofxhost::Effect* instance(ofxhost::Host& host) {
  if (host.describe() != kOfxStatOK || host.describeInContext(kOfxImageEffectContextFilter) != kOfxStatOK)
    return nullptr;
  ofxhost::Effect* inst = host.newInstance(kOfxImageEffectContextFilter);
  if (inst == nullptr || host.createInstance(inst) != kOfxStatOK) return nullptr;
  return inst;
}

}  // namespace probe

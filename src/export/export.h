// Instance-changed handling and the .cube / .cdl exporters.
#pragma once

#include <cstddef>

#include "ofx/ofx_api.h"

struct InstanceData;

OfxStatus instanceChanged(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs);

// Each returns true when it refused for want of a valid LUT.
bool exportCubeLUT(OfxImageEffectHandle effect, InstanceData& data);
bool exportCDL(OfxImageEffectHandle effect, InstanceData& data);

// Default path of a new export: "$HOME/Vantrel_YYYYMMDD_HHMMSS.cube" ("/tmp" without HOME).
void getDefaultExportPath(char* buffer, size_t size);

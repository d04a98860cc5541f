// Render action and LUT application.
#pragma once

#include "engine/engine.h"
#include "ofx/ofx_api.h"

OfxStatus render(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs);

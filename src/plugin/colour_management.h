// "Plate Encoding" on the host's side, and OpenFX 1.5 colour management (the basic style): what
// the host offers, what the effect declares and asks for, and the colour space a host says it
// delivers the Source in. A host without colour management is never asked anything about it.
#pragma once

#include "encoding/plate_encoding.h"
#include "plugin/plugin.h"

// Reads, when the effect is described, whether the host offers colour management; on such a host
// the effect declares the basic style and names "plateEncoding" as a parameter its clip
// preferences follow.
void describeColourManagement(OfxPropertySetHandle effectProps);

// The clip-preferences action: under "Scene Linear", on a host with colour management, asks for
// the Source and the Reference in ofx_scene_linear. Otherwise the host's defaults, without a call.
OfxStatus getClipPreferences(OfxImageEffectHandle effect, OfxPropertySetHandle outArgs);

// The encoding the match works in now: the "Plate Encoding" choice (read without a time: it does
// not animate), with "From Host" resolved through the Source clip's colour space. A space it does
// not know, or a host that names none, gives As Delivered and one message until the choice
// changes; so does a host that delivers other than scene-linear light under "Scene Linear".
PlateEncoding currentPlateEncoding(InstanceData& data);

// The encoding a colour space name stands for (names of the basic set and of the ACES studio
// config, in any case); `known` false, with As Delivered, for any other name.
PlateEncoding encodingOfColourspace(const char* name, bool& known);

#include "render/render.h"

// Rendering is not built yet: the host applies its own default.
OfxStatus render(OfxImageEffectHandle, OfxPropertySetHandle) { return kOfxStatReplyDefault; }

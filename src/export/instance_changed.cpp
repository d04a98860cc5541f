#include "export/export.h"

// Commands are not built yet: the host applies its own default.
OfxStatus instanceChanged(OfxImageEffectHandle, OfxPropertySetHandle) { return kOfxStatReplyDefault; }

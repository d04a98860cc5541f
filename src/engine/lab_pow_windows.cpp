#include "engine/portable_powf.h"

float labPowf(float t) { return portablePowf(t, 0.33333334f); }

#include <cmath>

#include "engine/portable_powf.h"

float labPowf(float t) { return powf(t, 0.33333334f); }

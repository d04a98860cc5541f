// LUT application to plates in scene-linear light or a camera's log encoding: nothing clipped.
// Each pixel is taken into the working space the lattice covers, looked up as applyLUT looks up
// any pixel, and brought back into the plate's encoding, where the mixes blend it with the
// Source as delivered.
#pragma once

#include "encoding/plate_encoding.h"
#include "render/apply_lut.h"

// Writes every Output pixel of the window that lies inside the Output bounds; window pixels
// outside the Source bounds become transparent black. Without a lattice (lut null, or one without
// storage) the Output is the Source as delivered. Values beyond the working space's end are
// matched along their ray in linear light (the pixel scaled down to the end, looked up, scaled
// back up), so that they continue smoothly; channels below 0 in linear light and pixels with a
// NaN or infinite channel keep the Source's values. Every kernel set gives the same bits.
void applyEncodedLUT(const ImageView& source, const ImageView& output, const Rect& window, const LUT3D* lut,
                     const RedPairs* pairs, const ChannelMixes& mixes, const PlateTransform& plate, KernelSet kernels);

// Learning the match of plates in scene-linear light or a camera's log encoding: in the working
// space of the mode, with its range taken from the anchor Source's highlights.
#pragma once

#include <vector>

#include "encoding/plate_encoding.h"
#include "plugin/learn.h"

// Fills `lut` as learnMatch does, from the same frames, but from their values in the working
// space `plate` receives: the Different Clips statistics in linear light up to the top, Same
// Frame's pairs in the gamma or log space (see chooseWorkingSpace), the top being the narrowest
// that holds all but 0.1% of `anchorSource`'s pixels in linear light (counted on the mode's
// sampling grid). Only the pixels the learners sample are converted. False, with lut.valid false, when memory is short.
bool learnEncodedMatch(LUT3D& lut, const std::vector<FrameInputs>& frames, const ImageView& anchorSource, int matchMode,
                       int preserveMode, int sameFrameFit, PlateEncoding encoding, KernelSet kernels,
                       const ParallelFor* parallel, PlateTransform& plate);

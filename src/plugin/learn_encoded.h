// Learning the match of plates in scene-linear light or a camera's log encoding: in the working
// space of the mode, with its range taken from the anchor Source's highlights.
#pragma once

#include <vector>

#include "encoding/plate_encoding.h"
#include "plugin/learn.h"

// Fills `lut` as learnMatch does, from the same frames, but from their values in the working
// space `plate` receives: Different Clips (statistics or matching content) in linear light up to
// the top, Same Frame's pairs in the gamma or log space (see chooseWorkingSpace), the top being
// the narrowest that holds all but 0.1% of `anchorSource`'s pixels in linear light (counted on
// the mode's sampling grid). The statistics and Same Frame convert only the pixels they sample;
// matching content converts whole frames. Anything but Learnt leaves lut.valid false, as
// learnMatch's results do.
LearnResult learnEncodedMatch(LUT3D& lut, const std::vector<FrameInputs>& frames, const ImageView& anchorSource,
                              const LearnChoices& choices, PlateEncoding encoding, KernelSet kernels,
                              const ParallelFor* parallel, PlateTransform& plate,
                              engine::ContentDecision* content = nullptr);

// The lattice the application reads for a plate in linear light matched in linear light or the
// gamma space: `lut`'s values as linear light (codeToLightValues), so that the way back takes no
// curve. Interpolating light rather than code values between the points changes a render by
// rounding in linear light and by at most 0.05% in the gamma space; in the log space, whose cells
// span a fifth of a stop, by 0.5%, which costs the fitted lattice a quarter more of its small
// error on a grade, so there it is not made. False, with `light` not valid, for any other plate
// or when memory is short: the application then reads `lut` and its curve.
bool prepareLightLattice(const LUT3D& lut, const PlateTransform& plate, LutStorage& light, KernelSet kernels);

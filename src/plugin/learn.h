// Learning the match from the images of one frame or of several pooled: the conversion of what
// the host gave into the float layout the engine reads, and the builder of each mode.
#pragma once

#include <vector>

#include "engine/engine.h"
#include "engine/matching_content.h"
#include "render/image.h"

// The images of one frame a match learns from, in any layout the effect declares.
struct FrameInputs {
  ImageView source;
  ImageView reference;
  ImageView sourceMask;     // read when hasSourceMask
  ImageView referenceMask;  // read when hasReferenceMask
  bool hasSourceMask = false;
  bool hasReferenceMask = false;
};

// The engine's view of float RGBA pixels, and of a mask (its samples as floats in `storage` when
// they are not already).
ImageDesc descOf(const ImageView& image);
MaskData maskFrom(const ImageView& image, std::vector<float>& storage);

// The choices that say how a match is learnt.
struct LearnChoices {
  int matchMode = 0;     // 1 Same Frame, anything else Different Clips
  int preserveMode = 0;  // PreserveMode
  int sameFrameFit = 0;  // Same Frame: 1 the fitted lattice, else the smoothed cells
  int dcLearner = 0;     // Different Clips: 1 matching content, else the statistics
};

enum class LearnResult {
  Learnt,
  OutOfMemory,      // working memory could not be had
  NoSourceData,     // Different Clips: no Source sample counted (its mask selects none, none is finite)
  NoReferenceData,  // the same of the Reference
  NoPairData,       // Same Frame: no pair finite on both sides
};

// Fills `lut`, whose storage is in place, from the frames pooled: Different Clips (any matchMode
// but 1) from the statistics of every frame's samples together, or from the pixels the frames
// share with their Reference when dcLearner is 1 (the statistics where that fails, `content`
// saying why); Same Frame from every frame's pixel pairs binned into the same cells, or fitted
// whole by the lattice when sameFrameFit is 1. One frame gives the single-frame build. Anything
// but Learnt leaves lut.valid false; without data nothing is built at all. `parallel` spreads the
// builds over threads without changing a bit.
LearnResult learnMatch(LUT3D& lut, const std::vector<FrameInputs>& frames, const LearnChoices& choices,
                       KernelSet kernels, const ParallelFor* parallel = nullptr,
                       engine::ContentDecision* content = nullptr);

#include "plugin/learn.h"

#include "render/pixel_format.h"

ImageDesc descOf(const ImageView& image) {
  return ImageDesc{image.data, int32_t(image.bounds.width()), int32_t(image.bounds.height()), image.rowBytes};
}

MaskData maskFrom(const ImageView& image, std::vector<float>& storage) {
  MaskData mask{};
  if (image.data) {
    const ImageView samples = floatSamples(image, storage);
    mask.pixels = samples.data;
    mask.rowBytes = samples.rowBytes;
  }
  mask.width = int32_t(image.bounds.width());
  mask.height = int32_t(image.bounds.height());
  mask.components = image.components;
  return mask;
}

namespace {

// Every Same Frame learner takes the pairs of all the frames at once.
bool learnSameFrame(LUT3D& lut, const std::vector<FramePair>& pairs, PreserveMode preserve, int sameFrameFit,
                    KernelSet kernels, const ParallelFor* parallel) {
  if (sameFrameFit == 1)
    return buildMatchLUT_FittedLattice(pairs.data(), int32_t(pairs.size()), lut, preserve, kernels, parallel);
  return buildMatchLUT_SameClipFrames(pairs.data(), int32_t(pairs.size()), lut, 5.0f, preserve, kernels, parallel);
}

}  // namespace

LearnResult learnMatch(LUT3D& lut, const std::vector<FrameInputs>& frames, const LearnChoices& choices,
                       KernelSet kernels, const ParallelFor* parallel, engine::ContentDecision* content) {
  lut.valid = false;
  const size_t n = frames.size();
  // Converted copies of what is not float RGBA (masks: float samples), four per frame.
  std::vector<std::vector<float>> storage(n * 4);
  std::vector<ImageDesc> sources(n), references(n);
  for (size_t f = 0; f < n; ++f) {
    sources[f] = descOf(floatRGBAView(frames[f].source, frames[f].source.bounds, storage[f * 4]));
    references[f] = descOf(floatRGBAView(frames[f].reference, frames[f].reference.bounds, storage[f * 4 + 1]));
  }
  const PreserveMode preserve = PreserveMode(choices.preserveMode);
  if (choices.matchMode == 1) {
    std::vector<FramePair> pairs(n);
    for (size_t f = 0; f < n; ++f) pairs[f] = FramePair{sources[f], references[f]};
    if (!framePairsHaveData(pairs.data(), int32_t(n))) return LearnResult::NoPairData;
    return learnSameFrame(lut, pairs, preserve, choices.sameFrameFit, kernels, parallel) ? LearnResult::Learnt
                                                                                         : LearnResult::OutOfMemory;
  }
  std::vector<MaskData> masks(n * 2);
  std::vector<MaskedImage> sourceFrames(n), referenceFrames(n);
  for (size_t f = 0; f < n; ++f) {
    const FrameInputs& in = frames[f];
    if (in.hasSourceMask) masks[f * 2] = maskFrom(in.sourceMask, storage[f * 4 + 2]);
    if (in.hasReferenceMask) masks[f * 2 + 1] = maskFrom(in.referenceMask, storage[f * 4 + 3]);
    sourceFrames[f] = MaskedImage{sources[f], in.hasSourceMask ? &masks[f * 2] : nullptr};
    referenceFrames[f] = MaskedImage{references[f], in.hasReferenceMask ? &masks[f * 2 + 1] : nullptr};
  }
  // Where it fails, the statistics below, of the same frames and masks.
  if (choices.dcLearner == 1) {
    std::vector<engine::ContentFrame> pooled(n);
    for (size_t f = 0; f < n; ++f)
      pooled[f] = {sourceFrames[f].image, sourceFrames[f].mask, referenceFrames[f].image, referenceFrames[f].mask};
    engine::ContentDecision decision;
    const bool fitted =
        engine::fitMatchingContent(pooled.data(), int32_t(n), lut, preserve, kernels, parallel, decision);
    if (content) *content = decision;
    if (fitted) return LearnResult::Learnt;
  }
  ColorStats sourceStats, referenceStats;
  if (!computeColorStatsFrames(sourceFrames.data(), int32_t(n), Colorspace::Lab, sourceStats, kernels))
    return LearnResult::NoSourceData;
  if (!computeColorStatsFrames(referenceFrames.data(), int32_t(n), Colorspace::Lab, referenceStats, kernels))
    return LearnResult::NoReferenceData;
  return buildMatchLUT_DifferentClips(sourceStats, referenceStats, lut, preserve, kernels, parallel)
             ? LearnResult::Learnt
             : LearnResult::OutOfMemory;
}

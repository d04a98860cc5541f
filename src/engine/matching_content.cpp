// The Different Clips match learnt from matching content, with the statistical match as its
// fallback (matching_content.h).
#include "engine/matching_content.h"

#include <new>

#include "engine/engine_internal.h"

namespace {

bool sameImage(const ImageDesc& a, const MaskData* am, const ImageDesc& b, const MaskData* bm) {
  const bool masksAlike =
      am == bm || (am && bm && am->pixels == bm->pixels && am->width == bm->width && am->height == bm->height &&
                   am->rowBytes == bm->rowBytes && am->components == bm->components);
  return masksAlike && a.pixels == b.pixels && a.width == b.width && a.height == b.height && a.rowBytes == b.rowBytes;
}

bool statisticsMatch(const engine::ContentFrame* frames, int32_t frameCount, LUT3D& lut, PreserveMode mode,
                     KernelSet kernels, const ParallelFor* parallel) {
  std::vector<MaskedImage> sources, references;
  try {
    for (int32_t f = 0; f < frameCount; ++f) {
      sources.push_back({frames[f].source, frames[f].sourceMask});
      references.push_back({frames[f].reference, frames[f].referenceMask});
    }
  } catch (const std::bad_alloc&) {
    lut.valid = false;
    return false;
  }
  ColorStats sourceStats, referenceStats;
  computeColorStatsFrames(sources.data(), frameCount, Colorspace::Lab, sourceStats, kernels);
  computeColorStatsFrames(references.data(), frameCount, Colorspace::Lab, referenceStats, kernels);
  return buildMatchLUT_DifferentClips(sourceStats, referenceStats, lut, mode, kernels, parallel);
}

}  // namespace

namespace engine {

bool fitMatchingContent(const ContentFrame* frames, int32_t frameCount, LUT3D& lut, PreserveMode mode,
                        KernelSet kernels, const ParallelFor* parallel, ContentDecision& decisionOut,
                        const ContentSettings& settings) {
  lut.valid = false;
  decisionOut = ContentDecision{};
  if (!latticeUsable(lut)) {
    decisionOut.reason = ContentReason::OutOfMemory;
    return false;
  }
  ContentDecision first, last;
  bool registered = false;
  try {
    ContentPairs pairs;
    ContentImage source, reference;
    Registration previous;
    bool tracking = false;
    for (int32_t f = 0; f < frameCount; ++f) {
      const ContentFrame& frame = frames[f];
      // A still Reference (or Source) held over a range is prepared once.
      const bool keepSource =
          f > 0 && sameImage(frame.source, frame.sourceMask, frames[f - 1].source, frames[f - 1].sourceMask);
      const bool keepReference = f > 0 && sameImage(frame.reference, frame.referenceMask, frames[f - 1].reference,
                                                    frames[f - 1].referenceMask);
      ContentDecision d;
      // The two pictures are prepared side by side, each by one task.
      bool prepared[2] = {true, true};
      runTasks(parallel, 2, [&](int32_t side, int32_t) {
        if (side == 0 && !keepSource)
          prepared[0] = prepareContentImage(frame.source, frame.sourceMask, settings, kernels, source);
        if (side == 1 && !keepReference)
          prepared[1] = prepareContentImage(frame.reference, frame.referenceMask, settings, kernels, reference);
      });
      if (!prepared[0] || !prepared[1]) {
        d.reason = ContentReason::OutOfMemory;
      } else {
        registerContent(source, reference, settings, tracking ? &previous : nullptr, parallel, d);
      }
      if (d.matched()) {
        collectContentPairs(source, reference, d.registration, settings, pairs);
        previous = d.registration;
        tracking = true;
        registered = true;
        last = d;
      }
      if (f == 0) first = d;
    }
    if (!registered) {
      decisionOut = first;
      return false;
    }
    ContentDecision fit = last;
    if (!fitContentLattice(pairs, mode, kernels, settings, parallel, lut, fit)) fit.reason = ContentReason::OutOfMemory;
    decisionOut = fit;
    if (!fit.matched()) lut.valid = false;
    return fit.matched();
  } catch (const std::bad_alloc&) {
    decisionOut.reason = ContentReason::OutOfMemory;
    lut.valid = false;
    return false;
  }
}

}  // namespace engine

bool buildMatchLUT_MatchingContent(const engine::ContentFrame* frames, int32_t frameCount, LUT3D& lut,
                                   PreserveMode mode, KernelSet kernels, const ParallelFor* parallel,
                                   engine::ContentDecision* decisionOut, const engine::ContentSettings& settings) {
  engine::ContentDecision decision;
  const bool fitted = engine::fitMatchingContent(frames, frameCount, lut, mode, kernels, parallel, decision, settings);
  if (decisionOut) *decisionOut = decision;
  if (fitted) return true;
  if (!engine::latticeUsable(lut)) return false;
  return statisticsMatch(frames, frameCount, lut, mode, kernels, parallel);
}

#include "plugin/learn_encoded.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "render/pixel_format.h"

namespace {

// The grids the engine's learners read: about 10,000 samples per image for the Different Clips
// statistics and 50,000 pairs per frame for Same Frame (the step from the Source's size). The
// anchor Source's highlights are counted on the same grid.
constexpr double kStatsSamples = 10000.0;
constexpr double kPairSamples = 50000.0;

int32_t gridStep(int64_t width, int64_t height, double target) {
  const int64_t pixels = width * height;
  if (pixels <= 0) return 1;
  const int32_t step = int32_t(std::sqrt(double(pixels) / target));
  return step < 1 ? 1 : step;
}

// Float RGBA pixels taken every `step` pixels of every `step`th row, packed, as an image the
// learners read whole: each of its pixels is one the learner would have sampled in the original.
struct Grid {
  std::vector<float> pixels;
  int32_t width = 0, height = 0;
  int32_t step = 1;
  ImageDesc desc() const {
    return ImageDesc{reinterpret_cast<const unsigned char*>(pixels.data()), width, height, width * 16};
  }
};

void sampleGrid(const ImageView& image, int64_t width, int64_t height, int32_t step, Grid& grid) {
  grid.step = step;
  grid.width = width > 0 ? int32_t((width + step - 1) / step) : 0;
  grid.height = height > 0 ? int32_t((height + step - 1) / step) : 0;
  grid.pixels.assign(size_t(grid.width) * size_t(grid.height) * 4, 0.0f);
  for (int32_t gy = 0; gy < grid.height; ++gy) {
    const float* row = reinterpret_cast<const float*>(image.data + int64_t(gy) * step * image.rowBytes);
    float* out = &grid.pixels[size_t(gy) * size_t(grid.width) * 4];
    for (int32_t gx = 0; gx < grid.width; ++gx) std::memcpy(out + gx * 4, row + int64_t(gx) * step * 4, 16);
  }
}

// The grid of `target` samples over width x height with the step that `stepOf` (the full image's
// size) sets; where the learner would not read the packed grid whole (extreme shapes), the whole
// image instead, which it then samples itself.
void learnerGrid(const ImageView& image, int64_t width, int64_t height, int64_t stepWidth, int64_t stepHeight,
                 double target, Grid& grid) {
  sampleGrid(image, width, height, gridStep(stepWidth, stepHeight, target), grid);
  if (grid.step > 1 && gridStep(grid.width, grid.height, target) != 1)
    sampleGrid(image, image.bounds.width(), image.bounds.height(), 1, grid);
}

int32_t maskCoordinate(int32_t maskExtent, int64_t imageExtent, int64_t coord) {
  if (maskExtent == imageExtent || imageExtent == 0) return int32_t(coord);
  return int32_t(int64_t(maskExtent) * coord / imageExtent);
}

// The mask values the statistics would weigh each of the grid's samples by, as a one-channel
// mask of the grid's size; samples outside the mask get 0, which leaves them out as before.
void maskGrid(const ImageView& mask, const ImageView& image, const Grid& grid, std::vector<float>& storage,
              std::vector<float>& values, MaskData& out) {
  const ImageView samples = floatSamples(mask, storage);
  const int32_t mw = int32_t(mask.bounds.width()), mh = int32_t(mask.bounds.height());
  const int64_t iw = image.bounds.width(), ih = image.bounds.height();
  values.assign(size_t(grid.width) * size_t(grid.height), 0.0f);
  for (int32_t gy = 0; gy < grid.height; ++gy)
    for (int32_t gx = 0; gx < grid.width; ++gx) {
      const int32_t mx = maskCoordinate(mw, iw, int64_t(gx) * grid.step);
      const int32_t my = maskCoordinate(mh, ih, int64_t(gy) * grid.step);
      if (!samples.data || mx < 0 || my < 0 || mx >= mw || my >= mh) continue;
      const float* px = reinterpret_cast<const float*>(samples.data + int64_t(my) * samples.rowBytes);
      const int32_t c = mask.components;
      values[size_t(gy) * size_t(grid.width) + size_t(gx)] = c == 4   ? px[int64_t(mx) * 4 + 3]
                                                             : c == 3 ? px[int64_t(mx) * 3]
                                                                      : px[mx];
    }
  out = MaskData{reinterpret_cast<const unsigned char*>(values.data()), grid.width, grid.height, grid.width * 4, 1};
}

struct FrameGrids {
  Grid source, reference;
  std::vector<float> maskStorage[2], maskValues[2];
  MaskData masks[2];
};

// Every pixel of `image` in the working space's code values, packed float RGBA.
ImageDesc codeValues(const ImageView& image, const PlateTransform& decode, const PlateTransform& plate,
                     KernelSet kernels, std::vector<float>& out) {
  std::vector<float> storage;
  const ImageView view = floatRGBAView(image, image.bounds, storage);
  const int64_t w = view.bounds.width(), h = view.bounds.height();
  out.resize(size_t(w * h * 4));
  for (int64_t y = 0; y < h; ++y) std::memcpy(&out[size_t(y * w * 4)], view.data + y * view.rowBytes, size_t(w) * 16);
  plateToLinearPixels(decode, out.data(), w * h, kernels);
  linearToCodePixels(plate, out.data(), w * h, kernels);
  return ImageDesc{reinterpret_cast<const unsigned char*>(out.data()), int32_t(w), int32_t(h), int32_t(w * 16)};
}

// Matching content on whole frames in the working space; false (`content` saying why) leaves the
// frame to the statistics. Memory short for the whole frames counts as a reason to fall back, as
// the statistics need far less.
bool learnContent(LUT3D& lut, const std::vector<FrameInputs>& frames, const PlateTransform& decode,
                  const PlateTransform& plate, PreserveMode preserve, KernelSet kernels, const ParallelFor* parallel,
                  engine::ContentDecision& content) {
  const size_t n = frames.size();
  try {
    std::vector<std::vector<float>> pixels(n * 2), maskStorage(n * 2);
    std::vector<MaskData> masks(n * 2);
    std::vector<engine::ContentFrame> pooled(n);
    for (size_t f = 0; f < n; ++f) {
      const FrameInputs& in = frames[f];
      // A still held over the frames is converted once.
      const bool sameSource = f > 0 && in.source.data == frames[f - 1].source.data;
      const bool sameReference = f > 0 && in.reference.data == frames[f - 1].reference.data;
      pooled[f].source =
          sameSource ? pooled[f - 1].source : codeValues(in.source, decode, plate, kernels, pixels[f * 2]);
      pooled[f].reference =
          sameReference ? pooled[f - 1].reference : codeValues(in.reference, decode, plate, kernels, pixels[f * 2 + 1]);
      if (in.hasSourceMask) masks[f * 2] = maskFrom(in.sourceMask, maskStorage[f * 2]);
      if (in.hasReferenceMask) masks[f * 2 + 1] = maskFrom(in.referenceMask, maskStorage[f * 2 + 1]);
      pooled[f].sourceMask = in.hasSourceMask ? &masks[f * 2] : nullptr;
      pooled[f].referenceMask = in.hasReferenceMask ? &masks[f * 2 + 1] : nullptr;
    }
    return engine::fitMatchingContent(pooled.data(), int32_t(n), lut, preserve, kernels, parallel, content);
  } catch (const std::bad_alloc&) {
    content = engine::ContentDecision{};
    content.reason = engine::ContentReason::OutOfMemory;
    lut.valid = false;
    return false;
  }
}

}  // namespace

LearnResult learnEncodedMatch(LUT3D& lut, const std::vector<FrameInputs>& frames, const ImageView& anchorSource,
                              const LearnChoices& choices, PlateEncoding encoding, KernelSet kernels,
                              const ParallelFor* parallel, PlateTransform& plate, engine::ContentDecision* content) {
  lut.valid = false;
  const int sameFrameFit = choices.sameFrameFit;
  try {
    const bool sameFrame = choices.matchMode == 1;
    const size_t n = frames.size();
    std::vector<FrameGrids> grids(n);
    std::vector<float> converted;
    for (size_t f = 0; f < n; ++f) {
      const FrameInputs& in = frames[f];
      std::vector<float> sourceStorage, referenceStorage;
      const ImageView s = floatRGBAView(in.source, in.source.bounds, sourceStorage);
      const ImageView r = floatRGBAView(in.reference, in.reference.bounds, referenceStorage);
      const int64_t sw = s.bounds.width(), sh = s.bounds.height(), rw = r.bounds.width(), rh = r.bounds.height();
      FrameGrids& g = grids[f];
      if (sameFrame) {
        const int64_t w = std::min(sw, rw), h = std::min(sh, rh);
        sampleGrid(s, w, h, gridStep(sw, sh, kPairSamples), g.source);
        sampleGrid(r, w, h, g.source.step, g.reference);
        if (g.source.step > 1 && gridStep(g.source.width, g.source.height, kPairSamples) != 1) {
          sampleGrid(s, sw, sh, 1, g.source);
          sampleGrid(r, rw, rh, 1, g.reference);
        }
      } else {
        learnerGrid(s, sw, sh, sw, sh, kStatsSamples, g.source);
        learnerGrid(r, rw, rh, rw, rh, kStatsSamples, g.reference);
        if (in.hasSourceMask) maskGrid(in.sourceMask, s, g.source, g.maskStorage[0], g.maskValues[0], g.masks[0]);
        if (in.hasReferenceMask)
          maskGrid(in.referenceMask, r, g.reference, g.maskStorage[1], g.maskValues[1], g.masks[1]);
      }
    }

    // Linear light first, then the working space from the anchor Source's highlights, counted on
    // its frame's grid when it is one of the frames (the extra samples would cost a cache miss
    // each), else on a grid of its own of the same density.
    const PlateTransform decode = makePlateTransform(encoding, WorkingSpace{});
    const Grid* anchorGrid = nullptr;
    for (size_t f = 0; f < n; ++f) {
      for (Grid* grid : {&grids[f].source, &grids[f].reference})
        plateToLinearPixels(decode, grid->pixels.data(), int64_t(grid->pixels.size() / 4), kernels);
      if (!anchorGrid && frames[f].source.data == anchorSource.data) anchorGrid = &grids[f].source;
    }
    Grid own;
    if (!anchorGrid) {
      std::vector<float> storage;
      const ImageView a = floatRGBAView(anchorSource, anchorSource.bounds, storage);
      const int64_t w = a.bounds.width(), h = a.bounds.height();
      sampleGrid(a, w, h, gridStep(w, h, sameFrame ? kPairSamples : kStatsSamples), own);
      plateToLinearPixels(decode, own.pixels.data(), int64_t(own.pixels.size() / 4), kernels);
      anchorGrid = &own;
    }
    HighlightCounts counts;
    countHighlights(anchorGrid->pixels.data(), int64_t(anchorGrid->pixels.size() / 4), counts);
    plate = makePlateTransform(encoding, chooseWorkingSpace(counts, sameFrame, sameFrame && sameFrameFit == 1));
    for (FrameGrids& g : grids)
      for (Grid* grid : {&g.source, &g.reference})
        linearToCodePixels(plate, grid->pixels.data(), int64_t(grid->pixels.size() / 4), kernels);

    const PreserveMode preserve = PreserveMode(choices.preserveMode);
    if (!sameFrame && choices.dcLearner == 1) {
      engine::ContentDecision decision;
      const bool fitted = learnContent(lut, frames, decode, plate, preserve, kernels, parallel, decision);
      if (content) *content = decision;
      if (fitted) return LearnResult::Learnt;
    }
    if (sameFrame) {
      std::vector<FramePair> pairs(n);
      for (size_t f = 0; f < n; ++f) pairs[f] = FramePair{grids[f].source.desc(), grids[f].reference.desc()};
      if (!framePairsHaveData(pairs.data(), int32_t(n))) return LearnResult::NoPairData;
      const bool built =
          sameFrameFit == 1
              ? buildMatchLUT_FittedLattice(pairs.data(), int32_t(n), lut, preserve, kernels, parallel)
              : buildMatchLUT_SameClipFrames(pairs.data(), int32_t(n), lut, 5.0f, preserve, kernels, parallel);
      return built ? LearnResult::Learnt : LearnResult::OutOfMemory;
    }
    std::vector<MaskedImage> sources(n), references(n);
    for (size_t f = 0; f < n; ++f) {
      sources[f] = MaskedImage{grids[f].source.desc(), frames[f].hasSourceMask ? &grids[f].masks[0] : nullptr};
      references[f] = MaskedImage{grids[f].reference.desc(), frames[f].hasReferenceMask ? &grids[f].masks[1] : nullptr};
    }
    ColorStats sourceStats, referenceStats;
    if (!computeColorStatsFrames(sources.data(), int32_t(n), Colorspace::Lab, sourceStats, kernels))
      return LearnResult::NoSourceData;
    if (!computeColorStatsFrames(references.data(), int32_t(n), Colorspace::Lab, referenceStats, kernels))
      return LearnResult::NoReferenceData;
    return buildMatchLUT_DifferentClips(sourceStats, referenceStats, lut, preserve, kernels, parallel)
               ? LearnResult::Learnt
               : LearnResult::OutOfMemory;
  } catch (const std::bad_alloc&) {
    lut.valid = false;
    return LearnResult::OutOfMemory;
  }
}

bool prepareLightLattice(const LUT3D& lut, const PlateTransform& plate, LutStorage& light, KernelSet kernels) {
  light.valid = false;
  if (!plate.plateIsLinear || plate.space.kind == WorkingSpace::Log || !lut.valid || !lut.data ||
      !light.reserve(lut.size))
    return false;
  const int64_t floats = int64_t(lut.size) * lut.size * lut.size * 3;
  std::copy(lut.data, lut.data + floats, light.data);
  codeToLightValues(plate, light.data, floats, kernels);
  light.valid = true;
  return true;
}

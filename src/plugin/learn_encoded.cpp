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

}  // namespace

bool learnEncodedMatch(LUT3D& lut, const std::vector<FrameInputs>& frames, const ImageView& anchorSource, int matchMode,
                       int preserveMode, int sameFrameFit, PlateEncoding encoding, KernelSet kernels,
                       const ParallelFor* parallel, PlateTransform& plate) {
  lut.valid = false;
  try {
    const bool sameFrame = matchMode == 1;
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

    const PreserveMode preserve = PreserveMode(preserveMode);
    if (sameFrame) {
      std::vector<FramePair> pairs(n);
      for (size_t f = 0; f < n; ++f) pairs[f] = FramePair{grids[f].source.desc(), grids[f].reference.desc()};
      if (sameFrameFit == 1)
        return buildMatchLUT_FittedLattice(pairs.data(), int32_t(n), lut, preserve, kernels, parallel);
      return buildMatchLUT_SameClipFrames(pairs.data(), int32_t(n), lut, 5.0f, preserve, kernels, parallel);
    }
    std::vector<MaskedImage> sources(n), references(n);
    for (size_t f = 0; f < n; ++f) {
      sources[f] = MaskedImage{grids[f].source.desc(), frames[f].hasSourceMask ? &grids[f].masks[0] : nullptr};
      references[f] = MaskedImage{grids[f].reference.desc(), frames[f].hasReferenceMask ? &grids[f].masks[1] : nullptr};
    }
    ColorStats sourceStats, referenceStats;
    computeColorStatsFrames(sources.data(), int32_t(n), Colorspace::Lab, sourceStats, kernels);
    computeColorStatsFrames(references.data(), int32_t(n), Colorspace::Lab, referenceStats, kernels);
    return buildMatchLUT_DifferentClips(sourceStats, referenceStats, lut, preserve, kernels, parallel);
  } catch (const std::bad_alloc&) {
    lut.valid = false;
    return false;
  }
}

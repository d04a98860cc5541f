// Different Clips that learns from matching content: when the Reference shows part of the scene the
// Source shows, find where its picture lies in the Source's, take corresponding pixel pairs from
// smooth areas, and fit the grade to them; when that cannot be trusted, the statistical match.
//
// The registration is a similarity without rotation: Source pixel = scale x Reference pixel +
// translation, in full-resolution pixel units with pixel centres at i + 0.5. Rotation is not
// searched; a few degrees of it lower the correlation and is caught by the checks, not corrected.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/engine.h"

namespace engine {

// Every threshold of the analysis. The defaults were chosen on the tuning half of the evaluation
// (bench/content) and never on its held-out half.
struct ContentSettings {
  // The working pictures: each image box-averaged to at most this many pixels on its long side.
  int32_t baseSide = 640;
  // The exhaustive search runs on pictures of about this long side (in Source pixels).
  int32_t coarseSide = 64;
  // Scales searched (Source pixels per Reference pixel), geometric steps.
  float minScale = 0.5f;
  float maxScale = 2.0f;
  float scaleStep = 1.04f;
  // Least share of the smaller picture that the overlap must cover: on a small overlap unrelated
  // pictures correlate by chance.
  float minOverlap = 0.3f;
  // Coarse peaks carried to the fine levels; the runner-up decides uniqueness.
  int32_t candidates = 5;
  // Refined correlation the best framing needs; and the most its misfit (1 - correlation) may be
  // of that of any other framing, one that moves the overlap's centre by more than
  // `distinctShift` working pixels or the scale by more than 3%.
  float minCorrelation = 0.9f;
  float maxAmbiguity = 0.5f;
  float distinctShift = 4.0f;
  // Least share of the overlap's working pixels with structure: a lightness step to a neighbour
  // above `textureStep` (L8 units).
  float minTexture = 0.05f;
  float textureStep = 2.0f;
  // Pairs: at most this many, from the smoothest `smoothShare` of the overlap.
  int32_t maxPairs = 50000;
  float smoothShare = 0.5f;
  int32_t minPairs = 500;
  // The pairs are one colour map when the robust fit explains at least this share of the
  // targets' variance and leaves at most `maxOutliers` of them farther than `outlierDistance`.
  float minExplained = 0.8f;
  float maxOutliers = 0.25f;
  float outlierDistance = 0.08f;
  // The lattice fit: curvature price, pull to the affine prior far from pairs (as the fitted
  // lattice's), the finest lattice solved (coarser ones are prolonged), Huber's constant in
  // robust deviations, and the reweighting rounds.
  float lambda = 1e-6f;
  float falloff = 1e-3f;
  float reach = 0.25f;
  int32_t finestSolved = 17;
  float huber = 1.345f;
  int32_t robustRounds = 2;
};

// Where the Reference's picture lies in the Source's: xs = scale * xr + tx, ys = scale * yr + ty.
struct Registration {
  float scale = 1.0f;
  float tx = 0.0f, ty = 0.0f;
};

enum class ContentReason : int32_t {
  Matched = 0,
  NoPixels,   // an image without pixels or without a counted one
  NoTexture,  // the overlap has too little structure to place the pictures
  NoPeak,     // no framing correlates well enough
  NotUnique,  // another framing correlates nearly as well
  FewPairs,   // too few pixel pairs in smooth areas of the overlap
  NotOneMap,  // the pairs are not one colour map
  OutOfMemory,
};

// Why a frame was matched by content or fell back to "Statistics", with the figures behind it.
struct ContentDecision {
  ContentReason reason = ContentReason::NoPixels;
  Registration registration;
  float correlation = 0.0f;    // refined correlation of the chosen framing
  float runnerUp = 0.0f;       // of the best other framing (0: none)
  float runnerUpShift = 0.0f;  // how far that framing moves the overlap's centre, Source pixels
  float overlap = 0.0f;        // share of the smaller picture that the overlap covers
  float texture = 0.0f;        // share of the overlap with structure
  int32_t pairs = 0;
  float explained = 0.0f;  // share of the targets' variance the fit explains
  float outliers = 0.0f;   // share of the pairs farther than outlierDistance from the fit
  bool tracked = false;    // found from the previous frame's framing, without a search
  bool matched() const { return reason == ContentReason::Matched; }
};

// A short English sentence for the decision, for the one message the caller shows.
const char* contentReasonText(ContentReason reason);

// One image prepared for registration: box-averaged RGB, its lightness ranks and the mask, at the
// working resolution, and a pyramid of the ranks. `factor` full pixels per working pixel.
struct ContentLevel {
  int32_t width = 0, height = 0;
  float factor = 1.0f;        // full-resolution pixels per pixel of this level
  std::vector<float> rank;    // lightness rank in 0..1 (0 where the mask is 0)
  std::vector<float> weight;  // 0..1: the share of counted pixels
};
struct ContentImage {
  int32_t fullWidth = 0, fullHeight = 0;
  std::vector<float> rgb[3];          // working level, clamped to 0..1
  std::vector<float> lightness;       // working level, L8
  std::vector<ContentLevel> levels;   // [0] the working level, then halves
  std::vector<double> sumRank, sumW;  // summed-area tables of rank * weight and weight on level 0
  int64_t counted = 0;                // working pixels with weight
};

// Builds the prepared image; false when memory ran out.
bool prepareContentImage(const ImageDesc& image, const MaskData* mask, const ContentSettings& settings,
                         KernelSet kernels, ContentImage& out);

// Finds the Reference in the Source. With `hint`, first tries the framing near it (the previous
// frame's) and takes it when it holds up, without the search; the decision says so.
void registerContent(const ContentImage& source, const ContentImage& reference, const ContentSettings& settings,
                     const Registration* hint, const ParallelFor* parallel, ContentDecision& decision);

// Corresponding colours: Source colour, Reference colour (both 0..1).
struct ContentPairs {
  std::vector<float> source[3];
  std::vector<float> reference[3];
  int64_t count() const { return int64_t(source[0].size()); }
};

// Appends the pairs of one registered frame, from smooth areas of the overlap.
void collectContentPairs(const ContentImage& source, const ContentImage& reference, const Registration& registration,
                         const ContentSettings& settings, ContentPairs& pairs);

// Fits the lattice to the pairs (robust affine prior, Huber-weighted lattice), checks that they
// are one colour map (decision.explained, decision.outliers) and, when they are, fills `lut`.
bool fitContentLattice(const ContentPairs& pairs, PreserveMode mode, KernelSet kernels, const ContentSettings& settings,
                       const ParallelFor* parallel, LUT3D& lut, ContentDecision& decision);

// One frame of a Different Clips analysis: Source and Reference with their masks (null: none).
struct ContentFrame {
  ImageDesc source;
  const MaskData* sourceMask;
  ImageDesc reference;
  const MaskData* referenceMask;
};

// The match learnt from matching content alone: true with `lut` filled when at least one frame
// registered and the pairs are one colour map; else false, lut.valid false and `decision` saying
// why, for the caller to learn "Statistics" its own way.
bool fitMatchingContent(const ContentFrame* frames, int32_t frameCount, LUT3D& lut, PreserveMode mode,
                        KernelSet kernels, const ParallelFor* parallel, ContentDecision& decision,
                        const ContentSettings& settings = ContentSettings{});

}  // namespace engine

// The Different Clips match learnt from matching content, over one frame or several pooled (a key
// frame, a range): every frame is registered (each from the previous one's framing where it
// holds), the pairs of the frames that register are fitted together, and when none registers or
// the pairs are not one colour map the LUT is the "Statistics" match of the same frames, bit for
// bit. `decision` (may be null) receives the decision; with several frames, that of the fit, or of
// the first frame when none registered. False, with lut.valid false, only when memory ran out.
bool buildMatchLUT_MatchingContent(const engine::ContentFrame* frames, int32_t frameCount, LUT3D& lut,
                                   PreserveMode mode, KernelSet kernels, const ParallelFor* parallel = nullptr,
                                   engine::ContentDecision* decision = nullptr,
                                   const engine::ContentSettings& settings = engine::ContentSettings{});

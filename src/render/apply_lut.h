// LUT application: clamps each Source pixel, samples the lattice trilinearly and blends with
// per-channel mixes. Images here are always 32-bit float RGBA; other layouts are converted
// before they get here.
#pragma once

#include "cpu/cpu_features.h"
#include "engine/engine.h"
#include "render/image.h"
#include "render/red_pairs.h"

// How much of the lookup each channel takes: strength x channel mix, formed in double and
// rounded to float once per render, and its complement.
struct ChannelMixes {
  float mix[3];
  float oneMinusMix[3];  // 1.0f - mix
};

ChannelMixes channelMixes(double strength, double red, double green, double blue);

// Trilinear lookup of a colour already clamped to [0, 1]. Needs lut.size >= 2 and lut.data.
void sampleLUT(const LUT3D& lut, float r, float g, float b, float& outR, float& outG, float& outB);

// Writes every Output pixel of the window that lies inside the Output bounds. Window pixels
// outside the Source bounds become transparent black and are never read. Without a lattice
// (lut null, or one without storage) the Output is the clamped Source. Every kernel set gives
// the same bits as the generic one.
void applyLUT(const ImageView& source, const ImageView& output, const Rect& window, const LUT3D* lut,
              const ChannelMixes& mixes, KernelSet kernels);
// The same with `pairs` prepared from *lut (prepareRedPairs), which the vector kernels read
// instead of the lattice: the same bits, faster. A null or empty table is not used.
void applyLUT(const ImageView& source, const ImageView& output, const Rect& window, const LUT3D* lut,
              const RedPairs* pairs, const ChannelMixes& mixes, KernelSet kernels);

// What the values a host delivers mean, and the working spaces the match is learnt and applied
// in when they are scene-linear light or a camera's log encoding. Pure arithmetic on floats: the
// render and export libraries take it as it stands; only the plug-in reads the choice.
//
// A pixel goes: plate values -> linear light (the plate's curve, inverted) -> working-space code
// values in 0..1 (the lattice's domain) -> the lattice -> linear light -> plate values. Primaries
// are never touched: the curves act on each channel alone.
#pragma once

#include <cstdint>

#include "cpu/cpu_features.h"

// The "Plate Encoding" choice, in option order. From Host is resolved to one of the others
// before anything here sees it.
enum class PlateEncoding : int32_t {
  AsDelivered = 0,
  SceneLinear = 1,
  AcesCct = 2,
  ArriLogC3 = 3,
  SonyLog3 = 4,
  RedLog3G10 = 5,
  PanasonicVLog = 6,
  CanonLog3 = 7,
  FromHost = 8,
};

constexpr int32_t kPlateEncodingCount = 9;

// The option labels, in index order.
extern const char* const kPlateEncodingLabels[kPlateEncodingCount];

// An index read from the host as an encoding: anything outside the options is As Delivered.
PlateEncoding plateEncodingOf(int32_t index);

// Whether values are matched as light (every choice but As Delivered and From Host).
inline bool isLightEncoding(PlateEncoding e) { return e != PlateEncoding::AsDelivered && e != PlateEncoding::FromHost; }
inline bool isLogEncoding(PlateEncoding e) { return isLightEncoding(e) && e != PlateEncoding::SceneLinear; }

// The makers' published formulas, in double precision: a code value to scene-linear light and
// back (ARRI LogC3 at EI 800; Canon Log 3 including the 0.9 of Canon's own conversion to
// scene-linear). Scene Linear, As Delivered and From Host are the identity. The plain reference
// the fast kernels are held to.
double plateToLinear(PlateEncoding e, double code);
double linearToPlate(PlateEncoding e, double linear);

// A camera log curve in the form the kernels evaluate, in single precision:
//   code = x >= linBreak ? logSlope * log2(linSlope * x + linOffset) + logOffset
//                        : linearSlope * x + linearOffset
// and, when `mirrored` (Canon Log 3), below -mirrorBreak the log segment mirrored through
// mirrorOffset: code = mirrorOffset - logSlope * log2(linSlope * -x + linOffset).
struct LogCurve {
  float linBreak, codeBreak;
  float logSlope, logOffset, linSlope, linOffset;
  float linearSlope, linearOffset;
  bool mirrored;
  float mirrorBreak, mirrorCodeBreak, mirrorOffset;
  // Reciprocals the decoder multiplies by.
  float invLogSlope, invLinSlope, invLinearSlope;
};

// The curve of a log encoding (identity slopes for Scene Linear).
LogCurve logCurveOf(PlateEncoding e);

// The space the lattice covers. Linear: code = L / top (Different Clips, whose statistics read
// linear light). Gamma: a 2.4 power with code 59/64 at `top` (display white for a Source within
// 1). Log: a base-2 log curve from 2^-10, with code 59/64 at `top` and a straight toe through
// black below 2^-9. The last two keep the lattice's outer five steps above the Source, out of
// reach of the Same Frame smoothing. Their logarithms and powers are taken octave by octave
// (exact at powers of two, a quadratic between them with no break in slope: within 0.003 of a
// stop of log2), which costs a few operations a pixel where a true one costs thirty.
struct WorkingSpace {
  enum Kind : int32_t { Linear = 0, Gamma = 1, Log = 2 };
  Kind kind = Linear;
  float top = 1.0f;
};

bool operator==(const WorkingSpace& a, const WorkingSpace& b);
inline bool operator!=(const WorkingSpace& a, const WorkingSpace& b) { return !(a == b); }

// Linear light at code 1, the end of the lattice: beyond it values continue along their ray.
double workingSpaceEnd(const WorkingSpace& w);
// "Linear / 4", "Gamma 2.4 - Headroom 1", "Log - Headroom 16": for diagnostics and file comments.
void describeWorkingSpace(const WorkingSpace& w, char* text, int size);

// The share of samples above which a Source counts as having highlights, and above which a top
// does not hold it.
constexpr double kHighlightShare = 0.001;
constexpr int32_t kHighestTopLog2 = 16;  // tops run 2, 4, ... 65536

// How the Source's linear light is spread: of `count` finite samples, how many have their largest
// of R, G and B above 1, 2, 4, ... 2^kHighestTopLog2.
struct HighlightCounts {
  int64_t count = 0;
  int64_t above[kHighestTopLog2 + 1] = {};  // above[i]: largest > 2^i
};

// Adds `pixels` float RGBA samples of linear light (non-finite ones skipped).
void countHighlights(const float* rgba, int64_t pixels, HighlightCounts& counts);

// The working space for a Source spread so, by mode: with at most kHighlightShare above 1, the
// mode's space for display-range pictures (Different Clips linear light up to 1, Same Frame the
// gamma space up to 1); with more, the narrowest power-of-two top that holds all but that share
// (the widest when none does): Different Clips linear light up to it, Same Frame the gamma space
// up to 8 and the log space from 16 (the fitted lattice takes the log space only, from 16).
WorkingSpace chooseWorkingSpace(const HighlightCounts& source, bool sameFrame, bool fittedLattice);

// Everything the kernels need for one plate encoding and working space.
struct PlateTransform {
  PlateEncoding encoding = PlateEncoding::SceneLinear;
  WorkingSpace space;
  LogCurve curve;
  bool plateIsLinear = true;  // Scene Linear: no curve to evaluate
  // Working space constants.
  float end;            // linear light at code 1
  float scale;          // Linear: 1 / top; Gamma: 1 / top
  float codeTop;        // Gamma: 59/64
  float invCodeTop;     // 64/59
  float lo, invRange;   // Log: code = (log2 L - lo) * invRange
  float range;          // Log: hi - lo
  float toe, toeSlope;  // Log: below toe, code = L * toeSlope
  float invToeSlope;
  float toeCode;  // Log: toe * toeSlope
};

PlateTransform makePlateTransform(PlateEncoding encoding, const WorkingSpace& space);

// The kernels. Every kernel set gives the same bits; float RGBA pixels throughout.

// Plate values to linear light, in place (alpha left alone).
void plateToLinearPixels(const PlateTransform& t, float* rgba, int64_t pixels, KernelSet kernels);
// Linear light to working-space code values for learning, in place: not clamped (Different Clips
// reads them as they are, Same Frame clamps them itself), NaN and infinities kept.
void linearToCodePixels(const PlateTransform& t, float* rgba, int64_t pixels, KernelSet kernels);
// Working-space code values back to plate values, in place (export tables).
void codeToPlatePixels(const PlateTransform& t, float* rgba, int64_t pixels, KernelSet kernels);

// The first half of an application: plate pixels to the lattice's input. Each output pixel holds
// the code values (R, G, B) of the pixel's linear light, scaled down along its ray when its
// largest channel lies beyond the working space's end, and in place of alpha the scale k >= 1 of
// that ray. A channel below 0 in linear light is marked -1 (looked up as 0), and so are all three
// of a pixel with a non-finite channel. True when some pixel was scaled (else every k is 1).
bool plateToLattice(const PlateTransform& t, const float* src, float* codes, int32_t pixels, KernelSet kernels);

// The second half: `looked` is the lattice's answer for `codes`. The match in plate values, the
// light of the looked-up code (times k when `scaled`), is blended with the Source as delivered:
// mix x match + keep x Source per channel. Marked channels keep the Source's values, alpha is the
// Source's.
struct PlateMixes {
  float mix[3];
  float keep[3];
};
void latticeToPlate(const PlateTransform& t, const float* src, const float* codes, const float* looked, float* dst,
                    int32_t pixels, const PlateMixes& mixes, bool scaled, KernelSet kernels);

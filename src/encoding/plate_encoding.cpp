#include "encoding/plate_encoding.h"

#include <cmath>
#include <cstdio>

const char* const kPlateEncodingLabels[kPlateEncodingCount] = {"As Delivered",    "Scene Linear", "ACEScct",
                                                               "ARRI LogC3",      "Sony S-Log3",  "RED Log3G10",
                                                               "Panasonic V-Log", "Canon C-Log3", "From Host"};

PlateEncoding plateEncodingOf(int32_t index) {
  return index >= 0 && index < kPlateEncodingCount ? PlateEncoding(index) : PlateEncoding::AsDelivered;
}

namespace {

// ARRI LogC3, EI 800.
constexpr double kLogC3Cut = 0.010591, kLogC3A = 5.555556, kLogC3B = 0.052272, kLogC3C = 0.247190, kLogC3D = 0.385537,
                 kLogC3E = 5.367655, kLogC3F = 0.092809;
// Canon Log 3, on scene-linear light divided by 0.9.
constexpr double kCLog3Scale = 0.9;

double acesCctToLinear(double y) {
  if (y <= 0.155251141552511) return (y - 0.0729055341958355) / 10.5402377416545;
  return std::exp2(y * 17.52 - 9.72);
}

double linearToAcesCct(double x) {
  if (x <= 0.0078125) return 10.5402377416545 * x + 0.0729055341958355;
  return (std::log2(x) + 9.72) / 17.52;
}

double logC3ToLinear(double t) {
  if (t > kLogC3E * kLogC3Cut + kLogC3F) return (std::pow(10.0, (t - kLogC3D) / kLogC3C) - kLogC3B) / kLogC3A;
  return (t - kLogC3F) / kLogC3E;
}

double linearToLogC3(double x) {
  if (x > kLogC3Cut) return kLogC3C * std::log10(kLogC3A * x + kLogC3B) + kLogC3D;
  return kLogC3E * x + kLogC3F;
}

double sLog3ToLinear(double y) {
  if (y >= 171.2102946929 / 1023.0) return std::pow(10.0, (y * 1023.0 - 420.0) / 261.5) * (0.18 + 0.01) - 0.01;
  return (y * 1023.0 - 95.0) * 0.01125000 / (171.2102946929 - 95.0);
}

double linearToSLog3(double x) {
  if (x >= 0.01125000) return (420.0 + std::log10((x + 0.01) / (0.18 + 0.01)) * 261.5) / 1023.0;
  return (x * (171.2102946929 - 95.0) / 0.01125000 + 95.0) / 1023.0;
}

double log3G10ToLinear(double y) {
  if (y < 0.0) return y / 15.1927 - 0.01;
  return (std::pow(10.0, y / 0.224282) - 1.0) / 155.975327 - 0.01;
}

double linearToLog3G10(double x) {
  x += 0.01;
  if (x < 0.0) return x * 15.1927;
  return 0.224282 * std::log10(x * 155.975327 + 1.0);
}

double vLogToLinear(double y) {
  if (y < 0.181) return (y - 0.125) / 5.6;
  return std::pow(10.0, (y - 0.598206) / 0.241514) - 0.00873;
}

double linearToVLog(double x) {
  if (x < 0.01) return 5.6 * x + 0.125;
  return 0.241514 * std::log10(x + 0.00873) + 0.598206;
}

double cLog3ToLinear(double y) {
  double x;
  if (y < 0.097465473)
    x = -(std::pow(10.0, (0.12783901 - y) / 0.36726845) - 1.0) / 14.98325;
  else if (y <= 0.15277891)
    x = (y - 0.12512219) / 1.9754798;
  else
    x = (std::pow(10.0, (y - 0.12240537) / 0.36726845) - 1.0) / 14.98325;
  return x * kCLog3Scale;
}

double linearToCLog3(double x) {
  x /= kCLog3Scale;
  if (x < -0.014) return -0.36726845 * std::log10(-x * 14.98325 + 1.0) + 0.12783901;
  if (x <= 0.014) return 1.9754798 * x + 0.12512219;
  return 0.36726845 * std::log10(x * 14.98325 + 1.0) + 0.12240537;
}

constexpr double kLog10Of2 = 0.30102999566398120;

// A base-10 log curve a log10(b x + c) + d above x0, e x + f below, in the kernels' form.
LogCurve base10(double a, double b, double c, double d, double x0, double e, double f, double codeBreak) {
  LogCurve k{};
  k.linBreak = float(x0);
  k.codeBreak = float(codeBreak);
  k.logSlope = float(a * kLog10Of2);
  k.logOffset = float(d);
  k.linSlope = float(b);
  k.linOffset = float(c);
  k.linearSlope = float(e);
  k.linearOffset = float(f);
  return k;
}

}  // namespace

double plateToLinear(PlateEncoding e, double code) {
  switch (e) {
    case PlateEncoding::AcesCct:
      return acesCctToLinear(code);
    case PlateEncoding::ArriLogC3:
      return logC3ToLinear(code);
    case PlateEncoding::SonyLog3:
      return sLog3ToLinear(code);
    case PlateEncoding::RedLog3G10:
      return log3G10ToLinear(code);
    case PlateEncoding::PanasonicVLog:
      return vLogToLinear(code);
    case PlateEncoding::CanonLog3:
      return cLog3ToLinear(code);
    default:
      return code;
  }
}

double linearToPlate(PlateEncoding e, double linear) {
  switch (e) {
    case PlateEncoding::AcesCct:
      return linearToAcesCct(linear);
    case PlateEncoding::ArriLogC3:
      return linearToLogC3(linear);
    case PlateEncoding::SonyLog3:
      return linearToSLog3(linear);
    case PlateEncoding::RedLog3G10:
      return linearToLog3G10(linear);
    case PlateEncoding::PanasonicVLog:
      return linearToVLog(linear);
    case PlateEncoding::CanonLog3:
      return linearToCLog3(linear);
    default:
      return linear;
  }
}

LogCurve logCurveOf(PlateEncoding e) {
  LogCurve k{};
  switch (e) {
    case PlateEncoding::AcesCct:
      // (log2 x + 9.72) / 17.52: a base-2 curve.
      k = base10(1.0 / 17.52 / kLog10Of2, 1.0, 0.0, 9.72 / 17.52, 0.0078125, 10.5402377416545, 0.0729055341958355,
                 0.155251141552511);
      break;
    case PlateEncoding::ArriLogC3:
      k = base10(kLogC3C, kLogC3A, kLogC3B, kLogC3D, kLogC3Cut, kLogC3E, kLogC3F, kLogC3E * kLogC3Cut + kLogC3F);
      break;
    case PlateEncoding::SonyLog3:
      k = base10(261.5 / 1023.0, 1.0 / 0.19, 0.01 / 0.19, 420.0 / 1023.0, 0.01125,
                 (171.2102946929 - 95.0) / 0.01125 / 1023.0, 95.0 / 1023.0, 171.2102946929 / 1023.0);
      break;
    case PlateEncoding::RedLog3G10:
      k = base10(0.224282, 155.975327, 155.975327 * 0.01 + 1.0, 0.0, -0.01, 15.1927, 15.1927 * 0.01, 0.0);
      break;
    case PlateEncoding::PanasonicVLog:
      k = base10(0.241514, 1.0, 0.00873, 0.598206, 0.01, 5.6, 0.125, 0.181);
      break;
    case PlateEncoding::CanonLog3:
      k = base10(0.36726845, 14.98325 / kCLog3Scale, 1.0, 0.12240537, 0.014 * kCLog3Scale, 1.9754798 / kCLog3Scale,
                 0.12512219, 0.15277891);
      k.mirrored = true;
      k.mirrorBreak = float(-0.014 * kCLog3Scale);
      k.mirrorCodeBreak = 0.097465473f;
      k.mirrorOffset = 0.12783901f;
      break;
    default:
      // The identity, should a caller evaluate it.
      k = base10(1.0, 1.0, 0.0, 0.0, 1e30, 1.0, 0.0, 1e30);
      break;
  }
  k.invLogSlope = 1.0f / k.logSlope;
  k.invLinSlope = 1.0f / k.linSlope;
  k.invLinearSlope = 1.0f / k.linearSlope;
  return k;
}

bool operator==(const WorkingSpace& a, const WorkingSpace& b) { return a.kind == b.kind && a.top == b.top; }

namespace {

constexpr double kHeadroomCode = 59.0 / 64.0;
constexpr double kLogBottom = -10.0;  // log2 of the lowest light the log space resolves

double logSpaceTopLog2(double top) { return kLogBottom + (std::log2(top) - kLogBottom) / kHeadroomCode; }

// The kernels' octave logarithm and its inverse (pixel_bodies.h), in double.
double octaveLog2(double x) {
  const int e = std::ilogb(x);
  const double f = std::ldexp(x, -e) - 1.0;
  return e + f * (4.0 - f) / 3.0;
}

double octaveExp2(double y) {
  const double e = std::floor(y);
  return std::ldexp(3.0 - std::sqrt(4.0 - 3.0 * (y - e)), int(e));
}

}  // namespace

double workingSpaceEnd(const WorkingSpace& w) {
  switch (w.kind) {
    case WorkingSpace::Gamma:
      return double(w.top) * octaveExp2(octaveLog2(1.0 / kHeadroomCode) * 2.4);
    case WorkingSpace::Log:
      return octaveExp2(logSpaceTopLog2(w.top));
    case WorkingSpace::Linear:
      break;
  }
  return w.top;
}

void describeWorkingSpace(const WorkingSpace& w, char* text, int size) {
  const char* kinds[] = {"Linear / %g", "Gamma 2.4 - Headroom %g", "Log - Headroom %g"};
  std::snprintf(text, size_t(size), kinds[w.kind], double(w.top));
}

void countHighlights(const float* rgba, int64_t pixels, HighlightCounts& counts) {
  for (int64_t i = 0; i < pixels; ++i) {
    const float* p = rgba + i * 4;
    if (!(std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]))) continue;
    const float largest = std::fmax(p[0], std::fmax(p[1], p[2]));
    ++counts.count;
    float level = 1.0f;
    for (int32_t l = 0; l <= kHighestTopLog2 && largest > level; ++l, level *= 2.0f) ++counts.above[l];
  }
}

WorkingSpace chooseWorkingSpace(const HighlightCounts& source, bool sameFrame, bool fittedLattice) {
  auto share = [&](int32_t l) { return source.count > 0 ? double(source.above[l]) / double(source.count) : 0.0; };
  WorkingSpace w;
  w.kind = sameFrame ? WorkingSpace::Gamma : WorkingSpace::Linear;
  if (share(0) <= kHighlightShare) return w;
  int32_t topLog2 = 1;
  while (topLog2 < kHighestTopLog2 && share(topLog2) > kHighlightShare) ++topLog2;
  if (sameFrame && (fittedLattice || topLog2 >= 4)) {
    w.kind = WorkingSpace::Log;
    if (topLog2 < 4) topLog2 = 4;
  }
  w.top = std::ldexp(1.0f, topLog2);
  return w;
}

PlateTransform makePlateTransform(PlateEncoding encoding, const WorkingSpace& space) {
  PlateTransform t{};
  t.encoding = encoding;
  t.space = space;
  t.curve = logCurveOf(encoding);
  t.plateIsLinear = !isLogEncoding(encoding);
  t.end = float(workingSpaceEnd(space));
  t.scale = 1.0f / space.top;
  t.codeTop = float(kHeadroomCode);
  t.invCodeTop = float(1.0 / kHeadroomCode);
  t.lo = float(kLogBottom);
  const double range = logSpaceTopLog2(space.top) - kLogBottom;
  t.range = float(range);
  t.invRange = float(1.0 / range);
  // Below the toe a straight line through black, with the slope of the octave above it.
  const double toe = std::exp2(kLogBottom + 1.0);
  t.toe = float(toe);
  t.toeSlope = float(1.0 / (range * toe));
  t.invToeSlope = float(range * toe);
  t.toeCode = t.toe * t.toeSlope;
  return t;
}

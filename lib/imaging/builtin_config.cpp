// The built-in set of colour spaces: Linear Rec.709 is its reference.
#include "imaging/colour.h"
#include "imaging/primaries.h"

#include <cmath>
#include <string>

const char* const kLinearRec709 = "Linear Rec.709 (sRGB)";
const char* const kSrgbTexture = "sRGB - Texture";
const char* const kGamma24Rec709 = "Gamma 2.4 Rec.709";
const char* const kHeadroom = "Gamma 2.4 Rec.709 - Headroom";
const char* const kAcesCg = "ACEScg";
const char* const kAcesCct = "ACEScct";
const char* const kAces2065 = "ACES2065-1";
const int kHighlightTops[6] = {2, 4, 8, 16, 32, 64};
const char* const kMatchSpace = "Vantrel Match";

const CameraSpace kCameraSpaces[] = {
    {"ARRI LogC3 (EI800) - AWG", "logc3", "ARRI_ALEXA-LOGC-EI800-AWG_to_ACES2065-1"},
    {"Sony S-Log3 - S-Gamut3", "slog3", "SONY_SLOG3-SGAMUT3_to_ACES2065-1"},
    {"Sony S-Log3 - S-Gamut3.Cine", "slog3_cine", "SONY_SLOG3-SGAMUT3.CINE_to_ACES2065-1"},
    {"RED Log3G10 - REDWideGamutRGB", "log3g10", "RED_LOG3G10-RWG_to_ACES2065-1"},
    {"Canon C-Log2 - Cinema Gamut", "clog2", "CANON_CLOG2-CGAMUT_to_ACES2065-1"},
    {"Canon C-Log3 - Cinema Gamut", "clog3", "CANON_CLOG3-CGAMUT_to_ACES2065-1"},
    {"Panasonic V-Log - V-Gamut", "vlog", "PANASONIC_VLOG-VGAMUT_to_ACES2065-1"},
};

const Primaries kRec709 = {0.64, 0.33, 0.30, 0.60, 0.15, 0.06, 0.3127, 0.3290};
const Primaries kAp1 = {0.713, 0.293, 0.165, 0.830, 0.128, 0.044, 0.32168, 0.33767};
const Primaries kAp0 = {0.7347, 0.2653, 0.0, 1.0, 0.0001, -0.0770, 0.32168, 0.33767};

namespace {

Mat3 multiply(const Mat3& a, const Mat3& b) {
  Mat3 m{};
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c)
      for (int k = 0; k < 3; ++k) m[size_t(r * 3 + c)] += a[size_t(r * 3 + k)] * b[size_t(k * 3 + c)];
  return m;
}

std::array<double, 3> xyToXyz(double x, double y) { return {x / y, 1.0, (1.0 - x - y) / y}; }

// Bradford chromatic adaptation between two whites.
Mat3 bradford(double fromX, double fromY, double toX, double toY) {
  const Mat3 cone = {0.8951, 0.2664, -0.1614, -0.7502, 1.7135, 0.0367, 0.0389, -0.0685, 1.0296};
  const auto from = xyToXyz(fromX, fromY), to = xyToXyz(toX, toY);
  Mat3 scale{};
  for (int k = 0; k < 3; ++k) {
    const double f =
        cone[size_t(k * 3)] * from[0] + cone[size_t(k * 3 + 1)] * from[1] + cone[size_t(k * 3 + 2)] * from[2];
    const double t = cone[size_t(k * 3)] * to[0] + cone[size_t(k * 3 + 1)] * to[1] + cone[size_t(k * 3 + 2)] * to[2];
    scale[size_t(k * 4)] = t / f;
  }
  return multiply(inverse(cone), multiply(scale, cone));
}

}  // namespace

Mat3 inverse(const Mat3& m) {
  const double a = m[0], b = m[1], c = m[2], d = m[3], e = m[4], f = m[5], g = m[6], h = m[7], i = m[8];
  const double det = a * (e * i - f * h) - b * (d * i - f * g) + c * (d * h - e * g);
  return {(e * i - f * h) / det, (c * h - b * i) / det, (b * f - c * e) / det,
          (f * g - d * i) / det, (a * i - c * g) / det, (c * d - a * f) / det,
          (d * h - e * g) / det, (b * g - a * h) / det, (a * e - b * d) / det};
}

Mat3 rgbToXyz(const Primaries& p) {
  Mat3 columns{};
  for (int k = 0; k < 3; ++k) {
    const auto xyz = xyToXyz(p[size_t(2 * k)], p[size_t(2 * k + 1)]);
    for (int r = 0; r < 3; ++r) columns[size_t(r * 3 + k)] = xyz[size_t(r)];
  }
  const auto white = xyToXyz(p[6], p[7]);
  const Mat3 inv = inverse(columns);
  Mat3 m = columns;
  for (int k = 0; k < 3; ++k) {
    const double scale =
        inv[size_t(k * 3)] * white[0] + inv[size_t(k * 3 + 1)] * white[1] + inv[size_t(k * 3 + 2)] * white[2];
    for (int r = 0; r < 3; ++r) m[size_t(r * 3 + k)] *= scale;
  }
  return m;
}

Mat3 toRec709(const Primaries& from) {
  return multiply(inverse(rgbToXyz(kRec709)),
                  multiply(bradford(from[6], from[7], kRec709[6], kRec709[7]), rgbToXyz(from)));
}

OCIO::MatrixTransformRcPtr matrixTransform(const Mat3& m) {
  const double m44[16] = {m[0], m[1], m[2], 0, m[3], m[4], m[5], 0, m[6], m[7], m[8], 0, 0, 0, 0, 1};
  auto t = OCIO::MatrixTransform::Create();
  t->setMatrix(m44);
  return t;
}

namespace {

// ACEScct code values to ACEScg: a log curve with a straight toe below 0.0078125.
OCIO::TransformRcPtr acesCctToLinear() {
  const double breakValue[3] = {0.0078125, 0.0078125, 0.0078125};
  auto t = OCIO::LogCameraTransform::Create(breakValue);
  t->setBase(2.0);
  const double slope[3] = {1.0 / 17.52, 1.0 / 17.52, 1.0 / 17.52};
  const double offset[3] = {9.72 / 17.52, 9.72 / 17.52, 9.72 / 17.52};
  const double linearSlope[3] = {10.5402377416545, 10.5402377416545, 10.5402377416545};
  t->setLogSideSlopeValue(slope);
  t->setLogSideOffsetValue(offset);
  t->setLinearSlopeValue(linearSlope);
  t->setDirection(OCIO::TRANSFORM_DIR_INVERSE);
  return t;
}

// Gamma 2.4 code values to linear light, code `headroom` being `top`.
OCIO::TransformRcPtr gammaHeadroom(double top, double headroom) {
  auto curve = OCIO::GroupTransform::Create();
  const double stretch = 1.0 / headroom;
  curve->appendTransform(matrixTransform({stretch, 0, 0, 0, stretch, 0, 0, 0, stretch}));
  auto g24 = OCIO::ExponentTransform::Create();
  const double power[4] = {2.4, 2.4, 2.4, 1.0};
  g24->setValue(power);
  g24->setNegativeStyle(OCIO::NEGATIVE_MIRROR);  // values below 0 survive a round trip
  curve->appendTransform(g24);
  if (top != 1.0) curve->appendTransform(matrixTransform({top, 0, 0, 0, top, 0, 0, 0, top}));
  return curve;
}

// Code values of a base-2 log curve to linear light: code = (log2(x) - lo) / (hi - lo), and
// below the point where its tangent meets black a straight line through black. Both ends are
// clamped at 0, so that black is code 0 exactly both ways and no match goes below it (the
// plug-in clamps its input there anyway).
OCIO::TransformRcPtr log2Headroom(double lo, double hi) {
  const double toe = std::exp2(lo + 1.0 / std::log(2.0));
  const double breakValue[3] = {toe, toe, toe};
  auto log = OCIO::LogCameraTransform::Create(breakValue);
  log->setBase(2.0);
  const double slope[3] = {1.0 / (hi - lo), 1.0 / (hi - lo), 1.0 / (hi - lo)};
  const double offset[3] = {-lo / (hi - lo), -lo / (hi - lo), -lo / (hi - lo)};
  log->setLogSideSlopeValue(slope);
  log->setLogSideOffsetValue(offset);
  log->setDirection(OCIO::TRANSFORM_DIR_INVERSE);
  auto atBlack = [] {
    auto clamp = OCIO::RangeTransform::Create();
    clamp->setMinInValue(0.0);
    clamp->setMinOutValue(0.0);
    return clamp;
  };
  auto curve = OCIO::GroupTransform::Create();
  curve->appendTransform(atBlack());
  curve->appendTransform(log);
  curve->appendTransform(atBlack());
  return curve;
}

OCIO::ColorSpaceRcPtr space(const char* name, const char* alias, const char* family, const char* encoding,
                            const char* description, const OCIO::ConstTransformRcPtr& toReference) {
  auto cs = OCIO::ColorSpace::Create();
  cs->setName(name);
  cs->addAlias(alias);
  cs->setFamily(family);
  cs->setEncoding(encoding);
  cs->setDescription(description);
  if (toReference) cs->setTransform(toReference, OCIO::COLORSPACE_DIR_TO_REFERENCE);
  return cs;
}

// Gamma 2.4 code values scaled by 59/64: display white lies five steps of a 65-point table below
// its top, out of reach of the Same Frame smoothing, which pulls the table's outer five steps
// inwards (docs/colour.md).
constexpr double kHeadroomCode = 59.0 / 64.0;

// The spaces of display-referred and ACES pictures.
void addPictureSpaces(OCIO::Config& config) {
  auto srgb = OCIO::ExponentWithLinearTransform::Create();
  const double gamma[4] = {2.4, 2.4, 2.4, 1.0}, offset[4] = {0.055, 0.055, 0.055, 0.0};
  srgb->setGamma(gamma);
  srgb->setOffset(offset);
  auto g24 = OCIO::ExponentTransform::Create();
  const double power[4] = {2.4, 2.4, 2.4, 1.0};
  g24->setValue(power);
  g24->setNegativeStyle(OCIO::NEGATIVE_MIRROR);  // values below 0 survive a round trip
  auto headroom = gammaHeadroom(1.0, kHeadroomCode);
  auto cct = OCIO::GroupTransform::Create();
  cct->appendTransform(acesCctToLinear());
  cct->appendTransform(matrixTransform(toRec709(kAp1)));

  config.addColorSpace(space(kLinearRec709, "lin_rec709", "Utility", "scene-linear",
                             "Scene-linear light, Rec.709 primaries, D65 white", nullptr));
  config.addColorSpace(space(kSrgbTexture, "srgb", "Utility", "sdr-video",
                             "The sRGB transfer function, Rec.709 primaries: 8- and 16-bit pictures", srgb));
  config.addColorSpace(space(kGamma24Rec709, "rec709", "Utility", "sdr-video",
                             "A pure 2.4 power, Rec.709 primaries: video graded on a display", g24));
  config.addColorSpace(space(kHeadroom, "rec709_headroom", "Utility", "sdr-video",
                             "Gamma 2.4 Rec.709 scaled by 59/64: code 1 is linear 1.22, display white sits "
                             "below the top of a 65-point table",
                             headroom));
  config.addColorSpace(space(kAcesCg, "acescg", "ACES", "scene-linear", "Scene-linear light, ACES AP1 primaries",
                             matrixTransform(toRec709(kAp1))));
  config.addColorSpace(space(kAcesCct, "acescct", "ACES", "log",
                             "Logarithmic ACES AP1 with a straight toe: 0..1 holds scene-linear values up to "
                             "about 222",
                             cct));
  config.addColorSpace(space(kAces2065, "aces", "ACES", "scene-linear", "Scene-linear light, ACES AP0 primaries",
                             matrixTransform(toRec709(kAp0))));
}

// Highlights: linear light divided by each top for Different Clips; for Same Frame the headroom
// space stretched to each top, a log curve from 16 up, whose black stays where the darkest cells
// can learn it (docs/colour.md).
void addHighlightSpaces(OCIO::Config& config) {
  for (const int top : kHighlightTops) {
    const std::string n = std::to_string(top);
    config.addColorSpace(space(highlightSpace(false, top).c_str(), ("lin_rec709_" + n).c_str(), "Highlights",
                               "scene-linear",
                               ("Linear Rec.709 divided by " + n + ": 0..1 holds linear light up to " + n).c_str(),
                               matrixTransform({double(top), 0, 0, 0, double(top), 0, 0, 0, double(top)})));
  }
  for (const int top : kHighlightTops) {
    const std::string n = std::to_string(top);
    const bool log = top >= 16;
    const double lo = -10.0, hi = lo + (std::log2(double(top)) - lo) / kHeadroomCode;
    const std::string description =
        log ? "A base-2 log curve, Rec.709 primaries: code 0 is black, 59/64 linear " + n + ", 1 about " +
                  std::to_string(int(std::exp2(hi)))
            : "Gamma 2.4 Rec.709 - Headroom stretched to " + n + ": code 59/64 is linear " + n;
    config.addColorSpace(space(highlightSpace(true, top).c_str(),
                               ((log ? "log_rec709_" : "rec709_headroom_") + n).c_str(), "Highlights",
                               log ? "log" : "sdr-video", description.c_str(),
                               log ? log2Headroom(lo, hi) : gammaHeadroom(top, kHeadroomCode)));
  }
}

// Camera encodings as OpenColorIO defines them (into ACES2065-1), then on to the reference.
void addCameraSpaces(OCIO::Config& config) {
  for (const CameraSpace& camera : kCameraSpaces) {
    auto toReference = OCIO::GroupTransform::Create();
    auto fromCamera = OCIO::BuiltinTransform::Create();
    fromCamera->setStyle(camera.builtinStyle);
    toReference->appendTransform(fromCamera);
    toReference->appendTransform(matrixTransform(toRec709(kAp0)));
    const std::string description = std::string("Camera log encoding and gamut: OpenColorIO's built-in ") +
                                    camera.builtinStyle + ", then ACES2065-1 to linear Rec.709";
    config.addColorSpace(space(camera.name, camera.alias, "Camera", "log", description.c_str(), toReference));
  }
}

OCIO::ConstConfigRcPtr makeBuiltIn() {
  auto config = OCIO::Config::Create();
  config->setName("vantrel");
  config->setDescription(
      "The colour spaces vantrel knows without a config: scene-linear Rec.709 is the "
      "reference.");
  addPictureSpaces(*config);
  addHighlightSpaces(*config);
  addCameraSpaces(*config);
  config->setRole(OCIO::ROLE_SCENE_LINEAR, kLinearRec709);
  config->setRole(OCIO::ROLE_REFERENCE, kLinearRec709);
  config->setRole(OCIO::ROLE_COLOR_TIMING, kAcesCct);
  config->setRole(OCIO::ROLE_COMPOSITING_LOG, kAcesCct);
  config->setRole("aces_interchange", kAces2065);
  config->setRole(OCIO::ROLE_DEFAULT, kLinearRec709);
  config->addDisplayView("sRGB", "Standard", kSrgbTexture, "");
  config->validate();
  return config;
}

}  // namespace

std::string highlightSpace(bool sameFrame, int top) {
  const std::string n = std::to_string(top);
  if (!sameFrame) return "Linear Rec.709 / " + n;
  return (top >= 16 ? "Log Rec.709 - Headroom " : "Gamma 2.4 Rec.709 - Headroom ") + n;
}

OCIO::ConstConfigRcPtr builtInConfig() {
  static const OCIO::ConstConfigRcPtr config = makeBuiltIn();
  return config;
}

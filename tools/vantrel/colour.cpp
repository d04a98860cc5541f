#include "colour.h"

#include "interrupt.h"
#include "output_file.h"

#include <strings.h>
#include <unistd.h>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

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

namespace {

using Mat3 = std::array<double, 9>;  // row-major

// Chromaticities as EXR stores them: red, green, blue, white, x then y.
using Primaries = std::array<double, 8>;
const Primaries kRec709 = {0.64, 0.33, 0.30, 0.60, 0.15, 0.06, 0.3127, 0.3290};
const Primaries kAp1 = {0.713, 0.293, 0.165, 0.830, 0.128, 0.044, 0.32168, 0.33767};
const Primaries kAp0 = {0.7347, 0.2653, 0.0, 1.0, 0.0001, -0.0770, 0.32168, 0.33767};

Mat3 multiply(const Mat3& a, const Mat3& b) {
  Mat3 m{};
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c)
      for (int k = 0; k < 3; ++k) m[size_t(r * 3 + c)] += a[size_t(r * 3 + k)] * b[size_t(k * 3 + c)];
  return m;
}

Mat3 inverse(const Mat3& m) {
  const double a = m[0], b = m[1], c = m[2], d = m[3], e = m[4], f = m[5], g = m[6], h = m[7], i = m[8];
  const double det = a * (e * i - f * h) - b * (d * i - f * g) + c * (d * h - e * g);
  return {(e * i - f * h) / det, (c * h - b * i) / det, (b * f - c * e) / det,
          (f * g - d * i) / det, (a * i - c * g) / det, (c * d - a * f) / det,
          (d * h - e * g) / det, (b * g - a * h) / det, (a * e - b * d) / det};
}

std::array<double, 3> xyToXyz(double x, double y) { return {x / y, 1.0, (1.0 - x - y) / y}; }

// RGB to CIE XYZ for the given primaries, white mapping to Y = 1.
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

// Linear RGB with primaries `from` to linear Rec.709, adapting the white with Bradford.
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

OCIO::ConstConfigRcPtr makeBuiltIn() {
  auto config = OCIO::Config::Create();
  config->setName("vantrel");
  config->setDescription(
      "The colour spaces vantrel knows without a config: scene-linear Rec.709 is the "
      "reference.");

  auto srgb = OCIO::ExponentWithLinearTransform::Create();
  const double gamma[4] = {2.4, 2.4, 2.4, 1.0}, offset[4] = {0.055, 0.055, 0.055, 0.0};
  srgb->setGamma(gamma);
  srgb->setOffset(offset);
  auto g24 = OCIO::ExponentTransform::Create();
  const double power[4] = {2.4, 2.4, 2.4, 1.0};
  g24->setValue(power);
  g24->setNegativeStyle(OCIO::NEGATIVE_MIRROR);  // values below 0 survive a round trip
  // Gamma 2.4 code values scaled by 59/64: display white lies five steps of a 65-point table
  // below its top, out of reach of the Same Frame smoothing, which pulls the table's outer five
  // steps inwards (docs/colour.md).
  const double headroomCode = 59.0 / 64.0;
  auto headroom = gammaHeadroom(1.0, headroomCode);
  auto cct = OCIO::GroupTransform::Create();
  cct->appendTransform(acesCctToLinear());
  cct->appendTransform(matrixTransform(toRec709(kAp1)));

  config->addColorSpace(space(kLinearRec709, "lin_rec709", "Utility", "scene-linear",
                              "Scene-linear light, Rec.709 primaries, D65 white", nullptr));
  config->addColorSpace(space(kSrgbTexture, "srgb", "Utility", "sdr-video",
                              "The sRGB transfer function, Rec.709 primaries: 8- and 16-bit pictures", srgb));
  config->addColorSpace(space(kGamma24Rec709, "rec709", "Utility", "sdr-video",
                              "A pure 2.4 power, Rec.709 primaries: video graded on a display", g24));
  config->addColorSpace(space(kHeadroom, "rec709_headroom", "Utility", "sdr-video",
                              "Gamma 2.4 Rec.709 scaled by 59/64: code 1 is linear 1.22, display white sits "
                              "below the top of a 65-point table",
                              headroom));
  config->addColorSpace(space(kAcesCg, "acescg", "ACES", "scene-linear", "Scene-linear light, ACES AP1 primaries",
                              matrixTransform(toRec709(kAp1))));
  config->addColorSpace(space(kAcesCct, "acescct", "ACES", "log",
                              "Logarithmic ACES AP1 with a straight toe: 0..1 holds scene-linear values up to "
                              "about 222",
                              cct));
  config->addColorSpace(space(kAces2065, "aces", "ACES", "scene-linear", "Scene-linear light, ACES AP0 primaries",
                              matrixTransform(toRec709(kAp0))));
  // Highlights: linear light divided by each top for Different Clips; for Same Frame the
  // headroom space stretched to each top, a log curve from 16 up, whose black stays where the
  // darkest cells can learn it (docs/colour.md).
  for (const int top : kHighlightTops) {
    const std::string n = std::to_string(top);
    config->addColorSpace(space(highlightSpace(false, top).c_str(), ("lin_rec709_" + n).c_str(), "Highlights",
                                "scene-linear",
                                ("Linear Rec.709 divided by " + n + ": 0..1 holds linear light up to " + n).c_str(),
                                matrixTransform({double(top), 0, 0, 0, double(top), 0, 0, 0, double(top)})));
  }
  for (const int top : kHighlightTops) {
    const std::string n = std::to_string(top);
    const bool log = top >= 16;
    const double lo = -10.0, hi = lo + (std::log2(double(top)) - lo) / headroomCode;
    const std::string description =
        log ? "A base-2 log curve, Rec.709 primaries: code 0 is black, 59/64 linear " + n + ", 1 about " +
                  std::to_string(int(std::exp2(hi)))
            : "Gamma 2.4 Rec.709 - Headroom stretched to " + n + ": code 59/64 is linear " + n;
    config->addColorSpace(space(
        highlightSpace(true, top).c_str(), ((log ? "log_rec709_" : "rec709_headroom_") + n).c_str(), "Highlights",
        log ? "log" : "sdr-video", description.c_str(), log ? log2Headroom(lo, hi) : gammaHeadroom(top, headroomCode)));
  }
  // Camera encodings as OpenColorIO defines them (into ACES2065-1), then on to the reference.
  for (const CameraSpace& camera : kCameraSpaces) {
    auto toReference = OCIO::GroupTransform::Create();
    auto fromCamera = OCIO::BuiltinTransform::Create();
    fromCamera->setStyle(camera.builtinStyle);
    toReference->appendTransform(fromCamera);
    toReference->appendTransform(matrixTransform(toRec709(kAp0)));
    const std::string description = std::string("Camera log encoding and gamut: OpenColorIO's built-in ") +
                                    camera.builtinStyle + ", then ACES2065-1 to linear Rec.709";
    config->addColorSpace(space(camera.name, camera.alias, "Camera", "log", description.c_str(), toReference));
  }
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

bool sameText(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

bool samePrimaries(const float* stored, const Primaries& p) {
  for (size_t i = 0; i < 8; ++i)
    if (std::fabs(double(stored[i]) - p[i]) > 0.001) return false;
  return true;
}

std::string directoryOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string fileNameOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string absolute(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char buffer[4096];
  if (!getcwd(buffer, sizeof buffer)) return path;
  return std::string(buffer) + "/" + path;
}

std::string canonicalDirectory(const std::string& path) {
  char* resolved = realpath(path.c_str(), nullptr);
  if (!resolved) return absolute(path);
  std::string result(resolved);
  std::free(resolved);
  return result;
}

OCIO::ConstTransformRcPtr inverted(const OCIO::ConstTransformRcPtr& transform) {
  OCIO::TransformRcPtr copy = transform->createEditableCopy();
  copy->setDirection(OCIO::GetInverseTransformDirection(copy->getDirection()));
  return copy;
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

bool loadColourConfig(const std::string& path, ColourConfig& out, std::string& error) {
  std::string file = path;
  std::string source = "--config";
  if (file.empty()) {
    const char* env = std::getenv("OCIO");
    if (env && *env) {
      file = env;
      source = "$OCIO";
    }
  }
  if (file.empty()) {
    out.config = builtInConfig();
    out.origin = "built-in";
    return true;
  }
  try {
    OCIO::ConstConfigRcPtr config = OCIO::Config::CreateFromFile(file.c_str());
    config->validate();
    out.config = config;
    out.origin = file;
    return true;
  } catch (const OCIO::Exception& e) {
    std::string what = e.what();
    const size_t newline = what.find('\n');
    if (newline != std::string::npos) what.resize(newline);
    error = source + " '" + file + "': " + what;
    return false;
  }
}

std::string resolveSpace(const ColourConfig& config, const std::string& name) {
  if (name.empty()) return "";
  OCIO::ConstColorSpaceRcPtr cs = config.config->getColorSpace(name.c_str());
  return cs ? cs->getName() : "";
}

namespace {

bool containsText(const std::string& text, const char* part) { return strcasestr(text.c_str(), part) != nullptr; }

// What a file's metadata says of a log encoding without naming a space: a DPX's transfer
// characteristic, a Cineon file (printing density by definition), a reader's log guess.
std::string logarithmicMetadata(const Image& image) {
  if (sameText(image.transfer, "Logarithmic") || sameText(image.transfer, "Printing density"))
    return "DPX transfer characteristic '" + image.transfer + "'";
  if (image.format == "cineon") return "Cineon file (printing density)";
  if (containsText(image.storedSpace, "log")) return "colour space '" + image.storedSpace + "'";
  return "";
}

}  // namespace

FileSpace fileSpace(const ColourConfig& config, const Image& image) {
  FileSpace result;
  std::string named;  // what the metadata says, as a space of this config
  std::string said;   // what it says, for the note
  if (!image.namedSpace.empty()) {
    // Written by this tool: the space's own name.
    named = resolveSpace(config, image.namedSpace);
    said = "colour space '" + image.namedSpace + "'";
  } else if (image.format == "openexr") {
    // The EXR reader reports "Linear" for every file; only the primaries are the file's own.
    if (image.chromaticities) {
      const float* c = image.chromaticities->data();
      if (samePrimaries(c, kRec709))
        named = resolveSpace(config, kLinearRec709);
      else if (samePrimaries(c, kAp1))
        named = resolveSpace(config, kAcesCg);
      else if (samePrimaries(c, kAp0))
        named = resolveSpace(config, kAces2065);
      char text[160];
      std::snprintf(text, sizeof text, "chromaticities %.4f,%.4f %.4f,%.4f %.4f,%.4f %.4f,%.4f", c[0], c[1], c[2], c[3],
                    c[4], c[5], c[6], c[7]);
      said = text;
    }
  } else if (!image.storedSpace.empty()) {
    said = "colour space '" + image.storedSpace + "'";
    if (sameText(image.storedSpace, "sRGB"))
      named = resolveSpace(config, kSrgbTexture);
    else if (sameText(image.storedSpace, "Linear"))
      named = resolveSpace(config, kLinearRec709);
    else
      named = resolveSpace(config, image.storedSpace);
  }
  if (!named.empty()) {
    result.name = named;
    result.from = "metadata";
    return result;
  }
  result.name = resolveSpace(config, isIntegerDepth(image.depth) ? kSrgbTexture : kLinearRec709);
  result.from = "default";
  const std::string log = logarithmicMetadata(image);
  if (!log.empty()) {
    result.logarithmic = true;
    result.note = "its " + log + " says it is logarithmic, but not in which space";
  } else if (!said.empty()) {
    result.note = "its " + said + " names no colour space of the " + config.origin + " config";
  }
  return result;
}

std::vector<std::string> logSpaces(const ColourConfig& config) {
  std::vector<std::string> names;
  const OCIO::ConstConfigRcPtr& c = config.config;
  for (int i = 0; i < c->getNumColorSpaces(); ++i) {
    OCIO::ConstColorSpaceRcPtr cs = c->getColorSpace(c->getColorSpaceNameByIndex(i));
    if (cs && sameText(cs->getEncoding(), "log") && !sameText(cs->getFamily(), "Highlights"))
      names.push_back(cs->getNumAliases() > 0 ? cs->getAlias(0) : cs->getName());
  }
  return names;
}

SpaceMetadata spaceMetadata(const std::string& space) {
  SpaceMetadata m;
  const std::pair<const char*, const Primaries*> linear[] = {
      {kLinearRec709, &kRec709}, {kAcesCg, &kAp1}, {kAces2065, &kAp0}};
  for (const auto& [name, primaries] : linear)
    if (space == name) {
      std::array<float, 8> p;
      for (size_t i = 0; i < 8; ++i) p[i] = float((*primaries)[i]);
      m.primaries = p;
    }
  // OpenImageIO's own names, which its PNG writer turns into the file's sRGB or gAMA chunk.
  m.attribute = space == kSrgbTexture ? "sRGB" : space == kLinearRec709 ? "Linear" : space;
  return m;
}

void Conversion::apply(float* pixels, size_t count, int channels) const {
  if (!processor_ || count == 0 || (channels != 3 && channels != 4)) return;
  // One row per call keeps the width within the descriptor's long and the work cache-sized.
  const size_t row = 1 << 16;
  for (size_t start = 0; start < count; start += row) {
    const size_t n = std::min(row, count - start);
    OCIO::PackedImageDesc desc(pixels + start * size_t(channels), long(n), 1, channels);
    processor_->apply(desc);
  }
}

bool makeConversion(const ColourConfig& config, const std::string& from, const std::string& to, Conversion& out,
                    std::string& error) {
  out.processor_.reset();
  try {
    OCIO::ConstProcessorRcPtr processor = config.config->getProcessor(from.c_str(), to.c_str());
    if (!processor->isNoOp()) out.processor_ = processor->getOptimizedCPUProcessor(OCIO::OPTIMIZATION_LOSSLESS);
    return true;
  } catch (const OCIO::Exception& e) {
    error = "cannot convert from '" + from + "' to '" + to + "': " + e.what();
    return false;
  }
}

bool makeMeasureConversion(const ColourConfig& config, const std::string& from, Conversion& out, std::string& error) {
  out.processor_.reset();
  try {
    const std::string linear = resolveSpace(config, kLinearRec709);
    OCIO::ConstProcessorRcPtr processor;
    if (!linear.empty()) {
      processor = config.config->getProcessor(from.c_str(), linear.c_str());
    } else {
      // Through an interchange space whose meaning is fixed, then OpenColorIO's own matrices.
      auto group = OCIO::GroupTransform::Create();
      auto toInterchange = OCIO::ColorSpaceTransform::Create();
      toInterchange->setSrc(from.c_str());
      if (config.config->hasRole("aces_interchange")) {
        toInterchange->setDst("aces_interchange");
        group->appendTransform(toInterchange);
        auto ap0 = OCIO::BuiltinTransform::Create();
        ap0->setStyle("UTILITY - ACES-AP0_to_CIE-XYZ-D65_BFD");
        group->appendTransform(ap0);
      } else if (config.config->hasRole("cie_xyz_d65_interchange")) {
        toInterchange->setDst("cie_xyz_d65_interchange");
        group->appendTransform(toInterchange);
      } else {
        error = "the " + config.origin + " config has no '" + kLinearRec709 +
                "' space and no aces_interchange or cie_xyz_d65_interchange role to measure colours in";
        return false;
      }
      group->appendTransform(matrixTransform(inverse(rgbToXyz(kRec709))));
      processor = config.config->getProcessor(group);
    }
    if (!processor->isNoOp()) out.processor_ = processor->getOptimizedCPUProcessor(OCIO::OPTIMIZATION_LOSSLESS);
    return true;
  } catch (const OCIO::Exception& e) {
    error = "cannot measure colours of '" + from + "': " + e.what();
    return false;
  }
}

bool isLinearLight(const ColourConfig& config, const std::string& space) {
  Conversion toLinear;
  std::string error;
  if (!makeMeasureConversion(config, space, toLinear, error)) {
    OCIO::ConstColorSpaceRcPtr cs = config.config->getColorSpace(space.c_str());
    return cs && (sameText(cs->getEncoding(), "scene-linear") || sameText(cs->getEncoding(), "display-linear"));
  }
  // Linear light goes into linear Rec.709 through a matrix: black stays black, sums and
  // multiples stay sums and multiples.
  const float a[3] = {0.2f, 0.1f, 0.05f}, b[3] = {0.05f, 0.3f, 0.12f};
  std::vector<float> px = {0,    0,           0,           a[0],        a[1],     a[2],     b[0],    b[1],
                           b[2], a[0] + b[0], a[1] + b[1], a[2] + b[2], 4 * a[0], 4 * a[1], 4 * a[2]};
  toLinear.apply(px.data(), px.size() / 3, 3);
  auto near = [](float x, float y) { return std::fabs(x - y) <= 1e-4f * std::max(1.0f, std::fabs(y)); };
  for (int c = 0; c < 3; ++c) {
    const float black = px[size_t(c)], fa = px[size_t(3 + c)], fb = px[size_t(6 + c)];
    if (!near(black, 0.0f) || !near(px[size_t(9 + c)], fa + fb) || !near(px[size_t(12 + c)], 4 * fa)) return false;
  }
  return true;
}

namespace {

const OCIO::ConstCPUProcessorRcPtr& srgbProcessor(bool decode) {
  static const auto make = [](bool forward) {
    OCIO::ConstConfigRcPtr config = builtInConfig();
    return config->getProcessor(forward ? kSrgbTexture : kLinearRec709, forward ? kLinearRec709 : kSrgbTexture)
        ->getOptimizedCPUProcessor(OCIO::OPTIMIZATION_LOSSLESS);
  };
  static const OCIO::ConstCPUProcessorRcPtr decoder = make(true), encoder = make(false);
  return decode ? decoder : encoder;
}

void applyProcessor(const OCIO::ConstCPUProcessorRcPtr& processor, float* pixels, size_t count, int channels) {
  if (count == 0 || (channels != 3 && channels != 4)) return;
  const size_t row = 1 << 16;
  for (size_t start = 0; start < count; start += row) {
    const size_t n = std::min(row, count - start);
    OCIO::PackedImageDesc desc(pixels + start * size_t(channels), long(n), 1, channels);
    processor->apply(desc);
  }
}

}  // namespace

void srgbEncode(float* pixels, size_t count, int channels) {
  applyProcessor(srgbProcessor(false), pixels, count, channels);
}
void srgbDecode(float* pixels, size_t count, int channels) {
  applyProcessor(srgbProcessor(true), pixels, count, channels);
}

bool writeMatchConfig(const std::string& path, const ColourConfig& base, const std::string& source,
                      const std::string& working, const std::string& output, const std::string& cube,
                      std::string& error) {
  try {
    OCIO::ConfigRcPtr config = base.config->createEditableCopy();
    config->upgradeToLatestVersion();
    // Relative search paths were relative to the original config's folder; the written one
    // may live elsewhere.
    // The config's own folder first (a config naming a file must have a search path).
    std::vector<std::string> searchPaths = {"."};
    const std::string configDir = canonicalDirectory(directoryOf(path));
    const std::string cubeDir = canonicalDirectory(directoryOf(cube));
    const std::string cubeName = cubeDir == configDir ? fileNameOf(cube) : absolute(cubeDir + "/" + fileNameOf(cube));
    const std::string originalDir = base.config->getWorkingDir() ? base.config->getWorkingDir() : "";
    for (int i = 0; i < base.config->getNumSearchPaths(); ++i) {
      const std::string p = base.config->getSearchPath(i);
      searchPaths.push_back(p.empty() || p[0] == '/' || originalDir.empty() ? p : originalDir + "/" + p);
    }
    config->clearSearchPaths();
    for (const std::string& p : searchPaths) config->addSearchPath(p.c_str());

    OCIO::ConstColorSpaceRcPtr sourceSpace = base.config->getColorSpace(source.c_str());
    if (!sourceSpace) {
      error = "the config has no colour space '" + source + "'";
      return false;
    }
    // From the reference into the Source's own values, then the match as the tool runs it.
    auto match = OCIO::GroupTransform::Create();
    if (OCIO::ConstTransformRcPtr from = sourceSpace->getTransform(OCIO::COLORSPACE_DIR_FROM_REFERENCE))
      match->appendTransform(from->createEditableCopy());
    else if (OCIO::ConstTransformRcPtr to = sourceSpace->getTransform(OCIO::COLORSPACE_DIR_TO_REFERENCE))
      match->appendTransform(inverted(to)->createEditableCopy());
    auto intoWorking = OCIO::ColorSpaceTransform::Create();
    intoWorking->setSrc(source.c_str());
    intoWorking->setDst(working.c_str());
    auto lut = OCIO::FileTransform::Create();
    lut->setSrc(cubeName.c_str());
    lut->setInterpolation(OCIO::INTERP_LINEAR);
    auto back = OCIO::ColorSpaceTransform::Create();
    back->setSrc(working.c_str());
    back->setDst(output.c_str());
    match->appendTransform(intoWorking);
    match->appendTransform(lut);
    match->appendTransform(back);

    if (config->getColorSpace(kMatchSpace)) config->removeColorSpace(kMatchSpace);
    auto matched = OCIO::ColorSpace::Create(sourceSpace->getReferenceSpaceType());
    matched->setName(kMatchSpace);
    matched->setFamily("Vantrel");
    OCIO::ConstColorSpaceRcPtr outputSpace = base.config->getColorSpace(output.c_str());
    matched->setEncoding(outputSpace ? outputSpace->getEncoding() : sourceSpace->getEncoding());
    matched->setDescription(
        ("'" + source + "' matched in '" + working + "' by " + fileNameOf(cube) + ", in '" + output + "'").c_str());
    matched->setTransform(match, OCIO::COLORSPACE_DIR_FROM_REFERENCE);
    config->addColorSpace(matched);
    config->validate();

    std::ostringstream text;
    config->serialize(text);
    TemporaryFile temporary(temporaryPathFor(outputDestination(path)));
    {
      std::ofstream out(temporary.path(), std::ios::binary | std::ios::trunc);
      out << text.str();
      out.close();
      if (!out) {
        error = "cannot write '" + path + "'";
        return false;
      }
    }
    // What another application will do with it: read it and build the conversion.
    OCIO::ConstConfigRcPtr check = OCIO::Config::CreateFromFile(temporary.path().c_str());
    check->getProcessor(source.c_str(), kMatchSpace)->getDefaultCPUProcessor();
    if (!moveIntoPlace(temporary.path(), path, error)) return false;
    temporary.keep();
    return true;
  } catch (const OCIO::Exception& e) {
    error = "cannot write '" + path + "': " + e.what();
    return false;
  }
}

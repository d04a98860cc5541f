#include "imaging/colour.h"
#include "imaging/primaries.h"

#include <strings.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

bool sameText(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

bool samePrimaries(const float* stored, const Primaries& p) {
  for (size_t i = 0; i < 8; ++i)
    if (std::fabs(double(stored[i]) - p[i]) > 0.001) return false;
  return true;
}

// One row per call keeps the width within the descriptor's long and the work cache-sized.
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

bool loadColourConfig(const std::string& path, const char* ocioVariable, ColourConfig& out, std::string& error) {
  std::string file = path;
  std::string source = "--config";
  if (file.empty() && ocioVariable && *ocioVariable) {
    file = ocioVariable;
    source = "$OCIO";
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
  if (processor_) applyProcessor(processor_, pixels, count, channels);
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

}  // namespace

void srgbEncode(float* pixels, size_t count, int channels) {
  applyProcessor(srgbProcessor(false), pixels, count, channels);
}
void srgbDecode(float* pixels, size_t count, int channels) {
  applyProcessor(srgbProcessor(true), pixels, count, channels);
}

const char* defaultWorkingSpace(bool sameFrame) { return sameFrame ? kHeadroom : kLinearRec709; }

std::vector<HighlightSpace> highlightWorkingSpaces(bool sameFrame, bool fitted) {
  std::vector<HighlightSpace> spaces;
  for (const int top : kHighlightTops)
    if (!(sameFrame && fitted && top < 16)) spaces.push_back({highlightSpace(sameFrame, top), float(top)});
  return spaces;
}

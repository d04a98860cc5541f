// The plate curves against OpenColorIO's built-in camera and ACES transforms (their curve part),
// the kernels against the plain formulas, every kernel set against the generic one, and the
// working spaces' round trips and choice.
#include <OpenColorIO/OpenColorIO.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "encoding/plate_encoding.h"

namespace OCIO = OCIO_NAMESPACE;

namespace {

const PlateEncoding kLogEncodings[] = {PlateEncoding::AcesCct,       PlateEncoding::ArriLogC3,
                                       PlateEncoding::SonyLog3,      PlateEncoding::RedLog3G10,
                                       PlateEncoding::PanasonicVLog, PlateEncoding::CanonLog3};

const char* builtinOf(PlateEncoding e) {
  switch (e) {
    case PlateEncoding::AcesCct:
      return "CURVE - ACEScct-LOG_to_LINEAR";
    case PlateEncoding::ArriLogC3:
      return "ARRI_ALEXA-LOGC-EI800-AWG_to_ACES2065-1";
    case PlateEncoding::SonyLog3:
      return "SONY_SLOG3-SGAMUT3_to_ACES2065-1";
    case PlateEncoding::RedLog3G10:
      return "RED_LOG3G10-RWG_to_ACES2065-1";
    case PlateEncoding::PanasonicVLog:
      return "PANASONIC_VLOG-VGAMUT_to_ACES2065-1";
    default:
      return "CANON_CLOG3-CGAMUT_to_ACES2065-1";
  }
}

// The built-in transform without its gamut matrix: code values to linear light, or back.
OCIO::ConstCPUProcessorRcPtr curveOf(PlateEncoding e, bool toLinear) {
  auto builtin = OCIO::BuiltinTransform::Create();
  builtin->setStyle(builtinOf(e));
  auto config = OCIO::Config::CreateRaw();
  auto ops = config->getProcessor(builtin)->createGroupTransform();
  auto curve = OCIO::GroupTransform::Create();
  for (int i = 0; i < ops->getNumTransforms(); ++i)
    if (ops->getTransform(i)->getTransformType() != OCIO::TRANSFORM_TYPE_MATRIX)
      curve->appendTransform(ops->getTransform(i)->createEditableCopy());
  if (!toLinear) curve->setDirection(OCIO::TRANSFORM_DIR_INVERSE);
  return config->getProcessor(curve)->getOptimizedCPUProcessor(OCIO::OPTIMIZATION_NONE);
}

// Within 1e-5, relative above 1: a float holds linear light of 50 to 4e-6.
double tolerance(double v) { return 1e-5 * std::max(1.0, std::fabs(v)); }

std::vector<float> rgbaOf(const std::vector<float>& values) {
  std::vector<float> rgba;
  for (float v : values) rgba.insert(rgba.end(), {v, v, v, 1.0f});
  return rgba;
}

const KernelSet kSets[] = {KernelSet::Generic, KernelSet::Avx2, KernelSet::Avx512};

}  // namespace

// The plain formulas and the kernels, both ways, over the codes 0..1 and the light they stand for.
TEST(PlateCurves, MatchTheBuiltinTransformsBothWays) {
  for (PlateEncoding e : kLogEncodings) {
    SCOPED_TRACE(kPlateEncodingLabels[int(e)]);
    auto toLinear = curveOf(e, true), toCode = curveOf(e, false);
    // Linear / 1 decodes a code value to itself, so codeToPlatePixels is the curve's encoder.
    const PlateTransform t = makePlateTransform(e, WorkingSpace{});
    std::vector<float> codes, lights;
    const double lowest = plateToLinear(e, 0.0), highest = plateToLinear(e, 1.0);
    for (int i = 0; i <= 2000; ++i) {
      codes.push_back(float(i) / 2000.0f);
      lights.push_back(float(lowest + (highest - lowest) * std::pow(i / 2000.0, 3.0)));
    }
    std::vector<float> fastLinear = rgbaOf(codes), fastCodes = rgbaOf(lights);
    plateToLinearPixels(t, fastLinear.data(), int64_t(codes.size()), KernelSet::Generic);
    codeToPlatePixels(t, fastCodes.data(), int64_t(lights.size()), KernelSet::Generic);
    double worst[4] = {0, 0, 0, 0};
    for (size_t i = 0; i < codes.size(); ++i) {
      float linear[3] = {codes[i], codes[i], codes[i]}, code[3] = {lights[i], lights[i], lights[i]};
      toLinear->applyRGB(linear);
      toCode->applyRGB(code);
      const double errors[4] = {std::fabs(plateToLinear(e, codes[i]) - linear[0]) / tolerance(linear[0]),
                                std::fabs(fastLinear[i * 4] - linear[0]) / tolerance(linear[0]),
                                std::fabs(linearToPlate(e, lights[i]) - code[0]) / tolerance(code[0]),
                                std::fabs(fastCodes[i * 4] - code[0]) / tolerance(code[0])};
      for (int k = 0; k < 4; ++k) worst[k] = std::max(worst[k], errors[k]);
    }
    // In units of the tolerance: plain and fast decoders, plain and fast encoders.
    for (int k = 0; k < 4; ++k) EXPECT_LE(worst[k], 1.0) << "check " << k;
    std::printf("%-16s %.3f %.3f %.3f %.3f\n", kPlateEncodingLabels[int(e)], worst[0], worst[1], worst[2], worst[3]);
  }
}

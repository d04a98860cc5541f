// The plate curves against OpenColorIO's built-in camera and ACES transforms (their curve part),
// the kernels against the plain formulas, every kernel set against the generic one, and the
// working spaces' round trips and choice.
#include <OpenColorIO/OpenColorIO.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
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
  }
}

namespace {

// Plate values of every kind: ordinary, beyond any working space, below black, and not finite.
std::vector<float> awkwardPixels(PlateEncoding e, int count) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> light(-0.05f, 80.0f), unit(0.0f, 1.0f);
  std::vector<float> p(size_t(count) * 4);
  for (int i = 0; i < count; ++i) {
    for (int c = 0; c < 3; ++c) {
      const float l = unit(rng) < 0.5f ? light(rng) * unit(rng) * unit(rng) : light(rng);
      p[size_t(i) * 4 + c] = float(linearToPlate(e, l));
    }
    p[size_t(i) * 4 + 3] = unit(rng);
  }
  const float specials[] = {NAN, INFINITY, -INFINITY, -0.0f, 1e30f, -1e30f, 1e-40f};
  for (int k = 0; k < 7; ++k) p[size_t(k * 5 + 1) * 4 + size_t(k % 3)] = specials[k];
  return p;
}

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * 4) == 0;
}

}  // namespace

// Every kernel set gives the generic kernels' bits, for every encoding and kind of working space,
// odd pixel counts included (the vector tails).
TEST(PlateKernels, EveryKernelSetGivesTheSameBits) {
  const WorkingSpace spaces[] = {{WorkingSpace::Linear, 4.0f}, {WorkingSpace::Gamma, 1.0f}, {WorkingSpace::Log, 32.0f}};
  for (int e = 1; e <= 7; ++e)
    for (const WorkingSpace& w : spaces) {
      SCOPED_TRACE(::testing::Message() << kPlateEncodingLabels[e] << " space " << w.kind);
      const PlateTransform t = makePlateTransform(PlateEncoding(e), w);
      const int count = 203;
      const std::vector<float> src = awkwardPixels(PlateEncoding(e), count);
      std::vector<float> looked(src.size());
      std::mt19937 rng(11);
      std::uniform_real_distribution<float> unit(0.0f, 1.0f);
      for (float& v : looked) v = unit(rng);
      const PlateMixes mixes{{1.0f, 0.7f, 0.25f}, {0.0f, 0.3f, 0.75f}};
      std::vector<float> reference[5];
      for (KernelSet set : kSets) {
        std::vector<float> linear = src, codes(src.size()), out(src.size()), back = looked;
        plateToLinearPixels(t, linear.data(), count, set);
        std::vector<float> learnt = linear;
        linearToCodePixels(t, learnt.data(), count, set);
        codeToPlatePixels(t, back.data(), count, set);
        const bool scaled = plateToLattice(t, src.data(), codes.data(), count, set);
        EXPECT_TRUE(scaled);
        std::vector<float> answer = looked;
        for (size_t i = 3; i < answer.size(); i += 4) answer[i] = codes[i];  // the lattice keeps the marks
        latticeToPlate(t, src.data(), codes.data(), answer.data(), out.data(), count, mixes, scaled, set);
        const std::vector<float> results[5] = {linear, learnt, back, codes, out};
        for (int k = 0; k < 5; ++k) {
          if (set == KernelSet::Generic)
            reference[k] = results[k];
          else
            EXPECT_TRUE(sameBits(results[k], reference[k])) << kernelSetName(set) << " result " << k;
        }
      }
    }
}

// The working spaces: code 59/64 is the top for Gamma and Log, code 1 their end; decoding a code
// gives it back; and the choice follows the Source's highlights as the tool's does.
TEST(WorkingSpaces, RoundTripsAndChoice) {
  const WorkingSpace spaces[] = {{WorkingSpace::Linear, 8.0f}, {WorkingSpace::Gamma, 2.0f}, {WorkingSpace::Log, 16.0f}};
  for (const WorkingSpace& w : spaces) {
    const PlateTransform t = makePlateTransform(PlateEncoding::SceneLinear, w);
    std::vector<float> codes;
    for (int i = 0; i <= 64; ++i) codes.insert(codes.end(), {i / 64.0f, i / 64.0f, i / 64.0f, 1.0f});
    std::vector<float> light = codes;
    codeToPlatePixels(t, light.data(), 65, KernelSet::Generic);
    EXPECT_NEAR(light[64 * 4], workingSpaceEnd(w), 2e-6 * workingSpaceEnd(w));
    if (w.kind != WorkingSpace::Linear) {
      EXPECT_NEAR(light[59 * 4], w.top, 2e-6 * w.top);
    }
    std::vector<float> again = light;
    linearToCodePixels(t, again.data(), 65, KernelSet::Generic);
    for (size_t i = 0; i < codes.size(); ++i) EXPECT_NEAR(again[i], codes[i], 2e-6) << i;
  }
  auto spread = [](std::initializer_list<float> largest) {
    std::vector<float> rgba;
    for (float v : largest) rgba.insert(rgba.end(), {v, v * 0.5f, 0.1f, 1.0f});
    HighlightCounts counts;
    countHighlights(rgba.data(), int64_t(largest.size()), counts);
    return counts;
  };
  std::vector<float> many(2000, 0.5f);
  many[0] = 30.0f;  // one pixel in 2000 above 1: within the 0.1%
  HighlightCounts sdr;
  for (float v : many) {
    const float p[4] = {v, v, v, 1.0f};
    countHighlights(p, 1, sdr);
  }
  EXPECT_EQ(chooseWorkingSpace(sdr, false, false), (WorkingSpace{WorkingSpace::Linear, 1.0f}));
  EXPECT_EQ(chooseWorkingSpace(sdr, true, true), (WorkingSpace{WorkingSpace::Gamma, 1.0f}));
  const HighlightCounts hdr = spread({0.5f, 3.0f, 5.0f, 7.9f});
  EXPECT_EQ(chooseWorkingSpace(hdr, false, false), (WorkingSpace{WorkingSpace::Linear, 8.0f}));
  EXPECT_EQ(chooseWorkingSpace(hdr, true, false), (WorkingSpace{WorkingSpace::Gamma, 8.0f}));
  EXPECT_EQ(chooseWorkingSpace(hdr, true, true), (WorkingSpace{WorkingSpace::Log, 16.0f}));
  EXPECT_EQ(chooseWorkingSpace(spread({2.0f, 40.0f}), true, false), (WorkingSpace{WorkingSpace::Log, 64.0f}));
  EXPECT_EQ(chooseWorkingSpace(spread({1e9f}), false, false), (WorkingSpace{WorkingSpace::Linear, 65536.0f}));
}

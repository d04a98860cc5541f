// Inputs that barely vary or give nothing to learn from, through the real module: fades, grey
// cards, ramps and noise in Different Clips; masks that select nothing and frames without a
// finite colour in either mode.
#include <cmath>
#include <limits>
#include <random>

#include "render_harness.h"

using namespace rendertest;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

float linear(float code) { return code <= 0.04045f ? code / 12.92f : std::pow((code + 0.055f) / 1.055f, 2.4f); }

// The photographs as linear light, as `vantrel` hands a Different Clips match its pictures.
const std::vector<Picture>& references() {
  static const std::vector<Picture> pictures = [] {
    std::vector<Picture> v;
    for (const char* name : {"astronaut.png", "chelsea.png", "coffee.png", "rocket.jpg"}) {
      Picture p = photo(name, 96, 64);
      for (size_t i = 0; i < p.rgba.size(); ++i)
        if (i % 4 != 3) p.rgba[i] = linear(p.rgba[i]);
      v.push_back(p);
    }
    return v;
  }();
  return pictures;
}

ColorStats statsOf(const Picture& p) {
  ColorStats s;
  computeColorStats(reinterpret_cast<const unsigned char*>(p.rgba.data()), p.width, p.height, p.width * 16,
                    Colorspace::Lab, s, nullptr, preferredKernelSet());
  return s;
}

void lab(const float* rgb, float out[3]) { rgbToLab8(rgb[0], rgb[1], rgb[2], out[0], out[1], out[2]); }

// Renders `source` against `reference` in Different Clips (or `mode`) and returns the Output.
std::vector<float> matched(const Picture& source, const Picture& reference, int mode = 0) {
  Session session;
  session.attach("Source", source);
  session.attach("Reference", reference);
  session.attachOutput(OfxRectI{0, 0, source.width, source.height});
  session.setChoice("matchMode", mode);
  EXPECT_EQ(session.render(), kOfxStatOK);
  return session.output();
}

ofxhost::TestingOptions capturing() {
  ofxhost::TestingOptions o;
  o.captureStderr = true;
  return o;
}

std::vector<std::string> texts(const TestHost& host) {
  std::vector<std::string> v;
  for (const ofxhost::Message& m : host.messages()) {
    EXPECT_EQ(m.type, kOfxMessageWarning);
    v.push_back(m.text);
  }
  return v;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Fades and grey cards: a Source that barely varies is not stretched beyond reason

// A flat frame (a fade, a slate, a grey card) and one with faint noise take the Reference's mean
// colour, within 2 (L*, a*, b*) units.
TEST(FadesAndGreyCards, FlatAndFaintlyNoisySourcesTakeTheReferencesMeanColour) {
  std::mt19937 rng(7);
  std::normal_distribution<float> noise(0.0f, 0.0002f);  // relative: about half-float rounding
  for (const Picture& reference : references()) {
    const ColorStats r = statsOf(reference);
    float mean[3], meanLab[3];
    lab8ToRgb(r.mean[0], r.mean[1], r.mean[2], mean[0], mean[1], mean[2]);
    lab(mean, meanLab);
    for (float level : {0.0f, 0.002f, 0.2f, 0.42f, 0.8f, 1.0f}) {
      for (bool noisy : {false, true}) {
        SCOPED_TRACE(std::to_string(level) + (noisy ? " with noise" : ""));
        Picture source = uniformPicture(64, 48, {level, std::min(1.0f, level * 1.03f), level * 0.97f, 1.0f});
        if (noisy)
          for (size_t i = 0; i < source.rgba.size(); ++i) source.rgba[i] *= i % 4 == 3 ? 1.0f : 1.0f + noise(rng);
        const ColorStats got = statsOf(Picture{64, 48, matched(source, reference)});
        EXPECT_LT(std::hypot((got.mean[0] - meanLab[0]) / 2.55f, got.mean[1] - meanLab[1], got.mean[2] - meanLab[2]),
                  2.0f);
        if (!noisy) {
          EXPECT_LT(got.stdDev[0], 0.001f) << "one colour for the whole frame";
        }
      }
    }
  }
}

TEST(FadesAndGreyCards, AGreyRampStaysMonotoneInLightness) {
  Picture ramp{512, 4, {}};
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 512; ++x) {
      const float v = linear(float(x) / 511.0f);
      ramp.rgba.insert(ramp.rgba.end(), {v, v, v, 1.0f});
    }
  for (const Picture& reference : references()) {
    const std::vector<float> out = matched(ramp, reference);
    float previous[3];
    lab(&out[0], previous);
    for (int x = 1; x < 512; ++x) {
      float now[3];
      lab(&out[size_t(x) * 4], now);
      ASSERT_GE(now[0], previous[0] - 1e-3f) << "L8 goes backwards at " << x;
      const float chromaStep =
          std::hypot(now[1] - 128.0f, now[2] - 128.0f) - std::hypot(previous[1] - 128.0f, previous[2] - 128.0f);
      ASSERT_LT(std::fabs(chromaStep), 1.0f) << "chroma jumps at " << x;
      std::copy(now, now + 3, previous);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Nothing to learn from: the Output is the Source as without a Reference, said once

TEST(EmptyInputs, AMaskThatSelectsNothingRendersTheSourceAndSaysSoOnce) {
  const Picture& source = references()[2];
  const Picture& reference = references()[1];
  const Picture none = uniformPicture(48, 32, {0.0f, 0.0f, 0.0f, 0.0f});
  Session session(capturing());
  session.attach("Source", source);
  session.attach("Reference", reference);
  session.attachOutput(OfxRectI{0, 0, 96, 64});
  session.attach("SourceMask", none);
  const std::string text =
      "The SourceMask selects no sampled Source pixel with a finite colour: rendering without "
      "the match.";
  ASSERT_EQ(session.render(1.0), kOfxStatOK);
  EXPECT_EQ(session.host().lastStderr(), "Vantrel: " + text + "\n");
  EXPECT_TRUE(samePixels(session.output(), expectedOutput(source, nullptr)));
  for (double time : {1.0, 2.0}) {  // a hit, then a build at another time: nothing said again
    ASSERT_EQ(session.render(time), kOfxStatOK);
    EXPECT_EQ(session.host().lastStderr(), "") << time;
    EXPECT_TRUE(samePixels(session.output(), expectedOutput(source, nullptr))) << time;
  }
  EXPECT_EQ(texts(session.host()), std::vector<std::string>{text});
  EXPECT_TRUE(session.record().lutNoData);
  EXPECT_EQ(session.record().lutSourceTime, 2.0) << "the keys of a build without data are kept";

  // The other side is another situation; a mask that selects something brings the match back.
  session.disconnect("SourceMask");
  session.attach("ReferenceMask", none);
  ASSERT_EQ(session.render(3.0), kOfxStatOK);
  EXPECT_EQ(session.host().lastStderr(),
            "Vantrel: The ReferenceMask selects no sampled Reference pixel with a finite colour: rendering without "
            "the match.\n");
  EXPECT_TRUE(samePixels(session.output(), expectedOutput(source, nullptr)));
  session.disconnect("ReferenceMask");
  ASSERT_EQ(session.render(3.0), kOfxStatOK);
  const Lut lut = engineLut(0, 0, source, reference);
  EXPECT_TRUE(samePixels(session.output(), expectedOutput(source, &lut)));
  EXPECT_FALSE(session.record().lutNoData);
  EXPECT_EQ(session.host().messages().size(), 2u);
}

TEST(EmptyInputs, FramesWithoutAFiniteColourRenderTheSource) {
  const Picture& photo = references()[0];
  const Picture nan = uniformPicture(96, 64, {kNaN, 0.5f, 0.5f, 1.0f});
  const Picture inf = uniformPicture(96, 64, {0.5f, kInf, -kInf, 1.0f});
  const struct {
    int mode, fit;
    const Picture &source, &reference;
    const char* text;
  } cases[] = {
      {0, 0, nan, photo, "No sampled Source pixel has a finite colour: rendering without the match."},
      {0, 0, photo, inf, "No sampled Reference pixel has a finite colour: rendering without the match."},
      {1, 0, nan, photo,
       "No sampled pixel has a finite colour in both the Source and the Reference: rendering without the match."},
      {1, 1, photo, inf,
       "No sampled pixel has a finite colour in both the Source and the Reference: rendering without the match."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Session session(capturing());
    session.attach("Source", c.source);
    session.attach("Reference", c.reference);
    session.attachOutput(OfxRectI{0, 0, 96, 64});
    session.setChoice("matchMode", c.mode);
    session.setChoice("sameFrameFit", c.fit);
    ASSERT_EQ(session.render(), kOfxStatOK);
    EXPECT_EQ(session.host().lastStderr(), std::string("Vantrel: ") + c.text + "\n");
    EXPECT_TRUE(samePixels(session.output(), expectedOutput(c.source, nullptr)));
    EXPECT_EQ(texts(session.host()), std::vector<std::string>{c.text});
    // The rebuild button asks again, and is not told again.
    session.host().instanceChanged(session.instance(), kOfxTypeParameter, "rebuildButton");
    ASSERT_EQ(session.render(), kOfxStatOK);
    EXPECT_EQ(session.host().messages().size(), 1u);
    EXPECT_TRUE(samePixels(session.output(), expectedOutput(c.source, nullptr)));
  }
}

// Under a plate encoding of light the Source comes through as it is, highlights and all.
TEST(EmptyInputs, UnderSceneLinearTheSourceComesThroughUnclamped) {
  Picture source = references()[2];
  for (size_t i = 0; i < source.rgba.size(); ++i) source.rgba[i] *= i % 4 == 3 ? 1.0f : 4.0f;
  for (int mode : {0, 1}) {
    SCOPED_TRACE(mode);
    Session session(capturing());
    session.attach("Source", source);
    session.attach("Reference", mode == 0 ? references()[1] : uniformPicture(96, 64, {kNaN, 0.5f, 0.5f, 1.0f}));
    session.attachOutput(OfxRectI{0, 0, 96, 64});
    if (mode == 0) session.attach("SourceMask", uniformPicture(48, 32, {0.0f, 0.0f, 0.0f, 0.0f}));
    session.setChoice("matchMode", mode);
    session.setChoice("plateEncoding", 1);
    ASSERT_EQ(session.render(), kOfxStatOK);
    EXPECT_EQ(session.host().messages().size(), 1u);
    const std::vector<float> out = session.output();
    float peak = 0.0f;
    for (size_t i = 0; i < out.size(); ++i) {
      ASSERT_NEAR(out[i], source.rgba[i], 1e-5f * std::max(1.0f, source.rgba[i])) << i;
      peak = std::max(peak, out[i]);
    }
    EXPECT_GT(peak, 1.5f);
  }
}

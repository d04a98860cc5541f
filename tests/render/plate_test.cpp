// "Plate Encoding" through the real module, the host acting as a linear-light application: HDR
// plates in both modes against the tool's way of matching them (the plate divided into the
// working space, matched As Delivered, multiplied back), every log curve's round trips, and what
// passes through untouched.
#include <algorithm>
#include <cmath>

#include "encoding/plate_encoding.h"
#include "render_harness.h"

using namespace rendertest;

namespace {

constexpr int kSceneLinear = 1;

float srgbToLinear(float v) { return v <= 0.04045f ? v / 12.92f : std::pow((v + 0.055f) / 1.055f, 2.4f); }

// A photograph in linear light, its highlights stretched so that 1 becomes `peak` (0.18 stays
// near 0.18 times peak / 16 * 2 for peak 16, as real plates' highlights stand far above their
// mid-tones), or simply scaled when `stretch` is false.
Picture plate(const std::string& name, float peak, bool stretch, int width = 96, int height = 64) {
  Picture p = photo(name, width, height);
  for (size_t i = 0; i < p.rgba.size(); ++i) {
    if (i % 4 == 3) continue;
    const float v = srgbToLinear(p.rgba[i]);
    const float k = 1.0f - 1.0f / (peak / 2.0f);  // 1 -> peak, small values times 2
    p.rgba[i] = stretch ? 2.0f * v / (1.0f - k * v * v) : peak * v;
  }
  return p;
}

// The working space's top the tool would take for this Source: the narrowest power of two that
// holds all but 0.1% of the pixels (1 when 0.1% or fewer lie above 1).
float toolTop(const Picture& p, bool sameFrameFit = false, bool sameFrame = false) {
  HighlightCounts counts;
  countHighlights(p.rgba.data(), int64_t(p.rgba.size() / 4), counts);
  return chooseWorkingSpace(counts, sameFrame, sameFrameFit).top;
}

Picture scaled(const Picture& p, float k) {
  Picture q = p;
  for (size_t i = 0; i < q.rgba.size(); ++i)
    if (i % 4 != 3) q.rgba[i] *= k;
  return q;
}

// The tool's way with scene-linear plates in Different Clips: into "Linear Rec.709 / top", the
// effect as delivered, and back.
std::vector<float> toolDifferentClips(const Picture& source, const Picture& reference) {
  const float top = toolTop(source);
  Session s;
  s.attach("Source", scaled(source, 1.0f / top));
  s.attach("Reference", scaled(reference, 1.0f / top));
  s.attachOutput(OfxRectI{0, 0, source.width, source.height});
  EXPECT_EQ(s.render(), kOfxStatOK);
  std::vector<float> out = s.output();
  for (size_t i = 0; i < out.size(); ++i)
    if (i % 4 != 3) out[i] *= top;
  return out;
}

// The tool's way in Same Frame: both pictures into the working space it would take for the
// Source, the effect as delivered, and back into linear light.
std::vector<float> toolSameFrame(const Picture& source, const Picture& reference, int fit) {
  HighlightCounts counts;
  countHighlights(source.rgba.data(), int64_t(source.rgba.size() / 4), counts);
  const PlateTransform t = makePlateTransform(PlateEncoding::SceneLinear, chooseWorkingSpace(counts, true, fit == 1));
  auto codes = [&](const Picture& p) {
    Picture q = p;
    linearToCodePixels(t, q.rgba.data(), int64_t(q.rgba.size() / 4), KernelSet::Generic);
    return q;
  };
  Session s;
  s.setChoice("matchMode", 1);
  s.setChoice("sameFrameFit", fit);
  s.attach("Source", codes(source));
  s.attach("Reference", codes(reference));
  s.attachOutput(OfxRectI{0, 0, source.width, source.height});
  EXPECT_EQ(s.render(), kOfxStatOK);
  std::vector<float> out = s.output();
  codeToPlatePixels(t, out.data(), int64_t(out.size() / 4), KernelSet::Generic);
  return out;
}

std::vector<float> renderPlate(const Picture& source, const Picture& reference, int encoding, int mode = 0,
                               int fit = 0) {
  Session s;
  s.setChoice("plateEncoding", encoding);
  s.setChoice("matchMode", mode);
  s.setChoice("sameFrameFit", fit);
  s.attach("Source", source);
  s.attach("Reference", reference);
  s.attachOutput(OfxRectI{0, 0, source.width, source.height});
  EXPECT_EQ(s.render(), kOfxStatOK);
  return s.output();
}

struct Figures {
  double mean[3] = {0, 0, 0};
  double top = 0;  // 99.9th percentile of the largest of R, G and B
};

Figures figuresOf(const std::vector<float>& rgba) {
  Figures f;
  std::vector<float> largest;
  const size_t n = rgba.size() / 4;
  for (size_t p = 0; p < n; ++p) {
    for (int c = 0; c < 3; ++c) f.mean[c] += rgba[p * 4 + c] / double(n);
    largest.push_back(std::max({rgba[p * 4], rgba[p * 4 + 1], rgba[p * 4 + 2]}));
  }
  std::sort(largest.begin(), largest.end());
  f.top = largest[std::min(n - 1, size_t(double(n) * 0.999))];
  return f;
}

// Mean distance between two pictures' colours in stops (log2 of the ratio, light below 1/64 counted
// as 1/64), over the pixels and channels.
double stops(const std::vector<float>& a, const std::vector<float>& b) {
  double sum = 0.0;
  for (size_t i = 0; i < a.size(); ++i)
    if (i % 4 != 3) sum += std::fabs(std::log2(std::max(a[i], 1.0f / 64) / std::max(b[i], 1.0f / 64)));
  return sum / double(a.size() / 4 * 3);
}

// A grade in linear light, not clipped: +0.5 stop and a warm matrix.
Picture graded(const Picture& p) {
  Picture q = p;
  const float m[9] = {1.10f, 0.04f, -0.02f, 0.02f, 0.98f, 0.0f, -0.02f, 0.03f, 0.86f};
  for (size_t i = 0; i < q.rgba.size(); i += 4) {
    const float r = p.rgba[i], g = p.rgba[i + 1], b = p.rgba[i + 2];
    for (int c = 0; c < 3; ++c)
      q.rgba[i + c] = std::max(0.0f, 1.41421356f * (m[c * 3] * r + m[c * 3 + 1] * g + m[c * 3 + 2] * b));
  }
  return q;
}

}  // namespace

// Different Clips on HDR plates: the Output's mean within 5% of the tool's per channel, its
// highlights above 1 as the tool's are, and none of it clamped at 1 as As Delivered clamps.
TEST(PlateEncoding, DifferentClipsOnScenePlatesMatchesAsTheToolDoes) {
  for (float peak : {4.0f, 16.0f, 64.0f}) {
    for (bool stretch : {false, true}) {
      SCOPED_TRACE(::testing::Message() << "peak " << peak << (stretch ? " stretched" : " scaled"));
      const Picture source = plate("coffee.png", peak, stretch), reference = plate("chelsea.png", peak, !stretch);
      const Figures ours = figuresOf(renderPlate(source, reference, kSceneLinear));
      const Figures tool = figuresOf(toolDifferentClips(source, reference));
      for (int c = 0; c < 3; ++c) EXPECT_NEAR(ours.mean[c], tool.mean[c], 0.05 * tool.mean[c]) << "channel " << c;
      EXPECT_NEAR(ours.top, tool.top, 0.05 * tool.top);
    }
  }
}

// Same Frame on an HDR plate and its grade (+0.5 stop and a warm matrix): the fitted lattice
// reproduces it, highlights included, to a hundredth of a stop; the smoothed cells do what they
// do in the tool's working spaces.
TEST(PlateEncoding, SameFrameOnScenePlatesReproducesAGrade) {
  for (float peak : {4.0f, 16.0f, 64.0f}) {
    const Picture source = plate("astronaut.png", peak, true);
    const Picture reference = graded(source);
    const double before = stops(source.rgba, reference.rgba);
    for (int fit : {0, 1}) {
      SCOPED_TRACE(::testing::Message() << "peak " << peak << " fit " << fit);
      const std::vector<float> out = renderPlate(source, reference, kSceneLinear, 1, fit);
      const double after = stops(out, reference.rgba),
                   tool = stops(toolSameFrame(source, reference, fit), reference.rgba);
      const Figures o = figuresOf(out), r = figuresOf(reference.rgba);
      EXPECT_LE(after, tool * 1.02 + 1e-4);
      if (fit == 1) {
        EXPECT_LT(after, 0.02 * before);
        EXPECT_NEAR(o.top, r.top, 0.01 * r.top);
      } else {
        EXPECT_LT(after, before);
        EXPECT_GE(o.top, 0.98 * figuresOf(source.rgba).top);
      }
    }
  }
}

namespace {

// Within `tolerance`, NaN matching NaN and infinities matching themselves.
::testing::AssertionResult closeTo(const std::vector<float>& actual, const std::vector<float>& expected,
                                   float tolerance) {
  for (size_t i = 0; i < actual.size(); ++i) {
    const bool same = std::isnan(actual[i])   ? std::isnan(expected[i])
                      : std::isinf(actual[i]) ? actual[i] == expected[i]
                                              : std::fabs(actual[i] - expected[i]) <= tolerance;
    if (!same)
      return ::testing::AssertionFailure()
             << "pixel " << i / 4 << " channel " << i % 4 << ": " << actual[i] << " instead of " << expected[i];
  }
  return ::testing::AssertionSuccess();
}

// The plate in a camera's code values (the plain formulas), with a negative value from a camera
// matrix, a NaN pixel and an infinite one.
Picture logPlate(PlateEncoding e, const Picture& light) {
  Picture p = light;
  for (size_t i = 0; i < p.rgba.size(); ++i)
    if (i % 4 != 3) p.rgba[i] = float(linearToPlate(e, double(light.rgba[i])));
  p.rgba[1] = float(linearToPlate(e, -0.004));
  p.rgba[4 * 7 + 2] = NAN;
  p.rgba[4 * 9] = INFINITY;
  return p;
}

}  // namespace

// Each log choice at Mix 0 gives the plate back exactly, and matched against itself within 1e-4 of
// its code values, in both modes (Same Frame with the fitted lattice, which learns the identity).
TEST(PlateEncoding, LogPlatesRoundTrip) {
  const Picture light = plate("coffee.png", 16.0f, true, 64, 48);
  for (int e = 2; e <= 7; ++e) {
    SCOPED_TRACE(kPlateEncodingLabels[e]);
    const Picture p = logPlate(PlateEncoding(e), light);
    for (int mode : {0, 1}) {
      Session s;
      s.setChoice("plateEncoding", e);
      s.setChoice("matchMode", mode);
      s.setChoice("sameFrameFit", 1);
      s.attach("Source", p);
      s.attach("Reference", p);
      s.attachOutput(OfxRectI{0, 0, p.width, p.height});
      ASSERT_EQ(s.render(), kOfxStatOK);
      EXPECT_TRUE(closeTo(s.output(), p.rgba, 1e-4f)) << "mode " << mode;
      s.set("strength", 0.0);
      ASSERT_EQ(s.render(), kOfxStatOK);
      EXPECT_TRUE(samePixels(s.output(), p.rgba)) << "mode " << mode;
    }
  }
}

// Nothing is clipped: a channel below 0 and a non-finite pixel keep their values, a pixel beyond
// the working space's end is matched along its ray (k times the match of the pixel scaled down to
// the end), and the mixes blend the match with the Source as delivered.
TEST(PlateEncoding, NothingIsClipped) {
  Picture source = plate("coffee.png", 8.0f, true, 64, 48);
  const Picture reference = plate("chelsea.png", 8.0f, false, 64, 48);
  const float end = toolTop(source);  // Different Clips: linear light up to the top
  source.rgba[0] = -0.25f;            // pixel 0, red
  source.rgba[4 * 3 + 1] = NAN;       // pixel 3
  const float beyond[3] = {900.0f, 450.0f, 300.0f};
  for (int c = 0; c < 3; ++c) {
    source.rgba[4 * 5 + c] = beyond[c];                   // pixel 5
    source.rgba[4 * 6 + c] = beyond[c] * (end / 900.0f);  // pixel 6: the same colour at the end
  }
  Session s;
  s.setChoice("plateEncoding", kSceneLinear);
  s.attach("Source", source);
  s.attach("Reference", reference);
  s.attachOutput(OfxRectI{0, 0, source.width, source.height});
  ASSERT_EQ(s.render(), kOfxStatOK);
  ASSERT_EQ(workingSpaceEnd(s.record().lutPlate.space), end);
  const std::vector<float> full = s.output();
  EXPECT_EQ(full[0], -0.25f);
  EXPECT_TRUE(std::isnan(full[4 * 3 + 1]));
  for (int c : {0, 2}) EXPECT_EQ(full[4 * 3 + c], source.rgba[4 * 3 + c]);
  for (int c = 0; c < 3; ++c) EXPECT_NEAR(full[4 * 5 + c], full[4 * 6 + c] * (900.0f / end), 1e-5f * full[4 * 5 + c]);
  EXPECT_GT(full[4 * 5 + 2], 8.0f);
  // Half the match: halfway between the match and the Source as delivered, above 1 included.
  s.set("strength", 0.5);
  ASSERT_EQ(s.render(), kOfxStatOK);
  const std::vector<float> half = s.output();
  for (size_t i = 0; i < half.size(); ++i) {
    if (i % 4 == 3 || i == 0 || i / 4 == 3) continue;
    ASSERT_NEAR(half[i], 0.5f * full[i] + 0.5f * source.rgba[i], 1e-5f * std::max(1.0f, std::fabs(half[i])))
        << "pixel " << i / 4;
  }
  EXPECT_EQ(half[0], -0.25f);
}

namespace {

ofxhost::TestingOptions colourManaged(const char* style = kOfxImageEffectColourManagementBasic) {
  ofxhost::TestingOptions o;
  o.colourManagementStyle = style;
  o.captureStderr = true;
  return o;
}

std::vector<float> renderIn(ofxhost::TestingOptions options, int encoding, const char* sourceSpace,
                            std::vector<ofxhost::Message>* messages = nullptr) {
  const Picture source = plate("coffee.png", 8.0f, true, 48, 32), reference = plate("chelsea.png", 4.0f, true, 48, 32);
  Session s(options);
  s.setChoice("plateEncoding", encoding);
  if (sourceSpace) {
    EXPECT_TRUE(s.host().setClipColourspace(s.instance(), "Source", sourceSpace));
  }
  s.attach("Source", source);
  s.attach("Reference", reference);
  s.attachOutput(OfxRectI{0, 0, source.width, source.height});
  EXPECT_EQ(s.render(), kOfxStatOK);
  EXPECT_EQ(s.render(2.0), kOfxStatOK);
  if (messages) *messages = s.host().messages();
  return s.output();
}

}  // namespace

// On a host with colour management the effect declares the basic style, and under "Scene Linear"
// asks for ofx_scene_linear for the Source and the Reference, which such a host then delivers.
TEST(PlateEncodingHosts, AColourManagedHostIsAskedForSceneLinear) {
  Session s(colourManaged(kOfxImageEffectColourManagementCore));
  EXPECT_EQ(s.host().descriptor().props->getString(kOfxImageEffectPropColourManagementStyle),
            kOfxImageEffectColourManagementBasic);
  EXPECT_EQ(s.instance()->props->getString(kOfxImageEffectPropColourManagementStyle),
            kOfxImageEffectColourManagementBasic);
  s.host().setClipColourspace(s.instance(), "Source", "ofx_display_sdr");
  EXPECT_EQ(s.host().clipPreferences(s.instance()).status, kOfxStatReplyDefault);  // As Delivered asks nothing
  s.setChoice("plateEncoding", kSceneLinear);
  s.host().instanceChanged(s.instance(), kOfxTypeParameter, "plateEncoding");  // the host asks again
  for (const char* clip : {"Source", "Reference"})
    EXPECT_EQ(s.instance()->clip(clip)->props->getString(kOfxImageClipPropColourspace), "ofx_scene_linear") << clip;
  const ofxhost::ClipPreferences asked = s.host().clipPreferences(s.instance());
  EXPECT_EQ(asked.status, kOfxStatOK);
  EXPECT_EQ(asked.preferredColourspaces.size(), 2u);
  EXPECT_EQ(asked.preferredColourspaces.at("Source"), std::vector<std::string>{"ofx_scene_linear"});
}

// "From Host" follows the space the host names for the Source: the basic spaces and the named
// ones act as the choice they stand for, bit for bit; a space it does not know, or a host
// without colour management, gives As Delivered and one message.
TEST(PlateEncodingHosts, FromHostFollowsTheSourceSpace) {
  constexpr int kFromHost = 8;
  const ofxhost::TestingOptions managed = colourManaged(), plain = ofxhost::TestingOptions{};
  const std::vector<float> asDelivered = renderIn(plain, 0, nullptr);
  const std::vector<float> sceneLinear = renderIn(plain, kSceneLinear, nullptr);
  const std::vector<float> logC3 = renderIn(plain, 3, nullptr);
  std::vector<ofxhost::Message> messages;
  EXPECT_TRUE(samePixels(renderIn(managed, kFromHost, "ofx_scene_linear", &messages), sceneLinear));
  EXPECT_TRUE(samePixels(renderIn(managed, kFromHost, "ACEScg", &messages), sceneLinear));
  EXPECT_TRUE(samePixels(renderIn(managed, kFromHost, "arri_logc3_ei800", &messages), logC3));
  EXPECT_TRUE(samePixels(renderIn(managed, kFromHost, "ofx_display_sdr", &messages), asDelivered));
  EXPECT_TRUE(messages.empty());
  EXPECT_TRUE(samePixels(renderIn(managed, kFromHost, "my_studio_log", &messages), asDelivered));
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text,
            "The host delivers the Source in \"my_studio_log\", a colour space Plate Encoding \"From Host\" does not "
            "know: taken as \"As Delivered\".");
  EXPECT_TRUE(samePixels(renderIn(plain, kFromHost, nullptr, &messages), asDelivered));
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].type, kOfxMessageWarning);
}

// Under the Analysis choices that pool frames the working space is held for the whole clip: it
// comes from the Source at the anchor frame (Moving Window: the clip's first, which the frames
// needed name), so a highlight entering late changes no frame's space; Current Frame follows
// each frame.
TEST(PlateEncoding, PooledAnalysisHoldsTheWorkingSpace) {
  // The late frames' highlight: one pixel in twenty at 50 (whatever the photograph's resampling).
  const Picture dim = scaled(plate("coffee.png", 1.0f, false, 48, 32), 3.5f);
  Picture bright = dim;
  for (size_t i = 0; i < bright.rgba.size(); i += 4 * 20) std::fill(&bright.rgba[i], &bright.rgba[i] + 3, 50.0f);
  const Picture reference = plate("chelsea.png", 4.0f, true, 48, 32);
  for (int mode : {0, 3}) {
    SCOPED_TRACE(mode == 0 ? "Current Frame" : "Moving Window");
    Session s;
    s.setChoice("plateEncoding", kSceneLinear);
    s.setChoice("analysisMode", mode);
    s.host().setParamInt(s.instance(), "windowRadius", 1);
    for (int frame = 1; frame <= 6; ++frame) {
      s.attach("Source", frame >= 5 ? bright : dim, {}, 0, 0, double(frame));
      s.attach("Reference", reference, {}, 0, 0, double(frame));
    }
    s.attachOutput(OfxRectI{0, 0, dim.width, dim.height});
    ASSERT_EQ(s.render(2.0), kOfxStatOK);
    const WorkingSpace early = s.record().lutPlate.space;
    ASSERT_EQ(s.render(5.0), kOfxStatOK);
    const WorkingSpace late = s.record().lutPlate.space;
    EXPECT_EQ(early.top, 4.0f);
    EXPECT_EQ(late.top, mode == 0 ? 64.0f : 4.0f);
    if (mode == 3) {
      const std::vector<OfxRangeD> source = s.host().framesNeeded(s.instance(), 5.0).ranges.at("Source");
      ASSERT_FALSE(source.empty());
      EXPECT_EQ(source.front().min, 1.0);  // the anchor, before the window 4..6
    }
  }
}

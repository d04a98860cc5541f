// "Different Clips Learner" through the real module: the statistics stay the default bit for bit,
// matching content learns the grade between two framings of one scene (as delivered and on
// scene-linear plates), and pictures that share nothing get the statistics with one message.
#include <algorithm>
#include <cmath>

#include "engine/matching_content.h"
#include "render_harness.h"

using namespace rendertest;

namespace {

constexpr int kMatchingContent = 1;
constexpr int kSceneLinear = 1;

// A monotone grade, as a camera's look might be; from 0 up (a resampling filter may ring a hair
// below 0 at hard edges, as Windows' image loader does).
void grade(const float* in, float* out) {
  out[0] = 0.9f * std::pow(std::max(in[0], 0.0f), 0.8f) + 0.05f;
  out[1] = std::pow(std::max(in[1], 0.0f), 1.15f);
  out[2] = 0.8f * in[2] + 0.1f;
}

// w x h pixels of `p` from (x0, y0), times `k`, graded when asked.
Picture crop(const Picture& p, int x0, int y0, int w, int h, float k, bool graded) {
  Picture out{w, h, std::vector<float>(size_t(w) * h * 4, 1.0f)};
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const float* in = &p.rgba[(size_t(y0 + y) * p.width + size_t(x0 + x)) * 4];
      float* px = &out.rgba[(size_t(y) * w + x) * 4];
      const float rgb[3] = {in[0] * k, in[1] * k, in[2] * k};
      if (graded)
        grade(rgb, px);
      else
        std::copy(rgb, rgb + 3, px);
    }
  return out;
}

double meanError(const std::vector<float>& a, const Picture& truth) {
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i)
    if (i % 4 != 3) sum += std::fabs(double(a[i]) - double(truth.rgba[i]));
  return sum / double(a.size() / 4 * 3);
}

struct Rendered {
  std::vector<float> output;
  std::vector<ofxhost::Message> said;
};

// learner -1 leaves the parameter alone; `times` renders at frames 1, 2, ...
Rendered render(const Picture& source, const Picture& reference, int learner, int encoding = 0, int times = 1) {
  Session s;
  if (learner >= 0) s.setChoice("differentClipsLearner", learner);
  s.setChoice("plateEncoding", encoding);
  s.attach("Source", source);
  s.attach("Reference", reference);
  s.attachOutput(OfxRectI{0, 0, source.width, source.height});
  Rendered r;
  for (int t = 1; t <= times; ++t) EXPECT_EQ(s.render(double(t)), kOfxStatOK);
  r.output = s.output();
  r.said = s.host().messages();
  return r;
}

const Picture& astronaut() {
  static const Picture p = photo("astronaut.png", 480, 360);
  return p;
}

}  // namespace

TEST(DifferentClipsLearner, StatisticsIsTheDefaultBitForBit) {
  const Picture source = crop(astronaut(), 20, 30, 320, 240, 1.0f, false);
  const Picture reference = crop(astronaut(), 130, 100, 320, 240, 1.0f, true);
  const Lut statistics = engineLut(0, 0, source, reference);
  EXPECT_TRUE(samePixels(render(source, reference, -1).output, expectedOutput(source, &statistics)));
  EXPECT_TRUE(samePixels(render(source, reference, 0).output, expectedOutput(source, &statistics)));
}

TEST(DifferentClipsLearner, MatchingContentLearnsTheGradeOfOneScene) {
  const Picture source = crop(astronaut(), 20, 30, 320, 240, 1.0f, false);
  const Picture reference = crop(astronaut(), 130, 100, 320, 240, 1.0f, true);
  const Picture truth = crop(astronaut(), 20, 30, 320, 240, 1.0f, true);
  const Rendered content = render(source, reference, kMatchingContent);
  EXPECT_TRUE(content.said.empty());
  // As delivered, the engine's own table.
  Lut direct;
  LUT3D lut{direct.values.data(), kLutSize, false};
  auto desc = [](const Picture& p) {
    return ImageDesc{reinterpret_cast<const unsigned char*>(p.rgba.data()), p.width, p.height, p.width * 16};
  };
  const engine::ContentFrame frame{desc(source), nullptr, desc(reference), nullptr};
  engine::ContentDecision decision;
  ASSERT_TRUE(buildMatchLUT_MatchingContent(&frame, 1, lut, PreserveNothing, preferredKernelSet(), nullptr, &decision));
  ASSERT_TRUE(decision.matched()) << engine::contentReasonText(decision.reason);
  EXPECT_TRUE(samePixels(content.output, expectedOutput(source, &direct)));
  const double statistics = meanError(render(source, reference, 0).output, truth);
  EXPECT_LT(meanError(content.output, truth), 0.3 * statistics);

  // A scene-linear plate, highlights up to 3: learnt in the working space of its encoding.
  Picture light = astronaut();
  for (size_t i = 0; i < light.rgba.size(); ++i)
    if (i % 4 != 3) light.rgba[i] = std::pow(std::max(light.rgba[i], 0.0f), 2.2f);
  const Picture plate = crop(light, 20, 30, 320, 240, 3.0f, false);
  const Picture plateReference = crop(light, 130, 100, 320, 240, 3.0f, true);
  const Picture plateTruth = crop(light, 20, 30, 320, 240, 3.0f, true);
  const Rendered linear = render(plate, plateReference, kMatchingContent, kSceneLinear);
  EXPECT_TRUE(linear.said.empty());
  const double linearStatistics = meanError(render(plate, plateReference, 0, kSceneLinear).output, plateTruth);
  EXPECT_LT(meanError(linear.output, plateTruth), 0.3 * linearStatistics);
}

TEST(DifferentClipsLearner, AFrameRangeIsLearntOnceFromEveryFrame) {
  // A camera panning over the scene against a still Reference from another camera.
  std::vector<Picture> shot;
  for (int f = 0; f < 3; ++f) shot.push_back(crop(astronaut(), 20 + 6 * f, 30 + 3 * f, 320, 240, 1.0f, false));
  const Picture reference = crop(astronaut(), 130, 100, 320, 240, 1.0f, true);
  Session s;
  s.setChoice("differentClipsLearner", kMatchingContent);
  s.setChoice("analysisMode", 2);  // "Frame Range", by default the Source clip's
  for (int f = 0; f < 3; ++f) s.attach("Source", shot[size_t(f)], {}, 0, 0, double(f + 1));
  s.host().setClipFrameRange(s.instance(), "Source", 1.0, 3.0);
  s.attach("Reference", reference);
  s.attachOutput(OfxRectI{0, 0, 320, 240});

  Lut pooled;
  LUT3D lut{pooled.values.data(), kLutSize, false};
  auto desc = [](const Picture& p) {
    return ImageDesc{reinterpret_cast<const unsigned char*>(p.rgba.data()), p.width, p.height, p.width * 16};
  };
  std::vector<engine::ContentFrame> frames;
  for (const Picture& p : shot) frames.push_back({desc(p), nullptr, desc(reference), nullptr});
  engine::ContentDecision decision;
  ASSERT_TRUE(
      buildMatchLUT_MatchingContent(frames.data(), 3, lut, PreserveNothing, preferredKernelSet(), nullptr, &decision));
  ASSERT_TRUE(decision.matched() && decision.tracked) << engine::contentReasonText(decision.reason);
  for (int f = 0; f < 3; ++f) {
    ASSERT_EQ(s.render(double(f + 1)), kOfxStatOK);
    EXPECT_TRUE(samePixels(s.output(), expectedOutput(shot[size_t(f)], &pooled))) << f + 1;
  }
  EXPECT_TRUE(s.host().messages().empty());
}

TEST(DifferentClipsLearner, PicturesSharingNothingGetTheStatisticsAndOneMessage) {
  const Picture source = photo("coffee.png", 320, 240), reference = photo("rocket.jpg", 320, 240);
  const Lut statistics = engineLut(0, 0, source, reference);
  const Rendered r = render(source, reference, kMatchingContent, 0, 2);
  EXPECT_TRUE(samePixels(r.output, expectedOutput(source, &statistics)));
  ASSERT_EQ(r.said.size(), 1u);
  EXPECT_EQ(r.said[0].type, kOfxMessageWarning);
  EXPECT_EQ(r.said[0].text.rfind("Different Clips Learner \"Matching Content\" could not be used (", 0), 0u)
      << r.said[0].text;
  EXPECT_NE(r.said[0].text.find("): the match is learnt by \"Statistics\"."), std::string::npos);
}

// The "Analysis" choices through the real module on a moving shot: what each learns from (the
// engine's pooled builds over the same frames), the cache across the shot, the frames-needed
// answers, hosts without temporal access and frames a host cannot give.
#include <cmath>

#include "plugin/analysis_frames.h"
#include "render_harness.h"

using namespace rendertest;

namespace {

constexpr int kFirst = 1, kLast = 6;

// The shot: the same photograph graded a little differently at every frame.
const Picture& shotFrame(int frame) {
  static std::vector<Picture> frames = [] {
    std::vector<Picture> v;
    const Picture base = photo("coffee.png", 96, 64);
    for (int f = kFirst; f <= kLast; ++f) {
      Picture p = base;
      for (size_t i = 0; i < p.rgba.size(); i += 4) {
        p.rgba[i] *= 0.55f + 0.09f * float(f);
        p.rgba[i + 2] *= 1.1f - 0.07f * float(f);
      }
      v.push_back(p);
    }
    return v;
  }();
  return frames[size_t(frame - kFirst)];
}

const Picture& reference() {
  static const Picture p = photo("chelsea.png", 80, 60);
  return p;
}

const unsigned char* bytes(const Picture& p) { return reinterpret_cast<const unsigned char*>(p.rgba.data()); }
ImageDesc descOf(const Picture& p) { return ImageDesc{bytes(p), p.width, p.height, p.width * 16}; }

// The engine's pooled build over these frames of the shot, each against the same Reference.
Lut pooledLut(int matchMode, const std::vector<int>& frames, const std::vector<const Picture*>& sourceMasks = {}) {
  Lut lut;
  LUT3D l{lut.values.data(), kLutSize, false};
  std::vector<MaskData> masks;
  for (const Picture* m : sourceMasks) masks.push_back(MaskData{bytes(*m), m->width, m->height, m->width * 16, 4});
  if (matchMode == 1) {
    std::vector<FramePair> pairs;
    for (int f : frames) pairs.push_back(FramePair{descOf(shotFrame(f)), descOf(reference())});
    lut.built = buildMatchLUT_SameClipFrames(pairs.data(), int32_t(pairs.size()), l, 5.0f, PreserveNothing,
                                             preferredKernelSet());
  } else {
    std::vector<MaskedImage> sources, references;
    for (size_t i = 0; i < frames.size(); ++i) {
      sources.push_back(MaskedImage{descOf(shotFrame(frames[i])), masks.empty() ? nullptr : &masks[i]});
      references.push_back(MaskedImage{descOf(reference()), nullptr});
    }
    ColorStats s, r;
    computeColorStatsFrames(sources.data(), int32_t(sources.size()), Colorspace::Lab, s, preferredKernelSet());
    computeColorStatsFrames(references.data(), int32_t(references.size()), Colorspace::Lab, r, preferredKernelSet());
    lut.built = buildMatchLUT_DifferentClips(s, r, l, PreserveNothing, preferredKernelSet());
  }
  EXPECT_TRUE(lut.built);
  return lut;
}

// The shot attached frame by frame, a still Reference and an Output for every frame.
struct Shot {
  Session session;
  explicit Shot(ofxhost::TestingOptions options = {}, bool withReference = true) : session(options) {
    for (int f = kFirst; f <= kLast; ++f) session.attach("Source", shotFrame(f), {}, 0, 0, double(f));
    if (withReference) session.attach("Reference", reference());
    session.attachOutput(OfxRectI{0, 0, 96, 64});
  }
  void analysis(int mode) { session.setChoice("analysisMode", mode); }
  void setInt(const char* name, int v) { session.host().setParamInt(session.instance(), name, v); }
  void setRange(int first, int last) {
    ofxhost::ParamValue v;
    v.ints = {first, last};
    session.host().setParam(session.instance(), "frameRange", v);
  }
  // Renders the frame in two tiles, as a host would.
  std::vector<float> render(int frame) {
    EXPECT_EQ(session.render(double(frame), OfxRectI{0, 0, 96, 30}), kOfxStatOK);
    EXPECT_EQ(session.render(double(frame), OfxRectI{0, 30, 96, 64}), kOfxStatOK);
    return session.output();
  }
  // Reference images fetched so far: one per pooled frame of every build.
  int referenceFetches() {
    int n = 0;
    for (const ofxhost::TraceEntry& e : session.host().trace()) n += e.call == "clipGetImage" && e.arg == "Reference";
    return n;
  }
};

ofxhost::TestingOptions tracing() {
  ofxhost::TestingOptions o;
  o.trace = true;
  return o;
}

std::vector<double> sourceFrames(const ofxhost::FramesNeeded& f, const std::string& clip) {
  std::vector<double> v;
  for (const OfxRangeD& r : f.ranges.at(clip)) v.insert(v.end(), {r.min, r.max});
  return v;
}

}  // namespace

TEST(AnalysisRender, KeyFrameAndFrameRangeRenderTheWholeShotFromOneBuild) {
  for (int matchMode : {0, 1}) {
    const struct {
      int mode;
      std::vector<int> frames;
    } cases[] = {{KeyFrame, {4}}, {FrameRange, {1, 2, 3, 4, 5, 6}}, {FrameRange, {1, 3, 5}}};
    for (const auto& c : cases) {
      SCOPED_TRACE("match mode " + std::to_string(matchMode) + ", " + std::to_string(c.frames.size()) + " frames");
      Shot shot(tracing());
      shot.session.setChoice("matchMode", matchMode);
      shot.analysis(c.mode);
      shot.setInt("keyFrame", 4);
      shot.setInt("frameStep", c.frames.size() == 3 ? 2 : 1);
      const Lut expected = pooledLut(matchMode, c.frames);
      for (int f = kFirst; f <= kLast; ++f)
        EXPECT_TRUE(samePixels(shot.render(f), expectedOutput(shotFrame(f), &expected))) << "frame " << f;
      EXPECT_EQ(shot.referenceFetches(), int(c.frames.size())) << "one build for the whole shot";
      const InstanceData& record = shot.session.record();
      EXPECT_EQ(record.lutAnalysisMode, c.mode);
      EXPECT_EQ(record.lutAnalysisFrames, std::vector<double>(c.frames.begin(), c.frames.end()));
      EXPECT_TRUE(std::isnan(record.lutSourceTime)) << "no render time in the key";
      EXPECT_EQ(shot.session.host().outstandingImages(), 0);
    }
  }
}

TEST(AnalysisRender, MovingWindowLearnsAtEachFrameFromTheFramesAroundIt) {
  Shot shot(tracing());
  shot.analysis(MovingWindow);
  shot.setInt("windowRadius", 1);
  for (int f = kFirst; f <= kLast; ++f) {
    std::vector<int> window;
    for (int w = std::max(kFirst, f - 1); w <= std::min(kLast, f + 1); ++w) window.push_back(w);
    const Lut expected = pooledLut(0, window);
    EXPECT_TRUE(samePixels(shot.render(f), expectedOutput(shotFrame(f), &expected))) << "frame " << f;
  }
  EXPECT_EQ(shot.referenceFetches(), 2 + 3 * 4 + 2) << "one build per frame, tiles sharing it";
}

// Every analysis setting rebuilds when it changes, through instance-changed or silently; back
// under "Current Frame" every frame learns from itself again.
TEST(AnalysisRender, ChangingAnAnalysisSettingRebuilds) {
  ofxhost::TestingOptions options = tracing();
  options.captureStderr = true;
  Shot shot(options);
  shot.analysis(FrameRange);
  shot.render(2);
  EXPECT_TRUE(shot.session.record().lut.valid);
  shot.setInt("frameStep", 5);
  shot.session.host().instanceChanged(shot.session.instance(), kOfxTypeParameter, "frameStep");
  EXPECT_EQ(shot.session.host().lastStderr(), "Vantrel: Parameter changed - LUT invalidated\n");
  EXPECT_FALSE(shot.session.record().lut.valid);
  Lut expected = pooledLut(0, {1, 6});
  EXPECT_TRUE(samePixels(shot.render(2), expectedOutput(shotFrame(2), &expected)));

  shot.setRange(2, 3);  // no instance-changed: the frames in the key differ
  expected = pooledLut(0, {2});
  EXPECT_TRUE(samePixels(shot.render(5), expectedOutput(shotFrame(5), &expected)));
  shot.analysis(KeyFrame);
  shot.setInt("keyFrame", 6);
  expected = pooledLut(0, {6});
  EXPECT_TRUE(samePixels(shot.render(5), expectedOutput(shotFrame(5), &expected)));

  shot.analysis(CurrentFrame);
  for (int f : {5, 6}) {
    const Lut current = engineLut(0, 0, shotFrame(f), reference());
    EXPECT_TRUE(samePixels(shot.render(f), expectedOutput(shotFrame(f), &current)));
    EXPECT_EQ(shot.session.record().lutSourceTime, double(f));
    EXPECT_EQ(shot.session.record().lutAnalysisMode, CurrentFrame);
  }
}

TEST(AnalysisRender, FramesNeededNameWhatEachChoiceReads) {
  Shot shot;
  ofxhost::Host& host = shot.session.host();
  ofxhost::Effect* instance = shot.session.instance();
  auto ask = [&](double time) {
    const ofxhost::FramesNeeded f = host.framesNeeded(instance, time);
    EXPECT_TRUE(f.sent);
    EXPECT_EQ(f.status, kOfxStatOK);
    return f;
  };
  ofxhost::FramesNeeded f = ask(3.0);
  for (const char* clip : {"Source", "Reference", "SourceMask", "ReferenceMask"})
    EXPECT_EQ(sourceFrames(f, clip), (std::vector<double>{3, 3})) << clip;

  shot.analysis(KeyFrame);
  shot.setInt("keyFrame", 5);
  f = ask(3.0);
  EXPECT_EQ(sourceFrames(f, "Source"), (std::vector<double>{3, 3, 5, 5})) << "the rendered frame too";
  EXPECT_EQ(sourceFrames(f, "Reference"), (std::vector<double>{5, 5}));
  EXPECT_EQ(sourceFrames(f, "ReferenceMask"), (std::vector<double>{5, 5}));
  f = ask(5.0);
  EXPECT_EQ(sourceFrames(f, "Source"), (std::vector<double>{5, 5}));

  shot.analysis(FrameRange);
  shot.setInt("frameStep", 2);
  f = ask(4.0);
  EXPECT_EQ(sourceFrames(f, "Source"), (std::vector<double>{1, 1, 3, 5}));
  EXPECT_EQ(sourceFrames(f, "Reference"), (std::vector<double>{1, 1, 3, 3, 5, 5}));
  shot.session.setChoice("matchMode", 1);  // masks play no part in Same Frame
  f = ask(4.0);
  EXPECT_EQ(sourceFrames(f, "SourceMask"), (std::vector<double>{4, 4}));

  shot.analysis(MovingWindow);
  shot.setInt("frameStep", 1);
  shot.setInt("windowRadius", 2);
  f = ask(2.0);
  EXPECT_EQ(sourceFrames(f, "Reference"), (std::vector<double>{1, 4}));
}

TEST(AnalysisRender, AHostWithoutTemporalAccessGetsCurrentFrameAndOneMessage) {
  ofxhost::TestingOptions options;
  options.temporalClipAccess = false;
  Shot shot(options);
  shot.analysis(FrameRange);
  EXPECT_FALSE(shot.session.host().framesNeeded(shot.session.instance(), 2.0).sent);
  for (int f : {2, 3, 4}) {
    const Lut current = engineLut(0, 0, shotFrame(f), reference());
    EXPECT_TRUE(samePixels(shot.render(f), expectedOutput(shotFrame(f), &current))) << f;
  }
  const std::vector<ofxhost::Message> said = shot.session.host().messages();
  ASSERT_EQ(said.size(), 1u);
  EXPECT_EQ(said[0].type, kOfxMessageWarning);
  EXPECT_NE(said[0].text.find("cannot give the effect frames other than the one being rendered"), std::string::npos);
}

TEST(AnalysisRender, FramesTheHostCannotGiveAreLeftOutAndSaidOnce) {
  Shot shot;
  shot.session.host().detachImages(shot.session.instance(), "Source");
  for (int f : {1, 2, 3, 5, 6}) shot.session.attach("Source", shotFrame(f), {}, 0, 0, double(f));
  shot.session.host().setClipFrameRange(shot.session.instance(), "Source", 1.0, 6.0);
  shot.analysis(FrameRange);
  const Lut expected = pooledLut(0, {1, 2, 3, 5, 6});
  EXPECT_TRUE(samePixels(shot.render(2), expectedOutput(shotFrame(2), &expected)));
  EXPECT_TRUE(samePixels(shot.render(3), expectedOutput(shotFrame(3), &expected)));
  std::vector<ofxhost::Message> said = shot.session.host().messages();
  ASSERT_EQ(said.size(), 1u);
  EXPECT_EQ(said[0].text, "The host could not give frame 4: the match is learnt from the other 5.");

  // No frame at all: the Source as it is, as without a Reference, said once more.
  shot.session.host().clearMessages();
  shot.setRange(4, 4);
  shot.session.host().instanceChanged(shot.session.instance(), kOfxTypeParameter, "frameRange");
  for (int f : {2, 3}) EXPECT_TRUE(samePixels(shot.render(f), expectedOutput(shotFrame(f), nullptr)));
  said = shot.session.host().messages();
  ASSERT_EQ(said.size(), 1u);
  EXPECT_EQ(said[0].text,
            "The host could not give frame 4, which the match is learnt from: rendering without the match.");
  EXPECT_FALSE(shot.session.record().lut.valid);

  // A disconnected Reference: the Source as it is, nothing fetched or said.
  Shot without({}, false);
  without.analysis(KeyFrame);
  EXPECT_TRUE(samePixels(without.render(2), expectedOutput(shotFrame(2), nullptr)));
  EXPECT_TRUE(without.session.host().messages().empty());
}

// Each pooled frame weighs its samples by its own mask; a Reference whose frames lie at other
// places on the canvas is handed out whole at every frame (the regions of interest cover them all).
TEST(AnalysisRender, PooledFramesKeepTheirOwnMasksAndWholeImages) {
  std::vector<Picture> masks;
  for (int f = kFirst; f <= kLast; ++f) masks.push_back(randomPicture(48, 32, uint32_t(f)));
  Shot shot;
  for (int f = kFirst; f <= kLast; ++f)
    shot.session.attach("SourceMask", masks[size_t(f - kFirst)], {}, 0, 0, double(f));
  shot.analysis(FrameRange);
  shot.setInt("frameStep", 2);
  const Lut expected = pooledLut(0, {1, 3, 5}, {&masks[0], &masks[2], &masks[4]});
  EXPECT_TRUE(samePixels(shot.render(2), expectedOutput(shotFrame(2), &expected)));

  Shot moved;
  moved.session.host().detachImages(moved.session.instance(), "Reference");
  for (int f = kFirst; f <= kLast; ++f) moved.session.attach("Reference", reference(), {}, -7 * f, 3 * f, double(f));
  moved.analysis(MovingWindow);
  moved.setInt("windowRadius", 2);
  const Lut window = pooledLut(0, {1, 2, 3});
  EXPECT_TRUE(samePixels(moved.render(1), expectedOutput(shotFrame(1), &window)));
}

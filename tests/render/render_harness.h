// Drives the real module through the host library, and computes what a render must give
// from the engine called directly.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "host/host_testing.h"
#include "photo_loader.h"
#include "plugin/plugin.h"

namespace rendertest {

using ofxhost::Components;
using ofxhost::Effect;
using ofxhost::Host;
using ofxhost::Image;
using ofxhost::ImageLayout;
using ofxhost::PixelDepth;
using ofxhost::TestHost;

// Float RGBA pixels in row order, bottom row first.
struct Picture {
  int width = 0;
  int height = 0;
  std::vector<float> rgba;
};

// A photograph from tests/data/photos, resized, with alpha 1.
inline Picture photo(const std::string& name, int width, int height) {
  std::vector<float> rgb;
  std::string error;
  EXPECT_TRUE(loadTestPhoto(std::string(VANTREL_PHOTOS) + "/" + name, width, height, rgb, error)) << error;
  Picture p{width, height, std::vector<float>(size_t(width) * height * 4, 1.0f)};
  for (size_t i = 0; i < size_t(width) * height; ++i) std::memcpy(&p.rgba[i * 4], &rgb[i * 3], 12);
  return p;
}

inline Picture randomPicture(int width, int height, uint32_t seed, float lo = 0.0f, float hi = 1.0f) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(lo, hi);
  Picture p{width, height, std::vector<float>(size_t(width) * height * 4)};
  for (float& v : p.rgba) v = dist(rng);
  return p;
}

inline Picture uniformPicture(int width, int height, std::vector<float> pixel) {
  Picture p{width, height, {}};
  for (int i = 0; i < width * height; ++i) p.rgba.insert(p.rgba.end(), pixel.begin(), pixel.end());
  return p;
}

// What the plug-in reads from an image of this layout: integer depths quantised, RGB with
// alpha 1, Alpha as its one channel.
inline Picture asStored(const Picture& p, const ImageLayout& layout) {
  auto image = ofxhost::makeImage(p.rgba, OfxRectI{0, 0, p.width, p.height}, layout);
  Picture q{p.width, p.height, ofxhost::readImageRGBA(*image)};
  if (layout.components == Components::RGB)
    for (size_t i = 3; i < q.rgba.size(); i += 4) q.rgba[i] = 1.0f;
  return q;
}

struct Lut {
  std::vector<float> values = std::vector<float>(size_t(kLutFloats));
  bool built = false;
};

struct MaskInput {
  const Picture* picture = nullptr;
  int components = 4;  // 1 reads red here, as an Alpha image keeps alpha only: see maskData
};

// The engine's match, built directly from float RGBA pictures.
inline Lut engineLut(int matchMode, int preserve, const Picture& source, const Picture& reference,
                     const Picture* sourceMask = nullptr, const Picture* referenceMask = nullptr) {
  Lut lut;
  LUT3D l{lut.values.data(), kLutSize, false};
  auto bytes = [](const Picture& p) { return reinterpret_cast<const unsigned char*>(p.rgba.data()); };
  if (matchMode == 1) {
    lut.built = buildMatchLUT_SameClip(bytes(source), source.width, source.height, source.width * 16, bytes(reference),
                                       reference.width, reference.height, reference.width * 16, l, 5.0f,
                                       PreserveMode(preserve), preferredKernelSet());
  } else {
    auto mask = [&](const Picture* m) {
      return m ? MaskData{bytes(*m), m->width, m->height, m->width * 16, 4} : MaskData{};
    };
    const MaskData sm = mask(sourceMask), rm = mask(referenceMask);
    ColorStats s, r;
    computeColorStats(bytes(source), source.width, source.height, source.width * 16, Colorspace::Lab, s,
                      sourceMask ? &sm : nullptr, preferredKernelSet());
    computeColorStats(bytes(reference), reference.width, reference.height, reference.width * 16, Colorspace::Lab, r,
                      referenceMask ? &rm : nullptr, preferredKernelSet());
    lut.built = buildMatchLUT_DifferentClips(s, r, l, PreserveMode(preserve), preferredKernelSet());
  }
  EXPECT_TRUE(lut.built && l.valid);
  return lut;
}

// The fitted lattice's match, built directly.
inline Lut fittedLut(int preserve, const Picture& source, const Picture& reference) {
  Lut lut;
  LUT3D l{lut.values.data(), kLutSize, false};
  auto bytes = [](const Picture& p) { return reinterpret_cast<const unsigned char*>(p.rgba.data()); };
  const FramePair frame{{bytes(source), source.width, source.height, source.width * 16},
                        {bytes(reference), reference.width, reference.height, reference.width * 16}};
  lut.built = buildMatchLUT_FittedLattice(&frame, 1, l, PreserveMode(preserve), preferredKernelSet());
  EXPECT_TRUE(lut.built && l.valid);
  return lut;
}

inline float clampUnit(float v) { return v < 1.0f ? std::max(v, 0.0f) + 0.0f : 1.0f; }

// Trilinear lookup written out independently of the plug-in.
inline void lookup(const Lut& lut, const float in[3], float out[3]) {
  const int n = kLutSize;
  int i[3];
  float f[3];
  for (int a = 0; a < 3; ++a) {
    const float x = in[a] * float(n - 1);
    i[a] = std::min(std::max(int(x), 0), n - 2);
    f[a] = x - float(i[a]);
  }
  auto T = [&](int dr, int dg, int db, int c) {
    return lut.values[size_t((((i[0] + dr) * n + i[1] + dg) * n + i[2] + db) * 3 + c)];
  };
  for (int c = 0; c < 3; ++c) {
    float e[2][2];
    for (int dr = 0; dr < 2; ++dr)
      for (int dg = 0; dg < 2; ++dg) e[dr][dg] = T(dr, dg, 0, c) * (1.0f - f[2]) + T(dr, dg, 1, c) * f[2];
    const float f0 = e[0][0] * (1.0f - f[1]) + e[0][1] * f[1];
    const float f1 = e[1][0] * (1.0f - f[1]) + e[1][1] * f[1];
    out[c] = f0 * (1.0f - f[0]) + f1 * f[0];
  }
}

struct Mixes {
  double strength = 1.0, r = 1.0, g = 1.0, b = 1.0;
};

// The Output a render must give over the whole picture; lut null means the clamped Source.
inline std::vector<float> expectedOutput(const Picture& source, const Lut* lut, Mixes m = {}) {
  const float s[3] = {float(m.strength * m.r), float(m.strength * m.g), float(m.strength * m.b)};
  std::vector<float> out(source.rgba.size());
  for (size_t p = 0; p < source.rgba.size(); p += 4) {
    const float c[3] = {clampUnit(source.rgba[p]), clampUnit(source.rgba[p + 1]), clampUnit(source.rgba[p + 2])};
    float l[3];
    if (lut) lookup(*lut, c, l);
    for (int k = 0; k < 3; ++k) out[p + k] = lut ? s[k] * l[k] + (1.0f - s[k]) * c[k] : c[k];
    out[p + 3] = source.rgba[p + 3];
  }
  return out;
}

// Bitwise equality that reads NaN as equal to NaN, with the first difference in the message.
inline ::testing::AssertionResult samePixels(const std::vector<float>& actual, const std::vector<float>& expected) {
  if (actual.size() != expected.size())
    return ::testing::AssertionFailure() << "sizes " << actual.size() << " and " << expected.size();
  for (size_t i = 0; i < actual.size(); ++i) {
    const bool bothNaN = std::isnan(actual[i]) && std::isnan(expected[i]);
    if (!bothNaN && std::memcmp(&actual[i], &expected[i], 4) != 0)
      return ::testing::AssertionFailure()
             << "pixel " << i / 4 << " channel " << i % 4 << ": " << actual[i] << " instead of " << expected[i];
  }
  return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult nearPixels(const std::vector<float>& actual, const std::vector<float>& expected,
                                             float tolerance) {
  if (actual.size() != expected.size()) return ::testing::AssertionFailure() << "sizes differ";
  for (size_t i = 0; i < actual.size(); ++i)
    if (!(std::fabs(actual[i] - expected[i]) <= tolerance))
      return ::testing::AssertionFailure()
             << "pixel " << i / 4 << " channel " << i % 4 << ": " << actual[i] << " instead of " << expected[i];
  return ::testing::AssertionSuccess();
}

// One instance of the effect in the general context, with its images attached by the test.
class Session {
 public:
  explicit Session(ofxhost::TestingOptions options = {}) : host_(std::make_unique<TestHost>(options)) {
    EXPECT_TRUE(host_->open(VANTREL_MODULE_PATH)) << host_->error();
    EXPECT_EQ(host_->load(), kOfxStatOK);
    EXPECT_EQ(host_->describe(), kOfxStatOK);
    EXPECT_EQ(host_->describeInContext(kOfxImageEffectContextGeneral), kOfxStatOK);
    instance_ = host_->newInstance(kOfxImageEffectContextGeneral);
    EXPECT_EQ(host_->createInstance(instance_), kOfxStatOK);
  }
  ~Session() { host_->destroyInstance(instance_); }

  TestHost& host() { return *host_; }
  Effect* instance() { return instance_; }
  InstanceData& record() { return *static_cast<InstanceData*>(*instance_->props->getPointer(kOfxPropInstanceData)); }

  std::shared_ptr<Image> attach(const std::string& clip, const Picture& p, const ImageLayout& layout = {}, int x1 = 0,
                                int y1 = 0, std::optional<double> time = std::nullopt) {
    auto image = ofxhost::makeImage(p.rgba, OfxRectI{x1, y1, x1 + p.width, y1 + p.height}, layout);
    EXPECT_TRUE(host_->attachImage(instance_, clip, image, time));
    return image;
  }
  std::shared_ptr<Image> attachOutput(OfxRectI bounds, const ImageLayout& layout = {}) {
    auto image = ofxhost::makeBlankImage(bounds, layout);
    EXPECT_TRUE(host_->attachImage(instance_, "Output", image));
    output_ = image;
    return image;
  }
  void disconnect(const std::string& clip) {
    host_->detachImages(instance_, clip);
    host_->setClipConnected(instance_, clip, false);
  }
  // Overwrites an attached image's pixels in place, as a host reusing its buffer would.
  static void overwrite(Image& image, const Picture& p) {
    auto fresh =
        ofxhost::makeImage(p.rgba, image.bounds, ImageLayout{image.depth, image.components, image.rowBytes < 0, 0});
    ASSERT_EQ(fresh->storage.size(), image.storage.size());
    std::memcpy(image.storage.data(), fresh->storage.data(), image.storage.size());
  }

  void set(const std::string& name, double v) { host_->setParamDouble(instance_, name, v); }
  void setChoice(const std::string& name, int v) { host_->setParamInt(instance_, name, v); }

  OfxStatus render(double time, OfxRectI window) { return host_->render(instance_, time, window); }
  OfxStatus render(double time = 1.0) { return render(time, output_ ? output_->bounds : OfxRectI{0, 0, 0, 0}); }
  std::vector<float> output() const { return ofxhost::readImageRGBA(*output_); }

 private:
  std::unique_ptr<TestHost> host_;
  Effect* instance_ = nullptr;
  std::shared_ptr<Image> output_;
};

}  // namespace rendertest

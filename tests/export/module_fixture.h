// An instance of the real module, loaded through the project's host, with the LUT cache of its
// record reachable so that tests can install a lattice of known values without rendering.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "host_testing.h"
#include "plugin/plugin.h"

class ModuleTest : public ::testing::Test {
 protected:
  explicit ModuleTest(bool captureStderr = true, bool messageSuite = true)
      : host_(options(captureStderr, messageSuite)) {}

  void SetUp() override {
    ASSERT_TRUE(host_.open(VANTREL_MODULE_PATH)) << host_.error();
    ASSERT_EQ(host_.load(), kOfxStatOK);
    ASSERT_EQ(host_.describe(), kOfxStatOK);
    ASSERT_EQ(host_.describeInContext(kOfxImageEffectContextGeneral), kOfxStatOK);
    instance_ = host_.newInstance(kOfxImageEffectContextGeneral);
    ASSERT_NE(instance_, nullptr);
    ASSERT_EQ(host_.createInstance(instance_), kOfxStatOK);
    record_ = static_cast<InstanceData*>(instance_->props->getPointer(kOfxPropInstanceData).value_or(nullptr));
    ASSERT_NE(record_, nullptr);
    ASSERT_NE(record_->lut.data, nullptr);
    host_.clearMessages();
  }

  // Fills the cached lattice with f(r, g, b, out) at coordinates i / 64 and marks it valid.
  template <class F>
  void installLut(F f) {
    const int32_t n = record_->lut.size;
    const float d = float(n - 1);
    for (int32_t r = 0; r < n; ++r)
      for (int32_t g = 0; g < n; ++g)
        for (int32_t b = 0; b < n; ++b)
          f(float(r) / d, float(g) / d, float(b) / d, record_->lut.data + ((int64_t(r) * n + g) * n + b) * 3);
    record_->lut.valid = true;
  }

  void installIdentity() {
    installLut([](float r, float g, float b, float* out) {
      out[0] = r;
      out[1] = g;
      out[2] = b;
    });
  }

  OfxStatus change(const std::string& name, const std::string& type = kOfxTypeParameter) {
    return host_.instanceChanged(instance_, type, name);
  }

  void setMixes(double mix, double red, double green, double blue) {
    host_.setParamDouble(instance_, "strength", mix);
    host_.setParamDouble(instance_, "strengthR", red);
    host_.setParamDouble(instance_, "strengthG", green);
    host_.setParamDouble(instance_, "strengthB", blue);
  }

  std::string exportPath() { return host_.paramValue(instance_, "exportPath").value_or(ofxhost::ParamValue{}).str; }

  static ofxhost::TestingOptions options(bool captureStderr, bool messageSuite) {
    ofxhost::TestingOptions o;
    o.captureStderr = captureStderr;
    o.noMessageSuite = !messageSuite;
    o.trace = true;
    return o;
  }

  ofxhost::TestHost host_;
  ofxhost::Effect* instance_ = nullptr;
  InstanceData* record_ = nullptr;
};

#include <gtest/gtest.h>

#include "host_testing.h"
#include "probe.h"

using namespace ofxhost;

namespace {

// Calls the parameter suite directly on the probe's instance parameters, the way a plug-in does
// through its C variadic functions.
struct ParamSuite : ::testing::Test {
  std::unique_ptr<TestHost> host = probe::loaded();
  Effect* inst = nullptr;
  const OfxParameterSuiteV1* pr = nullptr;
  OfxParamHandle gain = nullptr, mode = nullptr, path = nullptr, save = nullptr;
  void SetUp() override {
    ASSERT_NE(host, nullptr);
    inst = probe::instance(*host);
    ASSERT_NE(inst, nullptr);
    pr = static_cast<const OfxParameterSuiteV1*>(host->fetchSuite(kOfxParameterSuite, 1));
    OfxParamSetHandle set = inst->params.handle();
    ASSERT_EQ(pr->paramGetHandle(set, "gain", &gain, nullptr), kOfxStatOK);
    ASSERT_EQ(pr->paramGetHandle(set, "mode", &mode, nullptr), kOfxStatOK);
    ASSERT_EQ(pr->paramGetHandle(set, "path", &path, nullptr), kOfxStatOK);
    ASSERT_EQ(pr->paramGetHandle(set, "save", &save, nullptr), kOfxStatOK);
  }
};

TEST_F(ParamSuite, VariadicValuesOfEachType) {
  double d = 0;
  int i = 0;
  char* s = nullptr;
  EXPECT_EQ(pr->paramGetValue(gain, &d), kOfxStatOK);
  EXPECT_EQ(d, 0.5);
  EXPECT_EQ(pr->paramGetValue(mode, &i), kOfxStatOK);
  EXPECT_EQ(i, 1);
  EXPECT_EQ(pr->paramGetValue(path, &s), kOfxStatOK);
  EXPECT_STREQ(s, "/tmp/probe");

  EXPECT_EQ(pr->paramSetValue(gain, 0.75), kOfxStatOK);
  EXPECT_EQ(pr->paramSetValue(mode, 0), kOfxStatOK);
  EXPECT_EQ(pr->paramSetValue(path, "/data/out.cube"), kOfxStatOK);
  EXPECT_EQ(host->paramValue(inst, "gain")->doubles[0], 0.75);
  EXPECT_EQ(host->paramValue(inst, "mode")->ints[0], 0);
  EXPECT_EQ(host->paramValue(inst, "path")->str, "/data/out.cube");

  EXPECT_EQ(pr->paramGetValue(save), kOfxStatErrUnsupported) << "a push button has no value";
  EXPECT_EQ(pr->paramSetValue(save), kOfxStatErrUnsupported);
  EXPECT_EQ(pr->paramGetValue(nullptr, &d), kOfxStatErrBadHandle);
  EXPECT_EQ(pr->paramGetValue(gain, static_cast<double*>(nullptr)), kOfxStatErrValue);
}

TEST_F(ParamSuite, UnknownNamesGiveNullAndError) {
  OfxParamHandle h = reinterpret_cast<OfxParamHandle>(1);
  OfxPropertySetHandle props = reinterpret_cast<OfxPropertySetHandle>(1);
  EXPECT_EQ(pr->paramGetHandle(inst->params.handle(), "Gain", &h, &props), kOfxStatErrUnknown);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(props, nullptr);
  EXPECT_EQ(pr->paramGetHandle(nullptr, "gain", &h, nullptr), kOfxStatErrBadHandle);
  OfxPropertySetHandle p = nullptr;
  EXPECT_EQ(pr->paramDefine(inst->params.handle(), kOfxParamTypeDouble, "late", &p), kOfxStatErrUnsupported)
      << "instances take no new parameters";
  EXPECT_EQ(pr->paramGetPropertySet(gain, &p), kOfxStatOK);
  EXPECT_NE(p, nullptr);
}

TEST_F(ParamSuite, KeysAnswerOnlyAtTheirExactTime) {
  double d = 0;
  ASSERT_EQ(pr->paramSetValueAtTime(gain, 10.0, 2.0), kOfxStatOK);
  ASSERT_EQ(pr->paramSetValueAtTime(gain, 20.0, 4.0), kOfxStatOK);
  EXPECT_EQ(pr->paramGetValueAtTime(gain, 10.0, &d), kOfxStatOK);
  EXPECT_EQ(d, 2.0);
  EXPECT_EQ(pr->paramGetValueAtTime(gain, 15.0, &d), kOfxStatOK);
  EXPECT_EQ(d, 0.5) << "between keys: the current value, no interpolation";
  EXPECT_EQ(pr->paramGetValue(gain, &d), kOfxStatOK);
  EXPECT_EQ(d, 0.5);

  unsigned n = 0;
  OfxTime t = 0;
  int index = 0;
  EXPECT_EQ(pr->paramGetNumKeys(gain, &n), kOfxStatOK);
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(pr->paramGetKeyTime(gain, 1, &t), kOfxStatOK);
  EXPECT_EQ(t, 20.0);
  EXPECT_EQ(pr->paramGetKeyTime(gain, 2, &t), kOfxStatErrBadIndex);
  EXPECT_EQ(pr->paramGetKeyIndex(gain, 20.0, 0, &index), kOfxStatOK);
  EXPECT_EQ(index, 1);
  EXPECT_EQ(pr->paramGetKeyIndex(gain, 15.0, -1, &index), kOfxStatOK);
  EXPECT_EQ(index, 0);
  EXPECT_EQ(pr->paramGetKeyIndex(gain, 15.0, 1, &index), kOfxStatOK);
  EXPECT_EQ(index, 1);
  EXPECT_EQ(pr->paramGetKeyIndex(gain, 10.0, -1, &index), kOfxStatFailed);
  EXPECT_EQ(index, -1);
  EXPECT_EQ(pr->paramGetKeyIndex(gain, 15.0, 0, &index), kOfxStatFailed);

  EXPECT_EQ(pr->paramDeleteKey(gain, 15.0), kOfxStatErrBadIndex);
  EXPECT_EQ(pr->paramDeleteKey(gain, 10.0), kOfxStatOK);
  EXPECT_EQ(pr->paramGetValueAtTime(gain, 10.0, &d), kOfxStatOK);
  EXPECT_EQ(d, 0.5);
  EXPECT_EQ(pr->paramDeleteAllKeys(gain), kOfxStatOK);
  EXPECT_EQ(pr->paramGetNumKeys(gain, &n), kOfxStatOK);
  EXPECT_EQ(n, 0u);
}

TEST_F(ParamSuite, HostKeysAndStringsAtTime) {
  ASSERT_TRUE(host->setParamString(inst, "path", "/keyed", 5.0));
  EXPECT_FALSE(host->setParamDouble(inst, "mode", 1.0)) << "a choice takes an int";
  EXPECT_FALSE(host->setParamInt(inst, "nope", 1));
  char* s = nullptr;
  EXPECT_EQ(pr->paramGetValueAtTime(path, 5.0, &s), kOfxStatOK);
  EXPECT_STREQ(s, "/keyed");
  EXPECT_EQ(pr->paramGetValueAtTime(path, 6.0, &s), kOfxStatOK);
  EXPECT_STREQ(s, "/tmp/probe");
  EXPECT_EQ(host->paramValue(inst, "path", 5.0)->str, "/keyed");
}

TEST_F(ParamSuite, CopyAndEditBrackets) {
  OfxParamHandle other = nullptr;
  Effect* second = host->newInstance(kOfxImageEffectContextFilter);
  ASSERT_EQ(host->createInstance(second), kOfxStatOK);
  ASSERT_EQ(pr->paramGetHandle(second->params.handle(), "gain", &other, nullptr), kOfxStatOK);
  ASSERT_EQ(pr->paramSetValue(gain, 3.0), kOfxStatOK);
  ASSERT_EQ(pr->paramSetValueAtTime(gain, 1.0, 7.0), kOfxStatOK);
  ASSERT_EQ(pr->paramSetValueAtTime(gain, 9.0, 8.0), kOfxStatOK);
  const OfxRangeD range{0.0, 5.0};
  EXPECT_EQ(pr->paramCopy(other, gain, 100.0, &range), kOfxStatOK);
  EXPECT_EQ(host->paramValue(second, "gain")->doubles[0], 3.0);
  EXPECT_EQ(host->paramValue(second, "gain", 101.0)->doubles[0], 7.0);
  EXPECT_EQ(host->paramValue(second, "gain", 109.0)->doubles[0], 3.0) << "outside the range";
  EXPECT_EQ(pr->paramCopy(other, mode, 0.0, nullptr), kOfxStatErrValue) << "types differ";

  EXPECT_EQ(pr->paramEditEnd(inst->params.handle()), kOfxStatFailed);
  EXPECT_EQ(pr->paramEditBegin(inst->params.handle(), "undo"), kOfxStatOK);
  EXPECT_EQ(pr->paramEditEnd(inst->params.handle()), kOfxStatOK);
  double d = 0;
  EXPECT_EQ(pr->paramGetDerivative(gain, 0.0, &d), kOfxStatErrUnsupported);
}

}  // namespace

namespace {

TEST(ParamVectors, OneArgumentPerComponent) {
  auto host = probe::loaded();
  ASSERT_NE(host, nullptr);
  ASSERT_EQ(host->describeInContext(kOfxImageEffectContextFilter), kOfxStatOK);
  auto* pr = static_cast<const OfxParameterSuiteV1*>(host->fetchSuite(kOfxParameterSuite, 1));
  auto* ps = static_cast<const OfxPropertySuiteV1*>(host->fetchSuite(kOfxPropertySuite, 1));
  // Definitions added the way a plug-in's describe would.
  OfxParamSetHandle defs = host->contextDescriptor(kOfxImageEffectContextFilter)->params.handle();
  OfxPropertySetHandle props = nullptr;
  ASSERT_EQ(pr->paramDefine(defs, kOfxParamTypeRGBA, "tint", &props), kOfxStatOK);
  const double tint[4] = {0.1, 0.2, 0.3, 0.4};
  ps->propSetDoubleN(props, kOfxParamPropDefault, 4, tint);
  ASSERT_EQ(pr->paramDefine(defs, kOfxParamTypeInteger2D, "size", &props), kOfxStatOK);
  EXPECT_EQ(pr->paramDefine(defs, kOfxParamTypeInteger2D, "size", &props), kOfxStatErrExists);
  EXPECT_EQ(pr->paramDefine(defs, "OfxParamTypeBogus", "bogus", &props), kOfxStatErrUnknown);

  Effect* inst = host->newInstance(kOfxImageEffectContextFilter);
  ASSERT_NE(inst, nullptr);
  OfxParamHandle t = inst->param("tint")->handle();
  OfxParamHandle s = inst->param("size")->handle();
  double r = 0, g = 0, b = 0, a = 0;
  EXPECT_EQ(pr->paramGetValue(t, &r, &g, &b, &a), kOfxStatOK);
  EXPECT_EQ(r, 0.1);
  EXPECT_EQ(a, 0.4);
  EXPECT_EQ(pr->paramSetValueAtTime(t, 2.0, 1.0, 0.5, 0.25, 0.125), kOfxStatOK);
  EXPECT_EQ(pr->paramGetValueAtTime(t, 2.0, &r, &g, &b, &a), kOfxStatOK);
  EXPECT_EQ(b, 0.25);
  EXPECT_EQ(a, 0.125);
  int w = -1, h = -1;
  EXPECT_EQ(pr->paramGetValue(s, &w, &h), kOfxStatOK);
  EXPECT_EQ(w, 0) << "no default: zero";
  EXPECT_EQ(pr->paramSetValue(s, 640, 480), kOfxStatOK);
  EXPECT_EQ(host->paramValue(inst, "size")->ints, (std::vector<int>{640, 480}));
}

}  // namespace

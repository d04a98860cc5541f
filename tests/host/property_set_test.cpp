#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "host_testing.h"

using namespace ofxhost;

namespace {

const OfxPropertySuiteV1* suite(Host& host) {
  return static_cast<const OfxPropertySuiteV1*>(host.fetchSuite(kOfxPropertySuite, 1));
}

struct PropertySuiteTest : ::testing::Test {
  Host host;
  const OfxPropertySuiteV1* ps = suite(host);
  PropertySet open{&host, "descriptor", true};
  PropertySet closed{&host, "instance", false};
  void SetUp() override {
    ASSERT_NE(ps, nullptr);
    closed.defineInt("count", {7});
    closed.defineDouble("scale", {1.0, 2.0});
    closed.defineString("label", {"a", "b", "c"});
    closed.definePointer("data", {nullptr});
  }
};

TEST_F(PropertySuiteTest, TypedValuesRoundTrip) {
  int i = 0;
  double d = 0;
  char* s = nullptr;
  void* p = &i;
  EXPECT_EQ(ps->propGetInt(closed.handle(), "count", 0, &i), kOfxStatOK);
  EXPECT_EQ(i, 7);
  EXPECT_EQ(ps->propGetDouble(closed.handle(), "scale", 1, &d), kOfxStatOK);
  EXPECT_EQ(d, 2.0);
  EXPECT_EQ(ps->propGetString(closed.handle(), "label", 2, &s), kOfxStatOK);
  EXPECT_STREQ(s, "c");
  EXPECT_EQ(ps->propGetPointer(closed.handle(), "data", 0, &p), kOfxStatOK);
  EXPECT_EQ(p, nullptr);

  EXPECT_EQ(ps->propSetPointer(closed.handle(), "data", 0, &d), kOfxStatOK);
  EXPECT_EQ(ps->propGetPointer(closed.handle(), "data", 0, &p), kOfxStatOK);
  EXPECT_EQ(p, &d);

  double many[2] = {0, 0};
  EXPECT_EQ(ps->propGetDoubleN(closed.handle(), "scale", 2, many), kOfxStatOK);
  EXPECT_EQ(many[0], 1.0);
  EXPECT_EQ(many[1], 2.0);
  const char* names[2] = {"x", "y"};
  EXPECT_EQ(ps->propSetStringN(closed.handle(), "label", 2, names), kOfxStatOK);
  int dim = 0;
  EXPECT_EQ(ps->propGetDimension(closed.handle(), "label", &dim), kOfxStatOK);
  EXPECT_EQ(dim, 2) << "the N form replaces the whole property";
  char* got[2] = {nullptr, nullptr};
  EXPECT_EQ(ps->propGetStringN(closed.handle(), "label", 2, got), kOfxStatOK);
  EXPECT_STREQ(got[0], "x");
  EXPECT_STREQ(got[1], "y");
}

TEST_F(PropertySuiteTest, StatusCodes) {
  int i = 0;
  double d = 0;
  char* s = nullptr;
  EXPECT_EQ(ps->propGetInt(closed.handle(), "missing", 0, &i), kOfxStatErrUnknown);
  EXPECT_EQ(ps->propSetInt(closed.handle(), "missing", 0, 1), kOfxStatErrUnknown) << "a closed set does not grow";
  EXPECT_EQ(ps->propGetDouble(closed.handle(), "count", 0, &d), kOfxStatErrValue);
  EXPECT_EQ(ps->propSetString(closed.handle(), "count", 0, "7"), kOfxStatErrValue);
  EXPECT_EQ(ps->propGetString(closed.handle(), "label", 3, &s), kOfxStatErrBadIndex);
  EXPECT_EQ(ps->propGetString(closed.handle(), "label", -1, &s), kOfxStatErrBadIndex);
  EXPECT_EQ(ps->propSetDouble(closed.handle(), "scale", 5, 1.0), kOfxStatErrBadIndex);
  double three[3];
  EXPECT_EQ(ps->propGetDoubleN(closed.handle(), "scale", 3, three), kOfxStatErrBadIndex);
  EXPECT_EQ(ps->propGetInt(nullptr, "count", 0, &i), kOfxStatErrBadHandle);
  EXPECT_EQ(ps->propSetInt(nullptr, "count", 0, 1), kOfxStatErrBadHandle);
  EXPECT_EQ(ps->propGetDimension(nullptr, "count", &i), kOfxStatErrBadHandle);
  EXPECT_EQ(ps->propReset(closed.handle(), "missing"), kOfxStatErrUnknown);
  // A failed write changes nothing.
  EXPECT_EQ(ps->propGetInt(closed.handle(), "count", 0, &i), kOfxStatOK);
  EXPECT_EQ(i, 7);
  EXPECT_TRUE(closed.writes().empty());
}

TEST_F(PropertySuiteTest, OpenSetGrowsAndLogsWritesInOrder) {
  EXPECT_EQ(ps->propSetString(open.handle(), "ctx", 0, "filter"), kOfxStatOK);
  EXPECT_EQ(ps->propSetString(open.handle(), "ctx", 1, "general"), kOfxStatOK);
  EXPECT_EQ(ps->propSetString(open.handle(), "ctx", 3, "gap"), kOfxStatErrBadIndex);
  EXPECT_EQ(ps->propSetDouble(open.handle(), "mix", 1, 1.0), kOfxStatErrBadIndex) << "a new property starts at index 0";
  const int ints[2] = {4, 5};
  EXPECT_EQ(ps->propSetIntN(open.handle(), "pair", 2, ints), kOfxStatOK);
  EXPECT_EQ(ps->propSetInt(open.handle(), "ctx", 0, 1), kOfxStatErrValue);

  const auto log = open.writes();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0].name, "ctx");
  EXPECT_EQ(log[0].index, 0);
  EXPECT_EQ(log[0].value.s, "filter");
  EXPECT_EQ(log[1].index, 1);
  EXPECT_EQ(log[1].value.s, "general");
  EXPECT_EQ(log[2].name, "pair");
  EXPECT_EQ(log[3].index, 1);
  EXPECT_EQ(log[3].value.i, 5);
  EXPECT_EQ(log[3].value.type, PropType::Int);
  EXPECT_EQ(open.getString("ctx", 1), "general");
}

TEST_F(PropertySuiteTest, ResetRestoresHostDefault) {
  ASSERT_EQ(ps->propSetInt(closed.handle(), "count", 0, 99), kOfxStatOK);
  ASSERT_EQ(ps->propSetDouble(closed.handle(), "scale", 2, 3.0), kOfxStatOK);
  EXPECT_EQ(ps->propReset(closed.handle(), "count"), kOfxStatOK);
  EXPECT_EQ(ps->propReset(closed.handle(), "scale"), kOfxStatOK);
  EXPECT_EQ(closed.getInt("count"), 7);
  int dim = 0;
  ps->propGetDimension(closed.handle(), "scale", &dim);
  EXPECT_EQ(dim, 2);
}

TEST_F(PropertySuiteTest, ReturnedStringIsHostOwnedAndStable) {
  char* s = nullptr;
  ASSERT_EQ(ps->propGetString(closed.handle(), "label", 0, &s), kOfxStatOK);
  // Writing other properties must not move it.
  for (int k = 0; k < 100; ++k) ps->propSetInt(closed.handle(), "count", 0, k);
  EXPECT_STREQ(s, "a");
}

TEST_F(PropertySuiteTest, ConcurrentReadersAndWriters) {
  // Render threads read image and instance properties while another thread writes.
  std::vector<std::thread> threads;
  std::atomic<int> bad{0};
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int k = 0; k < 2000; ++k) {
        if (t == 0) {
          ps->propSetDouble(closed.handle(), "scale", k % 2, k);
        } else {
          char* s = nullptr;
          double d[2];
          if (ps->propGetString(closed.handle(), "label", 1, &s) != kOfxStatOK || std::string(s) != "b") ++bad;
          if (ps->propGetDoubleN(closed.handle(), "scale", 2, d) != kOfxStatOK) ++bad;
        }
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(bad, 0);
  EXPECT_EQ(closed.writes().size(), 2000u);
}

}  // namespace

// Opens the real module through the project's host library, as a host application would.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "host/host_testing.h"

inline std::unique_ptr<ofxhost::TestHost> openModule(ofxhost::TestingOptions options = {}) {
  auto host = std::make_unique<ofxhost::TestHost>(options);
  EXPECT_TRUE(host->open(VANTREL_MODULE_PATH)) << host->error();
  return host;
}

// Loaded and described in both contexts, ready for instances.
inline std::unique_ptr<ofxhost::TestHost> describedModule(ofxhost::TestingOptions options = {}) {
  auto host = openModule(options);
  EXPECT_EQ(host->load(), kOfxStatOK);
  EXPECT_EQ(host->describe(), kOfxStatOK);
  EXPECT_EQ(host->describeInContext(kOfxImageEffectContextGeneral), kOfxStatOK);
  EXPECT_EQ(host->describeInContext(kOfxImageEffectContextFilter), kOfxStatOK);
  return host;
}

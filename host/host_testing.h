// Hooks for tests of plug-ins and of the host library itself: a host that leaves out suites,
// makes memory fail, traces every suite call and captures what the plug-in writes to standard
// error during each action. Nothing here is needed to run a plug-in.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ofx_host.h"

namespace ofxhost {

struct TraceEntry {
  std::string call;   // suite function name, e.g. "clipGetImage"
  std::string arg;    // its key argument: property, parameter, clip or suite name
  double time = 0.0;  // for calls that take a time, else 0
};

struct TestingOptions : HostOptions {
  // Suites the host does not serve (fetchSuite answers null for them).
  bool noPropertySuite = false;
  bool noImageEffectSuite = false;
  bool noParameterSuite = false;
  bool noMemorySuite = false;
  bool noMultiThreadSuite = false;
  bool noMessageSuite = false;
  // Record suite calls (TestHost::trace()).
  bool trace = false;
  // Capture fd 2 around each action into TestHost::lastStderr(). Process-wide: do not combine
  // with actions running on other threads.
  bool captureStderr = false;
};

struct HostHooks {
  TestingOptions options;
  std::atomic<bool> failAllocAlways{false};
  std::atomic<int> failAllocNext{0};
  mutable std::mutex lock;
  std::vector<TraceEntry> trace;
  std::string lastStderr;
};

class TestHost : public Host {
 public:
  explicit TestHost(const TestingOptions& options = {});

  TestingOptions& testing() { return hooks_->options; }
  // Failure injection for memoryAlloc: fail every call, or the next n calls.
  void failAllocAlways(bool on) { hooks_->failAllocAlways = on; }
  void failNextAllocs(int n) { hooks_->failAllocNext = n; }
  std::vector<TraceEntry> trace() const;
  void clearTrace();
  // What the plug-in wrote to standard error during the last action (with captureStderr).
  std::string lastStderr() const;
  // Runs fn as code of the plug-in inside one of this host's actions, so that suite calls
  // without a handle come to this host.
  void asPlugin(const std::function<void()>& fn);
};

// Runs fn with file descriptor 2 redirected into a temporary file and returns what was written.
// stderr is flushed before and after.
std::string captureStderr(const std::function<void()>& fn);

}  // namespace ofxhost

// The commands of `vantrel`. Each returns the process exit status: 0 done, 1 a file, the
// plug-in or a render failed (worth a retry), 2 the command line is wrong (not worth one),
// 128 + the signal number when a signal stopped the run.
#pragma once

#include "imaging/image.h"

#include <optional>
#include <string>

enum ExitStatus { kExitOK = 0, kExitFailure = 1, kExitUsage = 2 };

// How a step of a command ended: the exit status the run ends with if it stops here, and why it
// failed. Steps hand it back to the command, which says it once.
struct Status {
  int exit = kExitOK;
  std::string error;
  bool failed() const { return exit != kExitOK; }
};
inline Status fail(int exit, std::string error) { return {exit, std::move(error)}; }

// Prints "vantrel: error: ERROR" on stderr and returns the exit status.
int reportError(const Status& status);

struct MatchOptions {
  std::string source;
  std::string reference;
  std::string output;
  // The settings' words (lib/session/settings.h); unset, the table's defaults.
  std::string mode;       // "different" or "same"
  std::string preserve;   // "nothing", "brightness" or "colors"
  std::string fit;        // Same Frame's learner: "cells" or "lattice"; empty: lattice
  std::string dcLearner;  // Different Clips' learner: "statistics" or "content"; empty: content
  std::optional<double> mix, mixR, mixG, mixB;
  std::string sourceMask;
  std::string referenceMask;
  std::string cube;
  std::string cdl;
  std::string sheet;
  std::string reportJson;
  std::string frames;
  // Which frames the match is learnt from: "current", "key", "range" or "window", and their
  // settings (unset: the defaults, see runMatch).
  std::string analysis;
  std::optional<int> keyFrame, windowRadius, frameStep;
  std::string analysisFrames;
  double frameCacheMB = 0;  // 0: half of the machine's memory
  bool skipExisting = false;
  int threads = 0;  // 0: every core
  int tileSize = 256;
  bool report = false;
  bool timings = false;
  // Colour spaces by name, alias or role; empty: the defaults (see runMatch).
  std::string config;  // --config; else $OCIO, else the built-in set
  std::string sourceSpace, referenceSpace, workingSpace, outputSpace;
  std::string ocioConfigOut;
  SampleDepth depth = SampleDepth::Unknown;
  std::string plugin;
  // --param NAME=VALUE as given; foldParams puts those of settings with an option of their own
  // into it and leaves the others here, (parameter, value), to be set on the instance.
  std::vector<std::string> params;
  std::vector<std::pair<std::string, std::string>> pluginParams;
};

int runMatch(const MatchOptions& options);
int runInfo(const std::string& plugin);
// The tool's version, then the plug-in's file, identifier and version.
int runVersion(const std::string& plugin);

// The tool's version, as --version and the files it writes give it.
const char* toolVersion();

// The plug-in `option` (--plugin) names, else the one found beside the tool, on OFX_PLUGIN_PATH
// or in /usr/OFX/Plugins (lib/session/plugin_path.h).
Status locatePlugin(const std::string& option, std::string& path);

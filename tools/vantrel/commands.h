// The commands of `vantrel`. Each returns the process exit status: 0 done, 1 a file, the
// plug-in or a render failed (worth a retry), 2 the command line is wrong (not worth one),
// 128 + the signal number when a signal stopped the run.
#pragma once

#include "image_io.h"

#include <optional>
#include <string>
#include <vector>

enum ExitStatus { kExitOK = 0, kExitFailure = 1, kExitUsage = 2 };

struct MatchOptions {
  std::string source;
  std::string reference;
  std::string output;
  std::string mode = "different";    // "different" or "same"
  std::string preserve = "nothing";  // "nothing", "brightness" or "colors"
  std::string fit;                   // Same Frame's learner: "cells" or "lattice"; empty: lattice
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
  std::string analysis = "current";
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
};

int runMatch(const MatchOptions& options);
// Each mode's working space when --working-space is not given, chosen by measurement
// (docs/colour.md): for a Source within 1 in linear light, and for a Source with highlights above
// 1 (more than kHighlightShare of its pixels) the first of the mode's spaces for highlights,
// narrowest first, whose top holds all but kHighlightShare of its pixels (else the widest).
const char* defaultWorkingSpace(bool sameFrame);
struct HighlightSpace {
  std::string name;
  float top;  // the linear light it holds
};
// The fitted lattice (`fitted`, Same Frame only) learns a whole grade wherever the table holds
// it, and does best in the log spaces, whose room above the Source keeps a brighter Reference.
std::vector<HighlightSpace> highlightWorkingSpaces(bool sameFrame, bool fitted = false);
int runInfo(const std::string& plugin);
// The tool's version, then the plug-in's file, identifier and version.
int runVersion(const std::string& plugin);

// The tool's version, as --version and the files it writes give it.
const char* toolVersion();

// Prints "vantrel: error: MESSAGE" on stderr and returns `status`.
int reportError(int status, const std::string& message);

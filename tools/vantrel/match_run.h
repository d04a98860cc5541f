// The records `vantrel match` keeps of a run, shared by its steps (match.cpp) and its JSON
// report (run_report.cpp).
#pragma once

#include "commands.h"
#include "frames.h"
#include "quality.h"

#include <cmath>
#include <optional>
#include <string>
#include <vector>

struct Timings {
  double decode = 0, rebuild = 0, apply = 0, encode = 0, exports = 0, quality = 0;
  void add(const Timings& t) {
    decode += t.decode;
    rebuild += t.rebuild;
    apply += t.apply;
    encode += t.encode;
    exports += t.exports;
    quality += t.quality;
  }
};

// What happened to one frame.
struct FrameRecord {
  int frame = 0;
  bool skipped = false;  // --skip-existing found its outputs
  bool written = false;  // its Output is in place (a frame that failed or was stopped is not)
  std::string source, reference, output;
  // The colour spaces of the files and where each came from: "option", "metadata" or
  // "default".
  std::string sourceSpace, referenceSpace, outputSpace;
  std::string sourceSpaceFrom, referenceSpaceFrom, outputSpaceFrom;
  // The working space and what chose it: "option", or the default for a Source within 1 or
  // above 1 in linear light ("default, Source within 1", "default, Source above 1"; "default"
  // where the Source cannot be measured) with the share of its pixels above 1 (NaN: not
  // measured).
  std::string workingSpace, workingSpaceFrom;
  double aboveOneShare = std::nan("");
  std::optional<MatchQuality> quality;
  double clippedShare = 0.0;
  // The share of pixels with a NaN or infinite R, G or B.
  double sourceNonFinite = 0.0, referenceNonFinite = 0.0;
  std::vector<std::string> warnings;
  std::string error;  // why the frame failed
  Timings timings;
  // Sequences: the frames its match was learnt from, and those asked for but missing on disk.
  std::vector<int> learntFrom, leftOut;
};

struct RunSummary {
  std::string pluginPath, pluginIdentifier, pluginVersion;
  std::string colourConfig;     // "built-in" or the config file
  std::string workingSpace;     // what the plug-in saw and the .cube expects ("" when frames differ)
  std::string cube;             // --cube, or the one beside --ocio-config-out
  std::string status = "done";  // "done", "failed" or "interrupted"
  int exitStatus = 0;
  std::string error;
  double seconds = 0.0;
  std::vector<std::string> warnings;  // those about the whole run
  std::vector<FrameRecord> frames;
  int filesRead = 0;  // image files decoded, each counted every time it is read
  FrameRange shot;    // the frames of the SOURCE (else REFERENCE) sequence on disk
};

// Writes the JSON report of a run to `path` (through a temporary file).
bool writeRunReport(const std::string& path, const MatchOptions& options, const RunSummary& run, std::string& error);

// `vantrel match`: the records it keeps of a run and the steps that share them. A run is planned
// and checked whole before anything is written (match_plan.cpp); the plug-in is set up once and
// each frame goes through the same steps (match_frame.cpp: load and attach the inputs, look for
// what would spoil the shot, render, write the Output; match_exports.cpp: export the looks,
// measure); the run reports as it goes and at its end (match.cpp, run_report.cpp). The inputs'
// files, colour spaces and the plug-in's view of the sequences are in match_inputs.cpp.
#pragma once

#include "commands.h"
#include "console.h"
#include "progress.h"

#include "imaging/colour.h"
#include "imaging/frame_reader.h"
#include "imaging/frames.h"
#include "imaging/image_io.h"
#include "imaging/quality.h"
#include "imaging/sheet.h"
#include "session/plugin_session.h"

#include <atomic>
#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
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

// One input clip: where its files come from and what was read for it last.
struct ClipInput {
  ClipInput(const char* role_, const char* clip_, bool mask_) : role(role_), clip(clip_), mask(mask_) {}
  const char* role;  // how messages name it
  const char* clip;  // the plug-in's clip name
  bool mask;
  std::string pattern;
  Image image;
  std::string path;
  bool loaded = false;
  std::string space, spaceFrom;  // of the file read last (colour inputs)
  bool fresh = false;            // read for the frame at hand
  std::string imageSpace;        // the space `image` is in: the file's, then the working space
  Image file;                    // a still colour input as read, converted again for another working space
  NonFiniteCount nonFinite;      // of the file read last
  std::vector<double> above;     // Source: shares of pixels above each of the run's levels
  uint64_t version = 0;          // changes whenever `image` does (for the sheet's kept panels)
  bool given() const { return !pattern.empty(); }
};

// Everything of a run that outlives a frame.
struct Run {
  const MatchOptions& o;
  bool sequence = false;
  bool sameFrame = false;
  FrameRange range;
  std::vector<int> frames;  // to render, in order
  std::vector<int> skipped;
  int threads = 1;
  WriteSettings writeSettings;
  PluginSession session;
  PathAliases aliases;  // while an export writes a temporary file: it, for the target
  ClipInput source{"SOURCE", "Source", false}, reference{"REFERENCE", "Reference", false};
  ClipInput sourceMask{"--source-mask", "SourceMask", true}, referenceMask{"--reference-mask", "ReferenceMask", true};
  Image output;
  // Colour: the config, the spaces the options name (resolved; empty: from each file), the
  // conversions made so far, and the .cube the config out applies (--cube, else beside it).
  ColourConfig colour;
  // The working space is the frame's: --working-space, else the mode's default for a Source
  // within 1, or the first space for highlights whose top (levels: 1, then each one's) holds the
  // Source.
  std::string workingSpace, sourceSpace, referenceSpace, outputSpace;
  std::string workingOption, withinOne;
  // Whether each frame's Source sets its working space (no --working-space, Analysis "current");
  // otherwise the anchor frame's Source set it for the shot.
  bool spacePerFrame = false;
  std::vector<double> anchorAbove;
  std::vector<std::string> forHighlights;
  std::vector<float> levels;
  std::string cube;
  std::map<std::pair<std::string, std::string>, Conversion> conversions;
  std::map<std::string, Conversion> toLinear;  // into linear Rec.709, where figures are measured
  std::string measureError;                    // why that cannot be
  std::set<std::string> spaceNotes;            // inputs whose metadata was already found wanting
  std::set<std::string> logChecked;            // inputs whose values were looked at for log codes
  std::set<std::string> linearChecked;         // working spaces checked for Different Clips
  bool mixedSpaces = false;                    // frames matched in different working spaces
  bool outputChecked = false;                  // an Output read back for its space
  bool figuresWarned = false;                  // "no match figures" said
  uint64_t imageVersions = 0;                  // the last ClipInput::version given
  SheetPanels sheetPanels;
  Progress progress;
  RunSummary summary;
  // The shot: the frames of the SOURCE sequence on disk (else the REFERENCE's; with stills only,
  // the first frame rendered). The plug-in's clips hold them, so what a match learns from does
  // not depend on --frames. The reader serves every input with a placeholder.
  FrameRange shot;
  const ClipInput* shotInput = nullptr;  // the sequence whose files make the shot
  FrameRange analysisFrames;             // --analysis-frames
  std::set<int> saidMissing;             // frames said to be missing from a match
  std::unique_ptr<FrameReader> reader;
  std::mutex completeLock;
  std::map<int, bool> complete;  // frames whose every sequence has its file
  explicit Run(const MatchOptions& options) : o(options) {}
  std::vector<ClipInput*> inputs() { return {&source, &reference, &sourceMask, &referenceMask}; }
  double time(int frame) const { return sequence ? double(frame) : 0.0; }
  // "frame N: " in sequences, where a message belongs to one frame.
  std::string at(int frame) const { return sequence ? "frame " + std::to_string(frame) + ": " : ""; }
  // A warning about the whole run: kept for the report and said now.
  void warn(std::string warning) {
    summary.warnings.push_back(std::move(warning));
    printWarning(summary.warnings.back());
  }
  // The plug-in's messages, said as they come (from render threads too) and kept until the frame
  // at hand (or the run, before the first frame) takes them for the report: all but the "saved
  // to" of an export the tool presses for, which names the file the tool wrote.
  std::mutex messageLock;
  std::vector<std::string> pluginMessages;
  std::atomic<bool> exporting{false};
  void pluginMessage(const ofxhost::Message& message) {
    // Matching content that falls back to the statistics is the tool's own default at work on
    // pictures of different scenes, not a fault: a note, unless the user asked for content.
    static const std::string kFallback = "Different Clips Learner \"Matching Content\" could not be used";
    if (o.dcLearner.empty() && message.text.compare(0, kFallback.size(), kFallback) == 0) {
      printNote(message.text);
      return;
    }
    printPluginMessage(message, aliases);
    std::lock_guard<std::mutex> hold(messageLock);
    if (!(exporting && message.type == kOfxMessageMessage))
      pluginMessages.push_back(pluginMessageText(message, aliases));
  }
  std::vector<std::string> takePluginMessages() {
    std::lock_guard<std::mutex> hold(messageLock);
    return std::exchange(pluginMessages, {});
  }
};

// match_plan.cpp: the frames to render and everything that can be checked before the first
// render, so that a bad command writes nothing.
Status planRun(Run& run);
// Once the plug-in is set up: every frame's match has a frame to learn from (the plug-in names
// them; a frame counts when every sequence has its file). Without one, the Output would be the
// Source as it is, reported as a match: an error before anything is written.
Status checkLearntFrames(Run& run);

// match_inputs.cpp: colour conversions made once per run, the inputs' files, and the sequences
// served to the plug-in.
const Conversion* conversion(Run& run, const std::string& from, const std::string& to, std::string& error);
// Into linear Rec.709; null when the config has no way there (`run.measureError` says why).
const Conversion* toLinear(Run& run, const std::string& from);
// The default working space for a Source with these shares above the run's levels.
const std::string& defaultSpaceFor(const Run& run, const std::vector<double>& above);
// One file of an input at a frame (see match_inputs.cpp); `convert`: into the working space.
Status readInput(Run& run, const ClipInput& in, int frame, ShotFrame& out, std::vector<std::string>& warnings,
                 bool convert = true);
bool frameComplete(Run& run, int frame);
void serveSequences(Run& run);
// The plug-in's view of a picture of the tool, at its canvas place.
std::shared_ptr<ofxhost::Image> hostView(const Image& image);
// "1001-1003, 1007"
std::string frameList(const std::vector<int>& frames);

// match_frame.cpp: one frame through every step; a stop request ends it between steps.
Status runFrame(Run& run, int frame, FrameRecord& record);
// match_exports.cpp: the plug-in's .cube and .cdl exports and the config that applies the .cube;
// the figures and the sheet.
Status exportLooks(Run& run, int frame, FrameRecord& record);
Status measureFrame(Run& run, int frame, FrameRecord& record);

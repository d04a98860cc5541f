// `vantrel match`: a run is planned and checked whole before anything is written, then each
// frame goes through the same named steps: load and attach the inputs, look for what would
// spoil the shot, render, write the Output, export the looks, measure, report.
#include "colour.h"
#include "commands.h"
#include "console.h"
#include "frame_checks.h"
#include "frame_reader.h"
#include "frames.h"
#include "interrupt.h"
#include "match_run.h"
#include "output_file.h"
#include "plugin_path.h"
#include "plugin_session.h"
#include "progress.h"
#include "quality.h"
#include "sheet.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string lastError;  // for the JSON report

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string directoryOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool sameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

std::string sizeText(const Image& image) { return std::to_string(image.width) + "x" + std::to_string(image.height); }

// A host view of a tool image at its canvas place: rows run bottom-up for the host, top-down in
// memory, so the view starts at the last row with a negative stride and no pixel is copied.
std::shared_ptr<ofxhost::Image> hostView(Image& image) {
  auto view = std::make_shared<ofxhost::Image>();
  const int rowFloats = image.width * image.channels;
  const PixelRect canvas = canvasBounds(image);
  view->data = image.pixels.data() + size_t(image.height - 1) * size_t(rowFloats);
  view->rowBytes = -rowFloats * int(sizeof(float));
  view->bounds = {canvas.x1, canvas.y1, canvas.x2, canvas.y2};
  view->depth = ofxhost::PixelDepth::Float;
  view->components = image.channels == 1   ? ofxhost::Components::Alpha
                     : image.channels == 3 ? ofxhost::Components::RGB
                                           : ofxhost::Components::RGBA;
  return view;
}

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
  FrameRange analysisFrames;  // --analysis-frames
  std::unique_ptr<FrameReader> reader;
  std::mutex completeLock;
  std::map<int, bool> complete;  // frames whose every sequence has its file
  explicit Run(const MatchOptions& options) : o(options) {}
  std::vector<ClipInput*> inputs() { return {&source, &reference, &sourceMask, &referenceMask}; }
  double time(int frame) const { return sequence ? double(frame) : 0.0; }
  // "frame N: " in sequences, where a message belongs to one frame.
  std::string at(int frame) const { return sequence ? "frame " + std::to_string(frame) + ": " : ""; }
};

struct NamedOutput {
  const char* name;
  std::string pattern;
};

std::vector<NamedOutput> outputsOf(const Run& run) {
  const MatchOptions& o = run.o;
  return {{"OUTPUT", o.output},
          {o.cube.empty() ? "--ocio-config-out's .cube" : "--cube", run.cube},
          {"--cdl", o.cdl},
          {"--sheet", o.sheet},
          {"--ocio-config-out", o.ocioConfigOut}};
}

// Where the config out finds its LUT when --cube is not given: beside it, as NAME.cube.
std::string cubeBeside(const std::string& config) {
  const size_t slash = config.find_last_of('/');
  const size_t dot = config.find_last_of('.');
  const bool extension = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
  return (extension ? config.substr(0, dot) : config) + ".cube";
}

// The files a frame writes: OUTPUT and the exports and sheet with a placeholder at every frame,
// those without one after the last frame of the range.
std::vector<std::pair<const char*, std::string>> frameOutputs(const Run& run, int frame) {
  std::vector<std::pair<const char*, std::string>> paths;
  for (const NamedOutput& out : outputsOf(run))
    if (!out.pattern.empty() && (isFramePattern(out.pattern) || frame == run.range.last))
      paths.push_back({out.name, expandFrame(out.pattern, frame)});
  return paths;
}

// Checks the command as a whole, before any file is looked at: placeholders and file names.
int checkCommand(const Run& run) {
  const MatchOptions& o = run.o;
  const std::vector<std::pair<const char*, std::string>> patterned = {{"SOURCE", o.source},
                                                                      {"REFERENCE", o.reference},
                                                                      {"OUTPUT", o.output},
                                                                      {"--source-mask", o.sourceMask},
                                                                      {"--reference-mask", o.referenceMask},
                                                                      {"--cube", o.cube},
                                                                      {"--cdl", o.cdl},
                                                                      {"--sheet", o.sheet},
                                                                      {"--ocio-config-out", o.ocioConfigOut}};
  for (const auto& [name, path] : patterned)
    if (!run.sequence && isFramePattern(path))
      return reportError(kExitUsage,
                         std::string(name) + " '" + path + "' is a frame pattern: give the frames with --frames A-B");
  if (run.sequence && !isFramePattern(o.output))
    return reportError(
        kExitUsage, "--frames: OUTPUT '" + o.output + "' must be a frame pattern such as out.%04d.exr or out.####.exr");
  if (isFramePattern(o.reportJson))
    return reportError(
        kExitUsage, "--report-json '" + o.reportJson + "' is one file for the whole run: give it no frame placeholder");
  for (const auto& [name, path] : {std::pair<const char*, std::string>{"--cube", o.cube},
                                   {"--cdl", o.cdl},
                                   {"--report-json", o.reportJson},
                                   {"--ocio-config-out", o.ocioConfigOut}})
    if (!path.empty() && (path.back() == '/' || path.back() == '\\'))
      return reportError(kExitUsage, std::string(name) + " '" + path + "': give a file name, not a directory");
  if (isFramePattern(o.ocioConfigOut) && !isFramePattern(run.cube))
    return reportError(kExitUsage, "--ocio-config-out '" + o.ocioConfigOut +
                                       "' has a frame placeholder: so must "
                                       "--cube, so that each frame's config applies that frame's LUT");
  const std::pair<bool, const char*> analysisOptions[] = {
      {o.keyFrame && o.analysis != "key", "--key-frame goes with --analysis key"},
      {!o.analysisFrames.empty() && o.analysis != "range", "--analysis-frames goes with --analysis range"},
      {o.windowRadius && o.analysis != "window", "--window-radius goes with --analysis window"},
      {o.frameStep && o.analysis != "range" && o.analysis != "window",
       "--frame-step goes with --analysis range or window"}};
  for (const auto& [wrong, message] : analysisOptions)
    if (wrong) return reportError(kExitUsage, message);
  if (!o.ocioConfigOut.empty() && run.cube == o.ocioConfigOut)
    return reportError(kExitUsage, "--ocio-config-out '" + o.ocioConfigOut +
                                       "' would overwrite its own .cube: "
                                       "give --cube another name");
  return kExitOK;
}

// "Linear Rec.709 (sRGB) (lin_rec709), ..." for messages.
std::string spaceList(const ColourConfig& colour) {
  const OCIO::ConstConfigRcPtr& config = colour.config;
  std::string text;
  for (int i = 0; i < config->getNumColorSpaces(); ++i) {
    const OCIO::ConstColorSpaceRcPtr cs = config->getColorSpace(config->getColorSpaceNameByIndex(i));
    if (!cs) continue;
    text += (text.empty() ? "" : ", ") + std::string(cs->getName());
    if (cs->getNumAliases() > 0) text += std::string(" (") + cs->getAlias(0) + ")";
  }
  return text;
}

// The config and the spaces the options name, each checked before anything is read.
int planColour(Run& run) {
  const MatchOptions& o = run.o;
  std::string error;
  if (!loadColourConfig(o.config, run.colour, error)) return reportError(kExitFailure, error);
  run.summary.colourConfig = run.colour.origin;
  const std::pair<const char*, const std::string*> named[] = {{"--source-space", &o.sourceSpace},
                                                              {"--reference-space", &o.referenceSpace},
                                                              {"--working-space", &o.workingSpace},
                                                              {"--output-space", &o.outputSpace}};
  std::string* resolved[] = {&run.sourceSpace, &run.referenceSpace, &run.workingSpace, &run.outputSpace};
  for (size_t i = 0; i < 4; ++i) {
    const std::string& name = *named[i].second;
    if (name.empty()) continue;
    *resolved[i] = resolveSpace(run.colour, name);
    if (resolved[i]->empty())
      return reportError(kExitUsage, std::string(named[i].first) + ": the " + run.colour.origin +
                                         " config has no colour space '" + name + "' (it has " + spaceList(run.colour) +
                                         ")");
  }
  run.workingOption = run.workingSpace;
  if (run.workingOption.empty()) {
    const char* fallback = defaultWorkingSpace(run.sameFrame);
    run.withinOne = resolveSpace(run.colour, fallback);
    if (run.withinOne.empty())
      return reportError(kExitUsage, std::string("the ") + run.colour.origin + " config has no '" + fallback +
                                         "', the working space of " +
                                         (run.sameFrame ? "Same Frame" : "Different Clips") +
                                         ": give --working-space (it has " + spaceList(run.colour) + ")");
    // Those of the spaces for highlights that the config has (without any, highlights are
    // matched in the space above, which clips them and says so).
    run.levels = {1.0f};
    for (const HighlightSpace& candidate : highlightWorkingSpaces(run.sameFrame, run.o.fit != "cells")) {
      const std::string space = resolveSpace(run.colour, candidate.name);
      if (!space.empty() && candidate.top > run.levels.back()) {
        run.forHighlights.push_back(space);
        run.levels.push_back(candidate.top);
      }
    }
  }
  run.summary.workingSpace = run.workingOption;
  return kExitOK;
}

// The conversion between two spaces of the run's config, made once.
const Conversion* conversion(Run& run, const std::string& from, const std::string& to, std::string& error) {
  const auto key = std::make_pair(from, to);
  auto found = run.conversions.find(key);
  if (found == run.conversions.end()) {
    Conversion made;
    if (!makeConversion(run.colour, from, to, made, error)) return nullptr;
    found = run.conversions.emplace(key, made).first;
  }
  return &found->second;
}

// Into linear Rec.709 from a space of the run's config, made once; null when the config has no
// way there (`run.measureError` says why).
const Conversion* toLinear(Run& run, const std::string& from) {
  auto found = run.toLinear.find(from);
  if (found == run.toLinear.end()) {
    Conversion made;
    std::string error;
    if (!makeMeasureConversion(run.colour, from, made, error)) {
      run.measureError = error;
      return nullptr;
    }
    found = run.toLinear.emplace(from, made).first;
  }
  return &found->second;
}

// The writers the outputs need, checked once their targets are known to be files.
int checkFormats(const Run& run) {
  const MatchOptions& o = run.o;
  const std::string format = outputFormatFor(expandFrame(o.output, run.range.first));
  if (format.empty()) return reportError(kExitUsage, "OUTPUT '" + o.output + "': no image writer for this file type");
  if (o.depth != SampleDepth::Unknown && !formatStoresDepth(format, o.depth))
    return reportError(kExitUsage,
                       std::string("--depth: ") + format + " files cannot hold " + depthName(o.depth) + " samples");
  if (!o.sheet.empty() && outputFormatFor(expandFrame(o.sheet, run.range.first)).empty())
    return reportError(kExitUsage, "--sheet '" + o.sheet + "': no image writer for this file type");
  return kExitOK;
}

// Every output of every frame goes to a regular file or a new path in a writable directory,
// and none is an input.
int checkTargets(const Run& run, std::vector<std::pair<const char*, std::string>> targets) {
  if (!run.o.reportJson.empty()) targets.push_back({"--report-json", run.o.reportJson});
  std::set<std::string> checkedDirectories;
  for (const auto& [name, path] : targets) {
    const std::string dir = directoryOf(path);
    if (checkedDirectories.insert(dir).second) {
      struct stat st;
      if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return reportError(kExitFailure, std::string(name) + " '" + path + "': directory '" + dir + "' does not exist");
      if (access(dir.c_str(), W_OK) != 0)
        return reportError(kExitFailure,
                           std::string(name) + " '" + path + "': directory '" + dir + "' is not writable");
    }
    const std::string refused = refusedTarget(path);
    if (!refused.empty())
      return reportError(kExitFailure, std::string(name) + " '" + path + "' " + refused +
                                           ": outputs go only to regular files or new paths");
  }
  return kExitOK;
}

int checkInputs(Run& run) {
  for (int frame : run.frames) {
    for (ClipInput* in : run.inputs()) {
      if (!in->given() || (frame != run.frames.front() && !isFramePattern(in->pattern))) continue;
      const std::string path = expandFrame(in->pattern, frame);
      struct stat st;
      if (stat(path.c_str(), &st) != 0)
        return reportError(kExitFailure, std::string(in->role) + " '" + path + "' does not exist");
      if (!S_ISREG(st.st_mode))
        return reportError(kExitFailure, std::string(in->role) + " '" + path + "' is not a file");
      for (const auto& [name, target] : frameOutputs(run, frame))
        if (sameFile(target, path))
          return reportError(kExitUsage, std::string(name) + " '" + target + "' would overwrite " + in->role);
    }
  }
  return kExitOK;
}

// "1001-1003, 1007"
std::string frameList(const std::vector<int>& frames) {
  std::string text;
  for (size_t i = 0; i < frames.size();) {
    size_t j = i;
    while (j + 1 < frames.size() && frames[j + 1] == frames[j] + 1) ++j;
    text += (text.empty() ? "" : ", ") + std::to_string(frames[i]) + (j > i ? "-" + std::to_string(frames[j]) : "");
    i = j + 1;
  }
  return text;
}

// The colour space of a colour file just read: the option's, else its metadata's, else the
// default for its samples. A note goes out once per input when metadata named nothing known.
int chooseSpace(Run& run, const ClipInput& in, ShotFrame& file, const std::string& option,
                std::vector<std::string>& warnings, std::string& error) {
  if (!option.empty()) {
    file.space = option;
    file.spaceFrom = "option";
    return kExitOK;
  }
  const FileSpace found = fileSpace(run.colour, file.image);
  const std::string flag = &in == &run.source ? "--source-space" : "--reference-space";
  if (found.name.empty()) {
    error = std::string(in.role) + " '" + file.path + "': the " + run.colour.origin + " config has no '" +
            (isIntegerDepth(file.image.depth) ? kSrgbTexture : kLinearRec709) + "' for its " +
            depthName(file.image.depth) + " samples: give " + flag;
    return kExitUsage;
  }
  if (found.logarithmic && run.spaceNotes.insert(in.role).second) {
    std::string spaces;
    for (const std::string& name : logSpaces(run.colour)) spaces += (spaces.empty() ? "" : ", ") + name;
    warnings.push_back(std::string(in.role) + " '" + file.path + "': " + found.note + "; taken as " + found.name +
                       ", which will be wrong: give " + flag +
                       (spaces.empty() ? "" : " (the " + run.colour.origin + " config's log spaces: " + spaces + ")"));
  } else if (!found.note.empty() && run.spaceNotes.insert(in.role).second) {
    warnings.push_back(std::string(in.role) + " '" + file.path + "': " + found.note + "; taken as " + found.name +
                       " (" + flag + " chooses)");
  }
  file.space = found.name;
  file.spaceFrom = found.from;
  return kExitOK;
}

// The default working space for a Source with these shares above the run's levels: for one
// within 1 in linear light, or the narrowest space for highlights that holds its own.
const std::string& defaultSpaceFor(const Run& run, const std::vector<double>& above) {
  const int highlights = highlightSpaceFor(above);
  return highlights < 0 ? run.withinOne : run.forHighlights[size_t(highlights)];
}

// One file of an input at a frame, with its colour space, its non-finite count and, for a Source
// that sets each frame's working space, its shares above the levels. With `convert`, colour goes
// into the working space, where the plug-in sees it: the run's, or the one this Source frame
// sets. Masks are data and stay as they are.
int readInput(Run& run, const ClipInput& in, int frame, ShotFrame& out, std::vector<std::string>& warnings,
              std::string& error, bool convert = true) {
  out.path = expandFrame(in.pattern, frame);
  const bool ok = in.mask ? readMaskImage(out.path, out.image, error) : readColorImage(out.path, out.image, error);
  if (!ok) return kExitFailure;
  if (in.mask) return kExitOK;
  if (const int status =
          chooseSpace(run, in, out, &in == &run.source ? run.sourceSpace : run.referenceSpace, warnings, error))
    return status;
  out.nonFinite = countNonFinite(out.image);
  out.workingSpace = out.space;
  if (&in == &run.source && run.workingOption.empty()) {
    const Conversion* linear = toLinear(run, out.space);
    out.above = linear ? sharesAbove(out.image, *linear, run.levels) : std::vector<double>();
  }
  if (extraParts(out.image) > 0)
    warnings.push_back(run.at(frame) + std::string(in.role) + " '" + out.path + "' has " +
                       std::to_string(extraParts(out.image) + 1) + " parts: only the first is read" +
                       (&in == &run.source ? " and written" : ""));
  if (!convert) return kExitOK;
  const std::string& working =
      &in == &run.source && run.spacePerFrame ? defaultSpaceFor(run, out.above) : run.workingSpace;
  if (working == out.space) return kExitOK;
  const Conversion* toWorking = conversion(run, out.space, working, error);
  if (!toWorking) {
    error = std::string(in.role) + " '" + out.path + "': " + error;
    return kExitFailure;
  }
  toWorking->apply(out.image);
  out.workingSpace = working;
  return kExitOK;
}

// The shot's frames and the reader of its sequences.
void planShot(Run& run) {
  run.shot = run.sequence ? FrameRange{run.range.first, run.range.first} : FrameRange{0, 0};
  for (const ClipInput* in : {&run.source, &run.reference}) {
    if (!run.sequence || !isFramePattern(in->pattern)) continue;
    const std::vector<int> onDisk = framesOnDisk(in->pattern, run.range);
    if (!onDisk.empty()) run.shot = FrameRange{onDisk.front(), onDisk.back()};
    break;
  }
  run.summary.shot = run.shot;
  const size_t budget = run.o.frameCacheMB > 0 ? size_t(run.o.frameCacheMB * 1048576.0) : defaultFrameBudget();
  run.reader = std::make_unique<FrameReader>(
      budget,
      [&run](int input, int frame, ShotFrame& out, std::vector<std::string>& warnings, std::string& error) {
        return readInput(run, *run.inputs()[size_t(input)], frame, out, warnings, error) == kExitOK;
      },
      [&run](int input, int frame, PixelRect& out, std::string& error) {
        return readCanvasBounds(expandFrame(run.inputs()[size_t(input)]->pattern, frame), out, error);
      });
}

bool frameComplete(Run& run, int frame);

// Under the Analysis choices that pool frames, every build learns from frames in one working
// space: without --working-space, the default for the Source at the shot's anchor frame (the key
// frame, the first of --analysis-frames, else the shot's first), held for the whole shot, so that
// a split shot matches as one run does.
int planShotSpace(Run& run) {
  const MatchOptions& o = run.o;
  run.spacePerFrame = run.workingOption.empty() && o.analysis == "current";
  if (!run.workingOption.empty() || run.spacePerFrame) return kExitOK;
  int anchor = o.analysis == "key" && o.keyFrame                    ? *o.keyFrame
               : o.analysis == "range" && !o.analysisFrames.empty() ? run.analysisFrames.first
                                                                    : run.shot.first;
  if (isFramePattern(run.source.pattern) && !frameComplete(run, anchor)) anchor = run.shot.first;
  ShotFrame file;
  std::vector<std::string> warnings;
  std::string error;
  if (const int status = readInput(run, run.source, anchor, file, warnings, error, false))
    return reportError(status, error);
  for (const std::string& warning : warnings) {
    run.summary.warnings.push_back(warning);
    printWarning(warning);
  }
  run.anchorAbove = file.above;
  run.workingSpace = run.summary.workingSpace = defaultSpaceFor(run, file.above);
  return kExitOK;
}

// Step 1: the frames to render and everything that can be checked before the first render, so
// that a bad command writes nothing.
int planRun(Run& run) {
  const MatchOptions& o = run.o;
  run.sequence = !o.frames.empty();
  run.sameFrame = o.mode == "same";
  run.source.pattern = o.source;
  run.reference.pattern = o.reference;
  run.sourceMask.pattern = o.sourceMask;
  run.referenceMask.pattern = o.referenceMask;
  run.cube = !o.cube.empty() || o.ocioConfigOut.empty() ? o.cube : cubeBeside(o.ocioConfigOut);
  run.summary.cube = run.cube;
  std::string error;
  if (run.sequence && !parseFrameRange(o.frames, run.range, error)) return reportError(kExitUsage, error);
  if (!o.analysisFrames.empty() && !parseFrameRange(o.analysisFrames, run.analysisFrames, error, "--analysis-frames"))
    return reportError(kExitUsage, error);
  if (const int status = checkCommand(run)) return status;
  if (const int status = planColour(run)) return status;

  std::vector<std::pair<const char*, std::string>> targets;
  for (int frame = run.range.first; frame <= run.range.last; ++frame) {
    const auto outputs = frameOutputs(run, frame);
    bool done = o.skipExisting;
    for (const auto& output : outputs) {
      targets.push_back(output);
      done = done && exists(output.second);
    }
    (done ? run.skipped : run.frames).push_back(frame);
  }
  if (const int status = checkTargets(run, targets)) return status;
  if (const int status = checkFormats(run)) return status;
  if (const int status = checkInputs(run)) return status;
  planShot(run);
  if (const int status = planShotSpace(run)) return status;
  if (!run.skipped.empty())
    printNote("--skip-existing: " + std::to_string(run.skipped.size()) + " of " + std::to_string(run.range.count()) +
              " frames have their outputs, skipped: " + frameList(run.skipped));

  run.threads = o.threads > 0 ? o.threads : int(std::max(1u, std::thread::hardware_concurrency()));
  run.writeSettings.depth = o.depth;
  run.writeSettings.software = std::string("vantrel ") + toolVersion();
  if (!run.sameFrame && !o.fit.empty()) {
    run.summary.warnings.push_back("--fit plays no part in Different Clips mode (it chooses Same Frame's learner)");
    printWarning(run.summary.warnings.back());
  }
  if (run.sameFrame && (run.sourceMask.given() || run.referenceMask.given())) {
    run.summary.warnings.push_back(
        "the masks play no part in Same Frame mode (they weight the Different "
        "Clips statistics only); --report and the sheet still measure the pixels "
        "they select");
    printWarning(run.summary.warnings.back());
  }
  return kExitOK;
}

// Only what differs from the instance's current values is edited, as a user would.
bool applySettings(PluginSession& session, const MatchOptions& o, std::string& error) {
  auto edit = [&](const char* name, const ofxhost::ParamValue& value) {
    const auto current = session.host->paramValue(session.instance, name);
    return (current && *current == value) || editParam(session, name, value, 0.0, error);
  };
  const std::pair<const char*, std::optional<double>> mixes[] = {
      {"strength", o.mix}, {"strengthR", o.mixR}, {"strengthG", o.mixG}, {"strengthB", o.mixB}};
  for (const auto& [name, value] : mixes) {
    if (!value) continue;
    ofxhost::ParamValue v;
    v.doubles = {*value};
    if (!edit(name, v)) return false;
  }
  ofxhost::ParamValue mode;
  mode.ints = {o.mode == "same" ? 1 : 0};
  ofxhost::ParamValue preserve;
  preserve.ints = {o.preserve == "brightness" ? 1 : o.preserve == "colors" ? 2 : 0};
  if (!edit("matchMode", mode) || !edit("preserveMode", preserve)) return false;
  // The plug-in's "Same Frame Fit": the tool learns Same Frame with the fitted lattice unless
  // told otherwise (docs/colour.md has the measurements).
  ofxhost::ParamValue fit;
  fit.ints = {o.fit == "cells" ? 0 : 1};
  return o.mode != "same" || edit("sameFrameFit", fit);
}

// The analysis settings, edited as a user would; the key frame is the shot's first unless given.
bool applyAnalysis(Run& run, std::string& error) {
  const MatchOptions& o = run.o;
  const char* const modes[] = {"current", "key", "range", "window"};
  const int mode = int(std::find(std::begin(modes), std::end(modes), o.analysis) - std::begin(modes));
  std::vector<std::pair<const char*, std::vector<int>>> settings = {{"analysisMode", {mode}}};
  if (o.analysis == "key") settings.push_back({"keyFrame", {o.keyFrame.value_or(run.shot.first)}});
  if (!o.analysisFrames.empty())
    settings.push_back({"frameRange", {run.analysisFrames.first, run.analysisFrames.last}});
  if (o.windowRadius) settings.push_back({"windowRadius", {*o.windowRadius}});
  if (o.frameStep) settings.push_back({"frameStep", {*o.frameStep}});
  for (const auto& [name, ints] : settings) {
    ofxhost::ParamValue value;
    value.ints = ints;
    const auto current = run.session.host->paramValue(run.session.instance, name);
    // A plug-in without the choice learns from each frame, which is what "current" asks.
    if (!current && mode == 0) continue;
    if (!(current && *current == value) && !editParam(run.session, name, value, 0.0, error)) return false;
  }
  return true;
}

// Whether every sequence has its file at this frame: a frame the plug-in may learn from.
bool frameComplete(Run& run, int frame) {
  std::lock_guard<std::mutex> hold(run.completeLock);
  auto found = run.complete.find(frame);
  if (found != run.complete.end()) return found->second;
  bool complete = true;
  for (const ClipInput* in : run.inputs()) {
    struct stat st;
    // Masks play no part in Same Frame mode.
    if (in->given() && isFramePattern(in->pattern) && !(in->mask && run.sameFrame))
      complete = complete && stat(expandFrame(in->pattern, frame).c_str(), &st) == 0 && S_ISREG(st.st_mode);
  }
  return run.complete[frame] = complete;
}

// A host view that keeps the reader's frame alive while the plug-in holds it.
std::shared_ptr<ofxhost::Image> sharedView(std::shared_ptr<const ShotFrame> frame) {
  struct Held {
    std::shared_ptr<const ShotFrame> frame;
    ofxhost::Image view;
  };
  auto held = std::make_shared<Held>();
  held->view = *hostView(const_cast<Image&>(frame->image));  // the plug-in only reads its inputs
  held->frame = std::move(frame);
  return std::shared_ptr<ofxhost::Image>(held, &held->view);
}

// The sequences, served to the plug-in at whatever frames it asks for (a frame missing from any
// sequence: none), and the shot's frames on every input clip.
void serveSequences(Run& run) {
  const std::vector<ClipInput*> inputs = run.inputs();
  for (size_t index = 0; index < inputs.size(); ++index) {
    ClipInput* in = inputs[index];
    run.session.host->setClipFrameRange(run.session.instance, in->clip, run.shot.first, run.shot.last);
    if (!in->given() || !isFramePattern(in->pattern)) continue;
    run.session.host->setImageSource(
        run.session.instance, in->clip, [&run, index](double time, bool pixels) -> std::shared_ptr<ofxhost::Image> {
          const int frame = int(time);
          if (double(frame) != time || frame < 0 || !frameComplete(run, frame)) return nullptr;
          if (!pixels) {
            const std::optional<PixelRect> place = run.reader->bounds(int(index), frame);
            if (!place) return nullptr;
            auto bounds = std::make_shared<ofxhost::Image>();
            bounds->bounds = {place->x1, place->y1, place->x2, place->y2};
            return bounds;
          }
          std::string error;
          const std::shared_ptr<const ShotFrame> read = run.reader->frame(int(index), frame, error);
          return read ? sharedView(read) : nullptr;
        });
  }
}

// Step 2: the plug-in, loaded and set up once for the whole run.
int openPlugin(Run& run) {
  std::string error;
  std::string path;
  if (!findPlugin(run.o.plugin, std::getenv("OFX_PLUGIN_PATH"), executableDirectory(), path, error))
    return reportError(kExitFailure, error);
  run.summary.pluginPath = path;
  if (!openSession(run.session, path, true, error) || !applySettings(run.session, run.o, error) ||
      !applyAnalysis(run, error))
    return reportError(kExitFailure, error);
  serveSequences(run);
  const OfxPlugin* record = run.session.host->plugin();
  run.summary.pluginIdentifier = record->pluginIdentifier ? record->pluginIdentifier : "";
  run.summary.pluginVersion =
      std::to_string(record->pluginVersionMajor) + "." + std::to_string(record->pluginVersionMinor);
  return kExitOK;
}

// The frame's working space: --working-space, else the mode's default for its Source (under the
// Analysis choices that pool frames, for the Source of the shot's anchor frame, held for the shot).
void chooseWorkingSpace(Run& run, int frame, FrameRecord& record) {
  std::string space = run.workingOption;
  record.workingSpaceFrom = "option";
  if (space.empty()) {
    // Without a way into linear light (a config without one) the Source cannot be measured.
    const std::vector<double>& above = run.spacePerFrame ? run.source.above : run.anchorAbove;
    record.aboveOneShare = above.empty() ? std::nan("") : above[0];
    const int highlights = highlightSpaceFor(above);
    space = defaultSpaceFor(run, above);
    record.workingSpaceFrom = above.empty()    ? "default"
                              : highlights < 0 ? "default, Source within 1"
                                               : "default, Source above 1";
  }
  if (!run.workingSpace.empty() && space != run.workingSpace && !run.mixedSpaces) {
    run.mixedSpaces = true;
    record.warnings.push_back(run.at(frame) + "matched in " + space + ", the frames before it in " + run.workingSpace +
                              " (the default follows the Source's values above 1): give --working-space to match "
                              "the whole shot in one space");
  }
  run.workingSpace = record.workingSpace = space;
  run.summary.workingSpace = run.mixedSpaces ? "" : space;
  // Different Clips statistics take their input as linear light, whatever it is.
  if (!run.sameFrame && run.linearChecked.insert(space).second && !isLinearLight(run.colour, space)) {
    run.summary.warnings.push_back("Different Clips in " + space +
                                   ", which is not linear light: the plug-in's statistics read their input as "
                                   "linear light, so colours and highlights can come out far from the Reference "
                                   "(leave --working-space out, or give a linear space such as lin_rec709)");
    printWarning(run.summary.warnings.back());
  }
}

// Step 3: the frame's inputs. A sequence's frame comes from the shot's reader, which also serves
// the plug-in the other frames it learns from, in the working space; a still is read once, kept as
// read and converted again when the working space changes. The Source comes first: it sets the
// frame's working space.
int loadInputs(Run& run, int frame, FrameRecord& record) {
  run.reader->hold(frame);
  const std::vector<ClipInput*> inputs = run.inputs();
  for (size_t index = 0; index < inputs.size(); ++index) {
    ClipInput* in = inputs[index];
    in->fresh = false;
    if (!in->given()) continue;
    std::string error;
    if (isFramePattern(in->pattern)) {
      const std::shared_ptr<const ShotFrame> read = run.reader->frame(int(index), frame, error);
      if (!read) return reportError(kExitFailure, error);
      in->image = read->image;
      in->path = read->path;
      in->space = read->space;
      in->spaceFrom = read->spaceFrom;
      in->imageSpace = read->workingSpace;
      in->nonFinite = read->nonFinite;
      in->above = read->above;
      in->fresh = true;
      in->version = ++run.imageVersions;
      if (in == &run.source) chooseWorkingSpace(run, frame, record);
      if (!in->mask && in->imageSpace != run.workingSpace)
        return reportError(kExitFailure, run.at(frame) + in->role + " '" + in->path + "' was read into " +
                                             in->imageSpace + ", not the frame's working space " + run.workingSpace);
      continue;
    }
    if (!in->loaded) {
      const auto start = Clock::now();
      ShotFrame still;
      if (const int status = readInput(run, *in, frame, still, record.warnings, error, false))
        return reportError(status, error);
      in->image = std::move(still.image);
      in->path = still.path;
      in->space = still.space;
      in->spaceFrom = still.spaceFrom;
      in->imageSpace = still.space;
      in->nonFinite = still.nonFinite;
      in->above = std::move(still.above);
      if (!in->mask) in->file = in->image;
      in->loaded = in->fresh = true;
      ++run.summary.filesRead;
      record.timings.decode += secondsSince(start);
    }
    if (in == &run.source) chooseWorkingSpace(run, frame, record);
    bool attach = in->fresh;
    if (!in->mask && in->imageSpace != run.workingSpace) {
      const auto start = Clock::now();
      if (!in->fresh) in->image = in->file;
      const Conversion* toWorking = conversion(run, in->space, run.workingSpace, error);
      if (!toWorking) return reportError(kExitFailure, std::string(in->role) + " '" + in->path + "': " + error);
      toWorking->apply(in->image);
      in->imageSpace = run.workingSpace;
      attach = true;
      record.timings.decode += secondsSince(start);
    }
    if (attach) {
      in->version = ++run.imageVersions;
      run.session.host->detachImages(run.session.instance, in->clip);
      run.session.host->attachImage(run.session.instance, in->clip, hostView(in->image));
    }
  }
  for (std::string& warning : run.reader->takeWarnings()) record.warnings.push_back(std::move(warning));
  record.timings.decode += run.reader->takeSeconds();
  record.source = run.source.path;
  record.reference = run.reference.path;
  record.sourceSpace = run.source.space;
  record.sourceSpaceFrom = run.source.spaceFrom;
  record.referenceSpace = run.reference.space;
  record.referenceSpaceFrom = run.reference.spaceFrom;
  return kExitOK;
}

// The weights the masks give (empty without a mask).
PixelWeights weightsOf(const ClipInput& mask, const Image& image) {
  return mask.given() ? maskWeights(mask.image, image.width, image.height) : PixelWeights{};
}

// "12 of 2073600 pixels (0.00058%)"
std::string shareText(size_t count, size_t of) {
  char text[96];
  std::snprintf(text, sizeof text, "%zu of %zu pixels (%.2g%%)", count, of,
                of ? 100.0 * double(count) / double(of) : 0.0);
  return text;
}

// Step 4: what would spoil the shot, one line each; an input without a single finite colour
// fails the frame before anything is rendered.
int lookForSurprises(Run& run, int frame, FrameRecord& record) {
  for (ClipInput* in : {&run.source, &run.reference}) {
    const NonFiniteCount& count = in->nonFinite;
    (in == &run.source ? record.sourceNonFinite : record.referenceNonFinite) = count.share();
    if (!in->fresh) continue;  // a still input is checked where it is read
    if (!count.anyFinite()) {
      for (const std::string& warning : record.warnings) printWarning(warning);
      return reportError(kExitFailure, run.at(frame) + in->role + " '" + in->path +
                                           "' has no pixel whose R, G and B are all finite numbers (NaN or "
                                           "infinite everywhere: a damaged file or a failed render); nothing is "
                                           "written for this frame");
    }
    if (count.nonFinite > 0)
      record.warnings.push_back(run.at(frame) + in->role + " '" + in->path +
                                "': " + shareText(count.nonFinite, count.pixels) +
                                " have a NaN or infinite R, G or B (a damaged file or a bad render)");
  }
  const Image &source = run.source.image, &reference = run.reference.image;
  if (!run.sameFrame) {
    const std::pair<const ClipInput*, const Image*> masks[] = {{&run.sourceMask, &source},
                                                               {&run.referenceMask, &reference}};
    for (const auto& [mask, image] : masks)
      if (mask->given() && !maskSelectsSamples(weightsOf(*mask, *image), image->width, image->height))
        record.warnings.push_back(run.at(frame) + mask->role + " '" + mask->path +
                                  "' selects no sample: the match falls back to a neutral summary and "
                                  "paints a flat colour");
  } else if (!(canvasBounds(source) == canvasBounds(reference))) {
    const PixelRect s = canvasBounds(source), r = canvasBounds(reference);
    const int w = std::max(0, std::min(s.x2, r.x2) - std::max(s.x1, r.x1));
    const int h = std::max(0, std::min(s.y2, r.y2) - std::max(s.y1, r.y1));
    const bool sameSize = source.width == reference.width && source.height == reference.height;
    record.warnings.push_back(run.at(frame) + "Same Frame with a Source of " + sizeText(source) +
                              " and a Reference of " + sizeText(reference) + (sameSize ? " at another place" : "") +
                              ": only their " + std::to_string(w) + "x" + std::to_string(h) + " overlap is compared");
  }
  const MatchOptions& o = run.o;
  const double mix = o.mix.value_or(1.0);
  const bool matched[3] = {mix * o.mixR.value_or(1.0) > 0, mix * o.mixG.value_or(1.0) > 0,
                           mix * o.mixB.value_or(1.0) > 0};
  record.clippedShare = outOfRangeShare(source, matched);
  if (record.clippedShare > 0.001) {
    char share[32];
    std::snprintf(share, sizeof share, "%.2f%%", 100.0 * record.clippedShare);
    std::string hint;
    if (!run.workingOption.empty())
      hint = "; without --working-space, a Source above 1 is matched in a space that holds its highlights";
    record.warnings.push_back(run.at(frame) + share + " of the Source pixels have R, G or B outside 0..1 in " +
                              run.workingSpace + ", which the match clips (its table covers 0..1)" + hint);
  }
  for (const std::string& warning : record.warnings) printWarning(warning);
  return kExitOK;
}

// The frames the match of this frame is learnt from: those the plug-in asks for of the
// Reference, less those missing from a sequence.
void noteAnalysis(Run& run, int frame, FrameRecord& record) {
  if (!run.sequence) return;
  const ofxhost::FramesNeeded needed = run.session.host->framesNeeded(run.session.instance, run.time(frame));
  for (const OfxRangeD& range : needed.ranges.at("Reference"))
    for (double t = std::ceil(range.min); t <= range.max; t += 1.0)
      (frameComplete(run, int(t)) ? record.learntFrom : record.leftOut).push_back(int(t));
}

// Step 5: the Output, rendered at the Source's canvas place in tiles.
int renderOutput(Run& run, int frame, FrameRecord& record) {
  const Image& source = run.source.image;
  Image& output = run.output;
  output = Image();
  placeLike(source, output);
  output.channels = 4;
  output.depth = source.depth;
  output.hasAlpha = source.hasAlpha;
  output.format = source.format;
  output.compression = source.compression;
  output.layout = source.layout;
  output.pixels.assign(size_t(output.width) * size_t(output.height) * 4, 0.0f);
  run.session.host->detachImages(run.session.instance, "Output");
  run.session.host->attachImage(run.session.instance, "Output", hostView(output), run.time(frame));

  noteAnalysis(run, frame, record);
  const PixelRect canvas = canvasBounds(output);
  RenderTimes times;
  std::string error;
  const bool rendered = renderFrame(run.session, run.time(frame), {canvas.x1, canvas.y1, canvas.x2, canvas.y2},
                                    run.threads, run.o.tileSize, times, error);
  // Frames the plug-in had read for its build count as decoding, not as the build.
  const double reading = run.reader->takeSeconds();
  record.timings.decode += reading;
  record.timings.rebuild += std::max(0.0, times.rebuild - reading);
  record.timings.apply += times.apply;
  for (std::string& warning : run.reader->takeWarnings()) {
    printWarning(warning);
    record.warnings.push_back(std::move(warning));
  }
  const std::string unread = run.reader->takeError();
  if (!unread.empty()) return reportError(kExitFailure, "frame " + std::to_string(frame) + ": " + unread);
  if (!rendered && !interruptSignal())
    return reportError(kExitFailure, "frame " + std::to_string(frame) + ": " + error);
  return kExitOK;
}

// Step 6: the Output file, with the Source's layout.
int writeOutput(Run& run, int frame, FrameRecord& record) {
  const auto start = Clock::now();
  std::string error;
  record.output = expandFrame(run.o.output, frame);
  // Back from the working space into the Output's: --output-space, else the Source's, except
  // that an EXR, which every reader takes as linear light, holds the config's scene-linear
  // space unless the Source's is linear light already.
  record.outputSpace = run.outputSpace.empty() ? record.sourceSpace : run.outputSpace;
  record.outputSpaceFrom = run.outputSpace.empty() ? "source" : "option";
  const std::string sceneLinear = resolveSpace(run.colour, OCIO::ROLE_SCENE_LINEAR);
  if (run.outputSpace.empty() && outputFormatFor(record.output) == "openexr" && !sceneLinear.empty() &&
      !isLinearLight(run.colour, record.sourceSpace)) {
    record.outputSpace = sceneLinear;
    record.outputSpaceFrom = "scene_linear";
  }
  const Conversion* back = conversion(run, run.workingSpace, record.outputSpace, error);
  if (!back) return reportError(kExitFailure, "OUTPUT '" + record.output + "': " + error);
  Image encoded = run.output;
  back->apply(encoded);
  WriteSettings settings = run.writeSettings;
  const SpaceMetadata metadata = spaceMetadata(record.outputSpace);
  settings.colourSpace = metadata.attribute;
  settings.chromaticities = metadata.primaries;
  settings.spaceName = record.outputSpace;
  settings.sameColourSpace = record.outputSpace == record.sourceSpace;
  if (!writeColorImage(record.output, encoded, settings, error)) return reportError(kExitFailure, error);
  record.written = true;
  // What the next run will take the file for, once per run.
  Image written;
  if (!run.outputChecked && readColorHeader(record.output, written, error)) {
    run.outputChecked = true;
    const FileSpace readBack = fileSpace(run.colour, written);
    if (readBack.name != record.outputSpace) {
      run.summary.warnings.push_back("OUTPUT '" + record.output + "': the " + written.format +
                                     " file cannot name its colour space, " + record.outputSpace +
                                     ", and reads back as " + readBack.name + ": give --source-space '" +
                                     record.outputSpace + "' to match it again");
      printWarning(run.summary.warnings.back());
    }
  }
  record.timings.encode += secondsSince(start);
  if (!run.sequence) printNote("wrote " + record.output);
  return kExitOK;
}

// The plug-in replaces its files atomically itself, so a target with the extension the plug-in
// keeps is handed over as it stands (and the plug-in's message names it). Any other name is
// exported under a temporary one with that extension, moved into place, and the plug-in's
// message is shown with the target's name.
bool exportWith(PluginSession& session, const char* button, const std::string& extension, const std::string& target,
                double time, std::string& error) {
  const bool direct = endsWith(target, extension);
  std::unique_ptr<TemporaryFile> temporary;
  std::string written = target;
  if (!direct) {
    temporary = std::make_unique<TemporaryFile>(temporaryPathFor(outputDestination(target)) + extension);
    written = temporary->path();
    std::remove(written.c_str());
    session.aliases = {{written, target}};
  }
  ofxhost::ParamValue path;
  path.str = written;
  const bool pressed = editParam(session, "exportPath", path, time, error) && pressButton(session, button, time, error);
  session.aliases.clear();
  if (!pressed) {
    error = "export to '" + target + "' failed: " + error;
    return false;
  }
  struct stat st;
  if (stat(written.c_str(), &st) != 0) {
    error = "export to '" + target + "' failed: the plug-in wrote no file";
    return false;
  }
  if (temporary) {
    if (!moveIntoPlace(written, target, error)) {
      error = "export to '" + target + "' failed: " + error;
      return false;
    }
    temporary->keep();
  }
  return true;
}

// Step 7: the plug-in's own .cube and .cdl exports of this frame's match, and the config that
// applies the .cube between the Source's space and the working space.
int exportLooks(Run& run, int frame, FrameRecord& record) {
  const auto start = Clock::now();
  const bool lastFrame = frame == run.range.last;
  const std::pair<const char*, std::string> exports[] = {{"exportButton", run.cube}, {"exportCDLButton", run.o.cdl}};
  for (const auto& [button, pattern] : exports) {
    if (pattern.empty() || !(lastFrame || isFramePattern(pattern))) continue;
    const std::string target = expandFrame(pattern, frame);
    const bool cube = std::string(button) == "exportButton";
    std::string error;
    if (!exportWith(run.session, button, cube ? ".cube" : ".cdl", target, run.time(frame), error))
      return reportError(kExitFailure, "frame " + std::to_string(frame) + ": " + error);
    if (!run.sequence) printNote("wrote " + target);
  }
  const std::string& config = run.o.ocioConfigOut;
  if (!config.empty() && (lastFrame || isFramePattern(config))) {
    const std::string target = expandFrame(config, frame);
    std::string error;
    if (!writeMatchConfig(target, run.colour, record.sourceSpace, run.workingSpace, record.outputSpace,
                          expandFrame(run.cube, frame), error))
      return reportError(kExitFailure, "frame " + std::to_string(frame) + ": --ocio-config-out: " + error);
    if (!run.sequence) printNote("wrote " + target);
  }
  record.timings.exports += secondsSince(start);
  return kExitOK;
}

// Step 8: the match quality over the pixels the masks select, and the sheet that shows it.
int measureFrame(Run& run, int frame, FrameRecord& record) {
  const bool sheetNow = !run.o.sheet.empty() && (frame == run.range.last || isFramePattern(run.o.sheet));
  if (!run.o.report && !sheetNow && run.o.reportJson.empty()) return kExitOK;
  const auto start = Clock::now();
  // Figures and sheet from linear Rec.709 whatever the working space, so that runs in
  // different spaces compare.
  std::string error;
  const Conversion* measure = toLinear(run, run.workingSpace);
  if (!measure && !run.figuresWarned) {
    run.figuresWarned = true;
    run.summary.warnings.push_back("no match figures: " + run.measureError);
    printWarning(run.summary.warnings.back());
  }
  // Only the pixels measured, and the sheet's panels once averaged down, are converted.
  const Image &source = run.source.image, &reference = run.reference.image, &output = run.output;
  if (measure)
    record.quality =
        measureMatch(run.sameFrame, source, reference, output, run.sourceMask.given() ? &run.sourceMask.image : nullptr,
                     run.referenceMask.given() ? &run.referenceMask.image : nullptr, measure);
  if (sheetNow) {
    const std::string sheetPath = expandFrame(run.o.sheet, frame);
    const std::vector<std::string> lines =
        record.quality ? describeQuality(*record.quality) : std::vector<std::string>{"No figures: " + run.measureError};
    // A held Reference (or Source) is averaged down once; the Output changes every frame.
    run.sheetPanels.versions[0] = run.source.version;
    run.sheetPanels.versions[1] = run.reference.version;
    run.sheetPanels.versions[2] = 0;
    if (!writeSheet(sheetPath, source, reference, output, lines, measure, run.threads, error, &run.sheetPanels))
      return reportError(kExitFailure, error);
    if (!run.sequence) printNote("wrote " + sheetPath);
  }
  record.timings.quality += secondsSince(start);
  return kExitOK;
}

// "Learnt from frames 1001-1024 (24 frames)", with the frames missing on disk that were left out.
std::string learntLine(const FrameRecord& record) {
  const size_t n = record.learntFrom.size();
  std::string line = n == 0 ? "Learnt from no frame: the Output is the Source as it is"
                            : "Learnt from frame" + std::string(n == 1 ? " " : "s ") + frameList(record.learntFrom) +
                                  (n > 1 ? " (" + std::to_string(n) + " frames)" : "");
  if (!record.leftOut.empty()) line += "; missing on disk, left out: " + frameList(record.leftOut);
  return line;
}

// Step 9: --report lines on standard output and the progress of the shot.
void printFrame(Run& run, int frame, const FrameRecord& record) {
  if (run.o.report) {
    std::string why;
    if (record.workingSpaceFrom != "option") {
      char share[32];
      std::snprintf(share, sizeof share, "%.2f%%", 100.0 * record.aboveOneShare);
      why = record.workingSpaceFrom == "default, Source above 1"
                ? std::string("the default for a Source with ") + share +
                      " of its pixels above 1 in linear light: the narrowest for highlights that holds them; "
            : record.workingSpaceFrom == "default, Source within 1"
                ? std::string("the default for a Source within 1 in linear light; ")
                : std::string("the default; ");
    }
    std::vector<std::string> lines = {"Colour: Source in " + record.sourceSpace + ", Reference in " +
                                      record.referenceSpace + ", matched in " + run.workingSpace + " (" + why +
                                      "what the .cube expects), Output in " + record.outputSpace};
    if (run.sequence) lines.push_back(learntLine(record));
    if (record.quality)
      for (const std::string& line : describeQuality(*record.quality)) lines.push_back(line);
    for (const std::string& line : lines) {
      if (run.sequence)
        std::printf("frame %d: %s\n", frame, line.c_str());
      else
        std::printf("%s\n", line.c_str());
    }
    std::fflush(stdout);
  }
  if (run.sequence && verbosity() != Verbosity::Quiet) reportFrame(run.progress, frame);
}

void printTimings(const Timings& t, double total, int frames) {
  const double other = std::max(0.0, total - t.decode - t.rebuild - t.apply - t.encode - t.exports - t.quality);
  auto share = [total](double v) { return total > 0 ? 100.0 * v / total : 0.0; };
  std::fprintf(stderr,
               "vantrel: timings for %d frame%s in %.3f s (%.2f fps): decode %.3f s (%.1f%%), rebuild %.3f s "
               "(%.1f%%), apply %.3f s (%.1f%%), encode %.3f s (%.1f%%), exports %.3f s (%.1f%%), quality "
               "%.3f s (%.1f%%), other %.3f s (%.1f%%)\n",
               frames, frames == 1 ? "" : "s", total, total > 0 ? frames / total : 0.0, t.decode, share(t.decode),
               t.rebuild, share(t.rebuild), t.apply, share(t.apply), t.encode, share(t.encode), t.exports,
               share(t.exports), t.quality, share(t.quality), other, share(other));
}

// One frame through every step; a signal stops it between steps.
int runFrame(Run& run, int frame, FrameRecord& record) {
  using Step = int (*)(Run&, int, FrameRecord&);
  const Step steps[] = {loadInputs,  lookForSurprises, renderOutput,

                        writeOutput, exportLooks,      measureFrame};
  for (Step step : steps) {
    if (interruptSignal()) return kExitOK;
    if (const int status = step(run, frame, record)) return status;
  }
  return kExitOK;
}

// Step 10: the end of the run, however it ended: the summary, --timings and --report-json.
int finishRun(Run& run, int status, Clock::time_point started) {
  RunSummary& summary = run.summary;
  summary.seconds = secondsSince(started);
  int rendered = 0;
  Timings total;
  for (const FrameRecord& f : summary.frames)
    if (f.written) {
      ++rendered;
      total.add(f.timings);
    }
  if (const int signal = interruptSignal()) {
    status = 128 + signal;
    summary.status = "interrupted";
    std::vector<int> written;
    for (const FrameRecord& f : summary.frames)
      if (f.written) written.push_back(f.frame);
    summary.error = std::string("interrupted by ") + signalName(signal) + ": " +
                    (written.empty() ? "no frame was written" : "frames written: " + frameList(written)) +
                    "; no temporary file is left";
    reportError(status, summary.error);
  } else if (status != kExitOK) {
    summary.status = "failed";
  }
  summary.exitStatus = status;
  if (run.reader) summary.filesRead += run.reader->reads();
  if (run.sequence && verbosity() != Verbosity::Quiet && status == kExitOK) finishProgress(run.progress);
  if (run.o.timings) printTimings(total, summary.seconds, rendered);
  if (!run.o.reportJson.empty()) {
    std::string error;
    if (!writeRunReport(run.o.reportJson, run.o, summary, error)) {
      reportError(kExitFailure, "--report-json: " + error);
      if (status == kExitOK) status = kExitFailure;
    }
  }
  // A .cube is only right in the space it was made in: say which, last, where it is seen.
  if (status == kExitOK && !run.cube.empty() && rendered > 0)
    printNote(run.cube + " maps " + run.workingSpace + " values: apply it between conversions into and out of " +
              run.workingSpace +
              (run.o.ocioConfigOut.empty() ? " (--ocio-config-out writes a config that does)"
                                           : ", as " + run.o.ocioConfigOut + " does"));
  return status;
}

}  // namespace

const char* defaultWorkingSpace(bool sameFrame) { return sameFrame ? kHeadroom : kLinearRec709; }

std::vector<HighlightSpace> highlightWorkingSpaces(bool sameFrame, bool fitted) {
  std::vector<HighlightSpace> spaces;
  for (const int top : kHighlightTops)
    if (!(sameFrame && fitted && top < 16)) spaces.push_back({highlightSpace(sameFrame, top), float(top)});
  return spaces;
}

int reportError(int status, const std::string& message) {
  lastError = message;
  std::fprintf(stderr, "%svantrel: error: %s\n", lineStart(), message.c_str());
  return status;
}

int runMatch(const MatchOptions& o) {
  Run run(o);
  if (const int status = planRun(run)) return status;
  const auto started = Clock::now();
  struct Closer {
    PluginSession& s;
    ~Closer() { closeSession(s); }
  } closer{run.session};

  int status = run.frames.empty() ? kExitOK : openPlugin(run);
  for (int frame : run.skipped) {
    FrameRecord record;
    record.frame = frame;
    record.skipped = true;
    record.output = expandFrame(o.output, frame);
    run.summary.frames.push_back(record);
  }
  run.progress = startProgress(int(run.frames.size()), stderr, errorIsTerminal());
  for (size_t i = 0; i < run.frames.size() && status == kExitOK && !interruptSignal(); ++i) {
    const int frame = run.frames[i];
    FrameRecord record;
    record.frame = frame;
    status = runFrame(run, frame, record);
    if (status != kExitOK) record.error = lastError;
    if (status != kExitOK || interruptSignal()) {
      run.summary.frames.push_back(record);
      break;
    }
    printFrame(run, frame, record);
    run.summary.frames.push_back(record);
  }
  if (status != kExitOK) run.summary.error = lastError;
  std::sort(run.summary.frames.begin(), run.summary.frames.end(),
            [](const FrameRecord& a, const FrameRecord& b) { return a.frame < b.frame; });
  return finishRun(run, status, started);
}

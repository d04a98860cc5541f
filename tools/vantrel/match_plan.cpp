// `vantrel match`, step 1: the frames to render and everything that can be checked before the
// first render (the command, the colour spaces, the outputs' targets and writers, the inputs,
// the shot and its working space), so that a bad command writes nothing.
#include "match_run.h"

#include "imaging/frame_checks.h"
#include "imaging/safe_file.h"
#include "support/paths.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <thread>

namespace fs = std::filesystem;

namespace {

using NamedPath = std::pair<const char*, std::string>;

// Whether anything is at the path, a dangling link included.
bool occupied(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
}

bool sameFile(const std::string& a, const std::string& b) {
  std::error_code ec;
  return fs::equivalent(a, b, ec);
}

// Every output pattern of the run, by the name messages give it.
std::vector<NamedPath> outputsOf(const Run& run) {
  const MatchOptions& o = run.o;
  return {{"OUTPUT", o.output},
          {o.cube.empty() ? "--ocio-config-out's .cube" : "--cube", run.cube},
          {"--cdl", o.cdl},
          {"--sheet", o.sheet},
          {"--ocio-config-out", o.ocioConfigOut}};
}

// Where the config out finds its LUT when --cube is not given: beside it, as NAME.cube.
std::string cubeBeside(const std::string& config) { return fs::path(config).replace_extension(".cube").string(); }

// The files a frame writes: OUTPUT and the exports and sheet with a placeholder at every frame,
// those without one after the last frame of the range.
std::vector<NamedPath> frameOutputs(const Run& run, int frame) {
  std::vector<NamedPath> paths;
  for (const auto& [name, pattern] : outputsOf(run))
    if (!pattern.empty() && (isFramePattern(pattern) || frame == run.range.last))
      paths.push_back({name, expandFrame(pattern, frame)});
  return paths;
}

// Placeholders only where a sequence has them, and file names where files are written.
Status checkPatterns(const Run& run) {
  const MatchOptions& o = run.o;
  const NamedPath patterned[] = {{"SOURCE", o.source},
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
      return fail(kExitUsage,
                  std::string(name) + " '" + path + "' is a frame pattern: give the frames with --frames A-B");
  if (run.sequence && !isFramePattern(o.output))
    return fail(kExitUsage,
                "--frames: OUTPUT '" + o.output + "' must be a frame pattern such as out.%04d.exr or out.####.exr");
  if (isFramePattern(o.reportJson))
    return fail(kExitUsage,
                "--report-json '" + o.reportJson + "' is one file for the whole run: give it no frame placeholder");
  for (const auto& [name, path] : {NamedPath{"--cube", o.cube},
                                   {"--cdl", o.cdl},
                                   {"--report-json", o.reportJson},
                                   {"--ocio-config-out", o.ocioConfigOut}})
    if (!path.empty() && (path.back() == '/' || path.back() == '\\'))
      return fail(kExitUsage, std::string(name) + " '" + path + "': give a file name, not a directory");
  if (isFramePattern(o.ocioConfigOut) && !isFramePattern(run.cube))
    return fail(kExitUsage, "--ocio-config-out '" + o.ocioConfigOut +
                                "' has a frame placeholder: so must "
                                "--cube, so that each frame's config applies that frame's LUT");
  return {};
}

// Checks the command as a whole, before any file is looked at: placeholders, file names, and the
// analysis options that go with the choice.
Status checkCommand(const Run& run) {
  if (Status status = checkPatterns(run); status.failed()) return status;
  const MatchOptions& o = run.o;
  const std::pair<bool, const char*> analysisOptions[] = {
      {o.keyFrame && o.analysis != "key", "--key-frame goes with --analysis key"},
      {!o.analysisFrames.empty() && o.analysis != "range", "--analysis-frames goes with --analysis range"},
      {o.windowRadius && o.analysis != "window", "--window-radius goes with --analysis window"},
      {o.frameStep && o.analysis != "range" && o.analysis != "window",
       "--frame-step goes with --analysis range or window"}};
  for (const auto& [wrong, message] : analysisOptions)
    if (wrong) return fail(kExitUsage, message);
  if (!o.ocioConfigOut.empty() && run.cube == o.ocioConfigOut)
    return fail(kExitUsage, "--ocio-config-out '" + o.ocioConfigOut +
                                "' would overwrite its own .cube: "
                                "give --cube another name");
  return {};
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

// Without --working-space: the mode's space for a Source within 1, and those of the spaces for
// highlights that the config has (without any, highlights are matched in the first, which clips
// them and says so).
Status planDefaultSpaces(Run& run) {
  const char* fallback = defaultWorkingSpace(run.sameFrame);
  run.withinOne = resolveSpace(run.colour, fallback);
  if (run.withinOne.empty())
    return fail(kExitUsage, std::string("the ") + run.colour.origin + " config has no '" + fallback +
                                "', the working space of " + (run.sameFrame ? "Same Frame" : "Different Clips") +
                                ": give --working-space (it has " + spaceList(run.colour) + ")");
  run.levels = {1.0f};
  for (const HighlightSpace& candidate : highlightWorkingSpaces(run.sameFrame, run.o.fit != "cells")) {
    const std::string space = resolveSpace(run.colour, candidate.name);
    if (!space.empty() && candidate.top > run.levels.back()) {
      run.forHighlights.push_back(space);
      run.levels.push_back(candidate.top);
    }
  }
  return {};
}

// The config and the spaces the options name, each checked before anything is read.
Status planColour(Run& run) {
  const MatchOptions& o = run.o;
  std::string error;
  if (!loadColourConfig(o.config, std::getenv("OCIO"), run.colour, error)) return fail(kExitFailure, error);
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
      return fail(kExitUsage, std::string(named[i].first) + ": the " + run.colour.origin +
                                  " config has no colour space '" + name + "' (it has " + spaceList(run.colour) + ")");
  }
  run.workingOption = run.workingSpace;
  if (run.workingOption.empty())
    if (Status status = planDefaultSpaces(run); status.failed()) return status;
  run.summary.workingSpace = run.workingOption;
  return {};
}

// The writers the outputs need, checked once their targets are known to be files.
Status checkFormats(const Run& run) {
  const MatchOptions& o = run.o;
  const std::string format = outputFormatFor(expandFrame(o.output, run.range.first));
  if (format.empty()) return fail(kExitUsage, "OUTPUT '" + o.output + "': no image writer for this file type");
  if (o.depth != SampleDepth::Unknown && !formatStoresDepth(format, o.depth))
    return fail(kExitUsage,
                std::string("--depth: ") + format + " files cannot hold " + depthName(o.depth) + " samples");
  if (!o.sheet.empty() && outputFormatFor(expandFrame(o.sheet, run.range.first)).empty())
    return fail(kExitUsage, "--sheet '" + o.sheet + "': no image writer for this file type");
  return {};
}

// Every output of every frame goes to a regular file or a new path in a writable directory,
// and none is an input.
Status checkTargets(const Run& run, std::vector<NamedPath> targets) {
  if (!run.o.reportJson.empty()) targets.push_back({"--report-json", run.o.reportJson});
  std::set<std::string> checkedDirectories;
  for (const auto& [name, path] : targets) {
    const std::string dir = folderOf(path);
    if (checkedDirectories.insert(dir).second) {
      std::error_code ec;
      if (!fs::is_directory(dir, ec))
        return fail(kExitFailure, std::string(name) + " '" + path + "': directory '" + dir + "' does not exist");
      if (access(dir.c_str(), W_OK) != 0)
        return fail(kExitFailure, std::string(name) + " '" + path + "': directory '" + dir + "' is not writable");
    }
    const std::string refused = refusedTarget(path);
    if (!refused.empty())
      return fail(kExitFailure,
                  std::string(name) + " '" + path + "' " + refused + ": outputs go only to regular files or new paths");
  }
  return {};
}

Status checkInputs(Run& run) {
  for (int frame : run.frames) {
    for (ClipInput* in : run.inputs()) {
      if (!in->given() || (frame != run.frames.front() && !isFramePattern(in->pattern))) continue;
      const std::string path = expandFrame(in->pattern, frame);
      std::error_code ec;
      const fs::file_status st = fs::status(path, ec);
      if (!fs::exists(st)) return fail(kExitFailure, std::string(in->role) + " '" + path + "' does not exist");
      if (!fs::is_regular_file(st)) return fail(kExitFailure, std::string(in->role) + " '" + path + "' is not a file");
      for (const auto& [name, target] : frameOutputs(run, frame))
        if (sameFile(target, path))
          return fail(kExitUsage, std::string(name) + " '" + target + "' would overwrite " + in->role);
    }
  }
  return {};
}

// The frames to render, those --skip-existing finds done, and the targets they write.
Status planFrames(Run& run) {
  std::vector<NamedPath> targets;
  for (int frame = run.range.first; frame <= run.range.last; ++frame) {
    const auto outputs = frameOutputs(run, frame);
    bool done = run.o.skipExisting;
    for (const auto& output : outputs) {
      targets.push_back(output);
      done = done && occupied(output.second);
    }
    (done ? run.skipped : run.frames).push_back(frame);
  }
  return checkTargets(run, targets);
}

// The files of the shot outside --frames, named once. They are a warning when some lie apart
// (a run of files further from the frames asked for than it is long: a stray file, which moves
// the shot's ends) and the match learns from the shot's frames; a note otherwise (the rest of a
// shot split into jobs, with the frames it may miss).
void nameShotFiles(Run& run, const ClipInput& in, const std::vector<int>& onDisk) {
  std::vector<int> outside;
  bool apart = false;
  // Outward from --frames on each side, run by run, each with the missing frames before it.
  for (const int side : {-1, 1}) {
    int edge = side < 0 ? run.range.first : run.range.last;  // the last frame of the shot so far
    bool strayed = false;
    std::vector<int> frames;
    for (int f : onDisk)
      if (side < 0 ? f < run.range.first : f > run.range.last) frames.push_back(f);
    if (side < 0) std::reverse(frames.begin(), frames.end());
    for (size_t i = 0; i < frames.size();) {
      size_t j = i;
      while (j + 1 < frames.size() && std::abs(frames[j + 1] - frames[j]) == 1) ++j;
      const int gap = std::abs(frames[i] - edge) - 1, length = int(j - i + 1);
      strayed = strayed || gap > length;
      edge = frames[j];
      i = j + 1;
    }
    apart = apart || strayed;
    outside.insert(outside.end(), frames.begin(), frames.end());
  }
  if (outside.empty()) return;
  std::sort(outside.begin(), outside.end());
  const std::string text = std::string(in.role) + " '" + in.pattern + "': the shot is its files on disk, frames " +
                           std::to_string(run.shot.first) + "-" + std::to_string(run.shot.last) +
                           "; outside --frames " + run.o.frames + " these join it: " + frameList(outside);
  if (apart && run.o.analysis != "current")
    run.warn(text +
             " (some lie apart, beyond more missing frames than they are: a stray file moves the shot's ends, "
             "and --analysis " +
             run.o.analysis + " learns from the shot)");
  else
    printNote(text);
}

// The shot's frames and the reader of its sequences.
void planShot(Run& run) {
  run.shot = run.sequence ? FrameRange{run.range.first, run.range.first} : FrameRange{0, 0};
  for (const ClipInput* in : {&run.source, &run.reference}) {
    if (!run.sequence || !isFramePattern(in->pattern)) continue;
    const std::vector<int> onDisk = framesOnDisk(in->pattern, run.range);
    run.shotInput = in;
    if (!onDisk.empty()) run.shot = FrameRange{onDisk.front(), onDisk.back()};
    nameShotFiles(run, *in, onDisk);
    break;
  }
  run.summary.shot = run.shot;
  const size_t budget = run.o.frameCacheMB > 0 ? size_t(run.o.frameCacheMB * 1048576.0) : defaultFrameBudget();
  run.reader = std::make_unique<FrameReader>(
      budget,
      [&run](int input, int frame, ShotFrame& out, std::vector<std::string>& warnings, std::string& error) {
        const Status status = readInput(run, *run.inputs()[size_t(input)], frame, out, warnings);
        error = status.error;
        return !status.failed();
      },
      [&run](int input, int frame, PixelRect& out, std::string& error) {
        return readCanvasBounds(expandFrame(run.inputs()[size_t(input)]->pattern, frame), out, error);
      });
}

// "the shot (frames 1001-1024 of SOURCE on disk)"
std::string shotText(const Run& run) {
  return "the shot (frames " + std::to_string(run.shot.first) + "-" + std::to_string(run.shot.last) + " of " +
         (run.shotInput ? run.shotInput->role : "SOURCE") + " on disk)";
}

// The frame of the shot the plug-in takes for `frame`: itself, or the shot's nearest end.
int withinShot(const Run& run, int frame) { return std::clamp(frame, run.shot.first, run.shot.last); }

// What the analysis options ask of the shot, as the plug-in takes them: a key frame outside it
// is its nearest end; of a range, only the frames within it count, and a range with none leaves
// nothing to learn from.
Status planAnalysis(Run& run) {
  const MatchOptions& o = run.o;
  if (!run.sequence) return {};
  if (o.analysis == "key" && o.keyFrame && withinShot(run, *o.keyFrame) != *o.keyFrame)
    run.warn("--key-frame " + std::to_string(*o.keyFrame) + " lies outside " + shotText(run) +
             ": the match is learnt from frame " + std::to_string(withinShot(run, *o.keyFrame)) + ", its nearest end");
  if (o.analysis == "range" && !o.analysisFrames.empty()) {
    const FrameRange& asked = run.analysisFrames;
    const int first = std::max(asked.first, run.shot.first), last = std::min(asked.last, run.shot.last);
    if (first > last)
      return fail(kExitFailure, "--analysis-frames " + o.analysisFrames + ": none of these frames lies in " +
                                    shotText(run) + ", so the match has nothing to learn from; nothing was written");
    if (first != asked.first || last != asked.last)
      run.warn("--analysis-frames " + o.analysisFrames + ": only frames " + std::to_string(first) + "-" +
               std::to_string(last) + " lie in " + shotText(run) + "; the match is learnt from those");
  }
  return {};
}

// Under the Analysis choices that pool frames, every build learns from frames in one working
// space: without --working-space, the default for the Source at the shot's anchor frame (the key
// frame, the first of --analysis-frames, else the shot's first), held for the whole shot, so that
// a split shot matches as one run does.
Status planShotSpace(Run& run) {
  const MatchOptions& o = run.o;
  run.spacePerFrame = run.workingOption.empty() && o.analysis == "current";
  if (!run.workingOption.empty() || run.spacePerFrame) return {};
  int anchor = o.analysis == "key" && o.keyFrame                    ? withinShot(run, *o.keyFrame)
               : o.analysis == "range" && !o.analysisFrames.empty() ? withinShot(run, run.analysisFrames.first)
                                                                    : run.shot.first;
  if (isFramePattern(run.source.pattern) && !frameComplete(run, anchor)) anchor = run.shot.first;
  ShotFrame file;
  std::vector<std::string> warnings;
  if (Status status = readInput(run, run.source, anchor, file, warnings, false); status.failed()) return status;
  for (const std::string& warning : warnings) run.warn(warning);
  run.anchorAbove = file.above;
  run.workingSpace = run.summary.workingSpace = defaultSpaceFor(run, file.above);
  return {};
}

// What the options leave unsaid of the run, and what they say that plays no part.
void planSettings(Run& run) {
  const MatchOptions& o = run.o;
  if (!run.skipped.empty())
    printNote("--skip-existing: " + std::to_string(run.skipped.size()) + " of " + std::to_string(run.range.count()) +
              " frames have their outputs, skipped: " + frameList(run.skipped));
  run.threads = o.threads > 0 ? o.threads : int(std::max(1u, std::thread::hardware_concurrency()));
  run.writeSettings.depth = o.depth;
  run.writeSettings.software = std::string("vantrel ") + toolVersion();
  if (!run.sameFrame && !o.fit.empty())
    run.warn("--fit plays no part in Different Clips mode (it chooses Same Frame's learner)");
  if (run.sameFrame && !o.dcLearner.empty())
    run.warn("--dc-learner plays no part in Same Frame mode (it chooses Different Clips' learner)");
  if (run.sameFrame && (run.sourceMask.given() || run.referenceMask.given()))
    run.warn(
        "the masks play no part in Same Frame mode (they weight the Different "
        "Clips statistics only); --report and the sheet still measure the pixels "
        "they select");
}

}  // namespace

Status planRun(Run& run) {
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
  if (run.sequence && !parseFrameRange(o.frames, run.range, error)) return fail(kExitUsage, error);
  if (!o.analysisFrames.empty() && !parseFrameRange(o.analysisFrames, run.analysisFrames, error, "--analysis-frames"))
    return fail(kExitUsage, error);
  Status status = checkCommand(run);
  if (!status.failed()) status = planColour(run);
  if (!status.failed()) status = planFrames(run);
  if (!status.failed()) status = checkFormats(run);
  if (!status.failed()) status = checkInputs(run);
  if (status.failed()) return status;
  planShot(run);
  if (status = planAnalysis(run); status.failed()) return status;
  if (status = planShotSpace(run); status.failed()) return status;
  planSettings(run);
  return {};
}

Status checkLearntFrames(Run& run) {
  if (!run.sequence) return {};
  for (int frame : run.frames) {
    const ofxhost::FramesNeeded needed = run.session.host->framesNeeded(run.session.instance, run.time(frame));
    const auto reference = needed.ranges.find("Reference");
    if (reference == needed.ranges.end()) continue;
    std::vector<int> asked;
    bool any = false;
    for (const OfxRangeD& range : reference->second)
      for (double t = std::ceil(range.min); t <= range.max; t += 1.0) {
        asked.push_back(int(t));
        any = any || frameComplete(run, int(t));
      }
    if (!any)
      return fail(kExitFailure, run.at(frame) + "the match would be learnt from " +
                                    (asked.empty() ? std::string("no frame")
                                                   : "frame" + std::string(asked.size() > 1 ? "s " : " ") +
                                                         frameList(asked) + ", missing on disk") +
                                    " (a frame needs the file of every sequence), so it has nothing to learn from; "
                                    "nothing was written");
  }
  return {};
}

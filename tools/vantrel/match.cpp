// `vantrel match`, the run: the plug-in set up once, every frame through its steps
// (match_frame.cpp), the report of each frame as it is done, and the end of the run however it
// ends: the summary, --timings and --report-json.
#include "match_run.h"

#include "interrupt.h"

#include "session/settings.h"
#include "support/stopwatch.h"

#include <algorithm>
#include <cstdio>

namespace {

// Only what differs from the instance's current values is edited, as a user would.
bool editChanged(PluginSession& session, const char* name, const ofxhost::ParamValue& value, std::string& error) {
  const auto current = session.host->paramValue(session.instance, name);
  return (current && *current == value) || editParam(session, name, value, 0.0, error);
}

// The match's settings, from the table of lib/session. The plug-in's "Same Frame Fit" and
// "Different Clips Learner": the tool learns Same Frame with the fitted lattice and Different
// Clips from matching content unless told otherwise (docs/colour.md has the measurements).
bool applySettings(PluginSession& session, const MatchOptions& o, std::string& error) {
  const std::pair<const ParamWord&, std::optional<double>> mixes[] = {
      {kMix, o.mix}, {kMixRed, o.mixR}, {kMixGreen, o.mixG}, {kMixBlue, o.mixB}};
  for (const auto& [word, value] : mixes)
    if (value && !editChanged(session, word.param, numberValue(*value), error)) return false;
  if (!editChanged(session, kMatchMode.param, choiceValue(kMatchMode, o.mode), error) ||
      !editChanged(session, kPreserve.param, choiceValue(kPreserve, o.preserve), error))
    return false;
  if (o.mode == "same") {
    const std::string& fit = o.fit.empty() ? fallbackChoice(kSameFrameFit) : o.fit;
    return editChanged(session, kSameFrameFit.param, choiceValue(kSameFrameFit, fit), error);
  }
  // A plug-in without the choice has only the statistics: what "statistics" asks, and what a
  // user who asked for nothing gets from it.
  const std::string& learner = o.dcLearner.empty() ? fallbackChoice(kDcLearner) : o.dcLearner;
  if (!session.host->paramValue(session.instance, kDcLearner.param) &&
      (o.dcLearner.empty() || learner == kDcLearner.choices[0]))
    return true;
  return editChanged(session, kDcLearner.param, choiceValue(kDcLearner, learner), error);
}

// The analysis settings, edited as a user would; the key frame is the shot's first unless given.
bool applyAnalysis(Run& run, std::string& error) {
  const MatchOptions& o = run.o;
  const ofxhost::ParamValue mode = choiceValue(kAnalysis, o.analysis);
  std::vector<std::pair<const ParamWord*, ofxhost::ParamValue>> settings = {{&kAnalysis, mode}};
  if (o.analysis == "key") settings.push_back({&kKeyFrame, integerValue({o.keyFrame.value_or(run.shot.first)})});
  if (!o.analysisFrames.empty())
    settings.push_back({&kFrameRange, integerValue({run.analysisFrames.first, run.analysisFrames.last})});
  if (o.windowRadius) settings.push_back({&kWindowRadius, integerValue({*o.windowRadius})});
  if (o.frameStep) settings.push_back({&kFrameStep, integerValue({*o.frameStep})});
  for (const auto& [word, value] : settings) {
    // A plug-in without the choice learns from each frame, which is what "current" asks.
    if (!run.session.host->paramValue(run.session.instance, word->param) && mode.ints[0] == 0) continue;
    if (!editChanged(run.session, word->param, value, error)) return false;
  }
  return true;
}

// The --param settings the tool has no option for, read by the instance's own definitions and
// edited last, so that they win over the options.
Status applyPluginParams(PluginSession& session, const MatchOptions& o) {
  for (const auto& [name, text] : o.pluginParams) {
    const ofxhost::Param* param = session.instance->params.find(name);
    if (!param) return fail(kExitUsage, "--param " + name + ": the plug-in has no parameter '" + name + "'");
    ofxhost::ParamValue value;
    std::string error;
    if (!parsePluginParamText(*param, text, value, error)) return fail(kExitUsage, "--param " + name + ": " + error);
    if (!editChanged(session, name.c_str(), value, error)) return fail(kExitFailure, error);
  }
  return {};
}

// Step 1 (after planning): the plug-in, loaded and set up once for the whole run.
Status openPlugin(Run& run) {
  std::string path;
  if (Status status = locatePlugin(run.o.plugin, path); status.failed()) return status;
  run.summary.pluginPath = path;
  std::string error;
  const MessageSink keep = [&run](const ofxhost::Message& message) { run.pluginMessage(message); };
  const bool opened = openSession(run.session, path, true, keep, error) && applySettings(run.session, run.o, error) &&
                      applyAnalysis(run, error);
  for (std::string& message : run.takePluginMessages()) run.summary.warnings.push_back(std::move(message));
  if (!opened) return fail(kExitFailure, error);
  if (Status status = applyPluginParams(run.session, run.o); status.failed()) return status;
  serveSequences(run);
  const OfxPlugin* record = run.session.host->plugin();
  run.summary.pluginIdentifier = record->pluginIdentifier ? record->pluginIdentifier : "";
  run.summary.pluginVersion =
      std::to_string(record->pluginVersionMajor) + "." + std::to_string(record->pluginVersionMinor);
  return checkLearntFrames(run);
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

// "Colour: Source in ..., matched in ... (why), Output in ...": the spaces of the frame.
std::string colourLine(const Run& run, const FrameRecord& record) {
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
  return "Colour: Source in " + record.sourceSpace + ", Reference in " + record.referenceSpace + ", matched in " +
         run.workingSpace + " (" + why + "what the .cube expects), Output in " + record.outputSpace;
}

// --report lines on standard output and the progress of the shot.
void printFrame(Run& run, int frame, const FrameRecord& record) {
  if (run.o.report) {
    std::vector<std::string> lines = {colourLine(run, record)};
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

// How the run ended: "done", "failed", or "interrupted" (said now, with the frames written).
int settleStatus(RunSummary& summary, int status) {
  if (const int signal = interruptSignal()) {
    status = 128 + signal;
    summary.status = "interrupted";
    std::vector<int> written;
    for (const FrameRecord& f : summary.frames)
      if (f.written) written.push_back(f.frame);
    summary.error = std::string("interrupted by ") + signalName(signal) + ": " +
                    (written.empty() ? "no frame was written" : "frames written: " + frameList(written)) +
                    "; no temporary file is left";
    printError(summary.error);
  } else if (status != kExitOK) {
    summary.status = "failed";
  }
  summary.exitStatus = status;
  return status;
}

// The end of the run, however it ended: the summary, --timings and --report-json.
int finishRun(Run& run, int status, SteadyClock::time_point started) {
  RunSummary& summary = run.summary;
  summary.seconds = secondsSince(started);
  int rendered = 0;
  Timings total;
  for (const FrameRecord& f : summary.frames)
    if (f.written) {
      ++rendered;
      total.add(f.timings);
    }
  status = settleStatus(summary, status);
  if (run.reader) summary.filesRead += run.reader->reads();
  if (run.sequence && verbosity() != Verbosity::Quiet && status == kExitOK) finishProgress(run.progress);
  if (run.o.timings) printTimings(total, summary.seconds, rendered);
  if (!run.o.reportJson.empty()) {
    std::string error;
    if (!writeRunReport(run.o.reportJson, run.o, summary, error)) {
      printError("--report-json: " + error);
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

// Every frame to render, in order, until one fails or a signal stops the run.
Status renderFrames(Run& run) {
  for (size_t i = 0; i < run.frames.size() && !interruptSignal(); ++i) {
    const int frame = run.frames[i];
    FrameRecord record;
    record.frame = frame;
    const Status status = runFrame(run, frame, record);
    for (const std::string& message : run.takePluginMessages()) record.warnings.push_back(run.at(frame) + message);
    if (status.failed()) {
      printError(status.error);
      record.error = status.error;
    }
    if (status.failed() || interruptSignal()) {
      run.summary.frames.push_back(record);
      return status;
    }
    printFrame(run, frame, record);
    run.summary.frames.push_back(record);
  }
  return {};
}

}  // namespace

int reportError(const Status& status) {
  printError(status.error);
  return status.exit;
}

int runMatch(const MatchOptions& o) {
  Run run(o);
  if (Status status = planRun(run); status.failed()) return reportError(status);
  const auto started = SteadyClock::now();
  struct Closer {
    PluginSession& s;
    ~Closer() { closeSession(s); }
  } closer{run.session};

  Status status;
  if (!run.frames.empty()) status = openPlugin(run);
  if (status.failed()) printError(status.error);
  for (int frame : run.skipped) {
    FrameRecord record;
    record.frame = frame;
    record.skipped = true;
    record.output = expandFrame(o.output, frame);
    run.summary.frames.push_back(record);
  }
  run.progress = startProgress(int(run.frames.size()), stderr, errorIsTerminal());
  if (!status.failed()) status = renderFrames(run);
  if (status.failed()) run.summary.error = status.error;
  std::sort(run.summary.frames.begin(), run.summary.frames.end(),
            [](const FrameRecord& a, const FrameRecord& b) { return a.frame < b.frame; });
  return finishRun(run, status.exit, started);
}

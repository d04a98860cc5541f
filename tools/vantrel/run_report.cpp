// The JSON report of `vantrel match`: the settings, every frame's figures, warnings and timings.
#include "match_run.h"

#include "imaging/safe_file.h"
#include "session/settings.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>

using json = nlohmann::ordered_json;

namespace {

// JSON has no NaN: a figure that could not be measured is null.
json number(double v) { return std::isfinite(v) ? json(v) : json(nullptr); }

json timingsJson(const Timings& t) {
  return {{"decode", number(t.decode)}, {"rebuild", number(t.rebuild)}, {"apply", number(t.apply)},
          {"encode", number(t.encode)}, {"exports", number(t.exports)}, {"quality", number(t.quality)}};
}

json qualityJson(const MatchQuality& q) {
  auto sample = [](const SampleSize& s) { return json{{"pixels", s.measured}, {"of", s.of}}; };
  // The pixels measured: every pixel of a picture of up to `limit`, else a fixed sample of
  // about `limit` spread over it.
  json out = {
      {"masked", q.masked},
      {"sample",
       {{"limit", kFigureSamples}, {"source", sample(q.sourceSample)}, {"reference", sample(q.referenceSample)}}}};
  if (q.sameFrame) {
    auto pixels = [](const PixelDeltaE& p) {
      return json{{"mean", number(p.mean)}, {"p95", number(p.p95)}, {"pixels", p.count}};
    };
    out["measure"] = "dE2000 per pixel";
    out["overlap"] = {q.pixelsBefore.width, q.pixelsBefore.height};
    out["before"] = pixels(q.pixelsBefore);
    out["after"] = pixels(q.pixelsAfter);
  } else {
    auto spread = [](const SpreadDeltaE& s) {
      return json{{"mean_colour", number(s.meanColourDeltaE)},
                  {"spread", number(s.stdDevDistance)},
                  {"spread_lab",
                   {number(s.stdDevDifference[0]), number(s.stdDevDifference[1]), number(s.stdDevDifference[2])}}};
    };
    out["measure"] = "dE2000 of the mean colours, difference of the Lab standard deviations";
    out["before"] = spread(q.spreadBefore);
    out["after"] = spread(q.spreadAfter);
  }
  return out;
}

// The Analysis choice with the settings that play a part in it, as the plug-in was given them.
json analysisJson(const MatchOptions& o, const RunSummary& run) {
  json out = {{"mode", o.analysis}, {"shot", {run.shot.first, run.shot.last}}};
  if (o.analysis == "key") out["key_frame"] = o.keyFrame.value_or(run.shot.first);
  if (o.analysis == "range") {
    FrameRange frames = run.shot;
    std::string unused;
    if (!o.analysisFrames.empty()) parseFrameRange(o.analysisFrames, frames, unused);
    out["frames"] = {frames.first, frames.last};
  }
  if (o.analysis == "window") out["window_radius"] = o.windowRadius.value_or(int(kWindowRadius.fallback));
  if (o.analysis == "range" || o.analysis == "window")
    out["frame_step"] = o.frameStep.value_or(int(kFrameStep.fallback));
  return out;
}

json frameJson(const FrameRecord& f) {
  json out = {{"frame", f.frame}, {"skipped", f.skipped}, {"written", f.written}, {"output", f.output}};
  if (f.skipped) return out;
  out["source"] = f.source;
  out["reference"] = f.reference;
  out["colour_spaces"] = {{"source", f.sourceSpace},
                          {"source_from", f.sourceSpaceFrom},
                          {"reference", f.referenceSpace},
                          {"reference_from", f.referenceSpaceFrom},
                          {"output", f.outputSpace.empty() ? json(nullptr) : json(f.outputSpace)},
                          {"output_from", f.outputSpaceFrom.empty() ? json(nullptr) : json(f.outputSpaceFrom)}};
  out["working_space"] = f.workingSpace.empty() ? json(nullptr) : json(f.workingSpace);
  out["working_space_from"] = f.workingSpaceFrom.empty() ? json(nullptr) : json(f.workingSpaceFrom);
  out["above_one_share"] = number(f.aboveOneShare);
  out["quality"] = f.quality ? qualityJson(*f.quality) : json(nullptr);
  out["clipped_share"] = number(f.clippedShare);
  out["non_finite_share"] = {{"source", number(f.sourceNonFinite)}, {"reference", number(f.referenceNonFinite)}};
  out["learnt_from"] = f.learntFrom;
  out["left_out"] = f.leftOut;
  out["warnings"] = f.warnings;
  out["error"] = f.error.empty() ? json(nullptr) : json(f.error);
  out["timings"] = timingsJson(f.timings);
  return out;
}

}  // namespace

bool writeRunReport(const std::string& path, const MatchOptions& o, const RunSummary& run, std::string& error) {
  Timings total;
  int rendered = 0;
  json frames = json::array();
  for (const FrameRecord& f : run.frames) {
    frames.push_back(frameJson(f));
    if (f.written) {
      total.add(f.timings);
      ++rendered;
    }
  }
  json totals = timingsJson(total);
  totals["total"] = number(run.seconds);
  totals["frames_per_second"] = number(run.seconds > 0 ? rendered / run.seconds : 0.0);
  const json report = {
      {"tool", {{"name", "vantrel"}, {"version", toolVersion()}}},
      {"plugin", {{"file", run.pluginPath}, {"identifier", run.pluginIdentifier}, {"version", run.pluginVersion}}},
      {"status", run.status},
      {"exit_status", run.exitStatus},
      {"error", run.error.empty() ? json(nullptr) : json(run.error)},
      {"settings",
       {{"mode", o.mode == "same" ? "same frame" : "different clips"},
        {"preserve", o.preserve},
        {"fit", o.mode == "same" ? json(o.fit.empty() ? fallbackChoice(kSameFrameFit) : o.fit) : json(nullptr)},
        {"dc_learner",
         o.mode != "same" ? json(o.dcLearner.empty() ? fallbackChoice(kDcLearner) : o.dcLearner) : json(nullptr)},
        {"mix", o.mix.value_or(kMix.fallback)},
        {"mix_r", o.mixR.value_or(kMixRed.fallback)},
        {"mix_g", o.mixG.value_or(kMixGreen.fallback)},
        {"mix_b", o.mixB.value_or(kMixBlue.fallback)},
        {"colour_config", run.colourConfig.empty() ? json(nullptr) : json(run.colourConfig)},
        {"working_space", run.workingSpace.empty() ? json(nullptr) : json(run.workingSpace)},
        {"cube", run.cube.empty() ? json(nullptr) : json(run.cube)},
        {"ocio_config_out", o.ocioConfigOut.empty() ? json(nullptr) : json(o.ocioConfigOut)},
        {"source_mask", o.sourceMask.empty() ? json(nullptr) : json(o.sourceMask)},
        {"reference_mask", o.referenceMask.empty() ? json(nullptr) : json(o.referenceMask)},
        {"analysis", analysisJson(o, run)}}},
      {"warnings", run.warnings},
      {"frames", frames},
      {"files_read", run.filesRead},
      {"timings", totals}};

  // Invalid UTF-8 in a file name is replaced rather than failing the whole report.
  const std::string text = report.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
  return replaceFile(
      path,
      [&](const std::string& temporary, std::string& writeError) {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        if (out) return true;
        writeError = "cannot write '" + path + "': " + std::strerror(errno);
        return false;
      },
      error);
}

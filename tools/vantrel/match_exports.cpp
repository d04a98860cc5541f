// `vantrel match`, the last steps of each frame: the plug-in's own .cube and .cdl exports of the
// frame's match, the config that applies the .cube, and the figures and sheet that measure it.
#include "match_run.h"

#include "imaging/safe_file.h"
#include "support/paths.h"
#include "support/stopwatch.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

namespace {

// Presses one of the plug-in's export buttons with "Save To" at `written`.
bool pressExport(Run& run, const char* button, const std::string& written, double time, std::string& error) {
  ofxhost::ParamValue path;
  path.str = written;
  run.exporting = true;
  const bool pressed =
      editParam(run.session, "exportPath", path, time, error) && pressButton(run.session, button, time, error);
  run.exporting = false;
  return pressed;
}

// The plug-in replaces its files atomically itself, so a target with the extension the plug-in
// keeps is handed over as it stands (and the plug-in's message names it). Any other name is
// exported under a temporary one with that extension, moved into place, and the plug-in's
// message is shown with the target's name.
Status exportWith(Run& run, const char* button, const std::string& extension, const std::string& target, double time) {
  std::string error;
  if (endsWith(target, extension)) {
    if (!pressExport(run, button, target, time, error))
      return fail(kExitFailure, "export to '" + target + "' failed: " + error);
    std::error_code ec;
    if (!std::filesystem::exists(target, ec))
      return fail(kExitFailure, "export to '" + target + "' failed: the plug-in wrote no file");
    return {};
  }
  const bool written = replaceFile(
      target,
      [&](const std::string& temporary, std::string& pressError) {
        std::remove(temporary.c_str());
        run.aliases = {{temporary, target}};
        const bool pressed = pressExport(run, button, temporary, time, pressError);
        run.aliases.clear();
        if (!pressed) return false;
        std::error_code ec;
        if (std::filesystem::exists(temporary, ec)) return true;
        pressError = "the plug-in wrote no file";
        return false;
      },
      error, extension);
  if (!written) return fail(kExitFailure, "export to '" + target + "' failed: " + error);
  return {};
}

}  // namespace

// Step 6: the plug-in's own .cube and .cdl exports of this frame's match, and the config that
// applies the .cube between the Source's space and the working space.
Status exportLooks(Run& run, int frame, FrameRecord& record) {
  const auto start = SteadyClock::now();
  const bool lastFrame = frame == run.range.last;
  const std::pair<const char*, std::string> exports[] = {{"exportButton", run.cube}, {"exportCDLButton", run.o.cdl}};
  for (const auto& [button, pattern] : exports) {
    if (pattern.empty() || !(lastFrame || isFramePattern(pattern))) continue;
    const std::string target = expandFrame(pattern, frame);
    const bool cube = std::string(button) == "exportButton";
    if (Status status = exportWith(run, button, cube ? ".cube" : ".cdl", target, run.time(frame)); status.failed())
      return fail(status.exit, "frame " + std::to_string(frame) + ": " + status.error);
    if (!run.sequence) printNote("wrote " + target);
  }
  const std::string& config = run.o.ocioConfigOut;
  if (!config.empty() && (lastFrame || isFramePattern(config))) {
    const std::string target = expandFrame(config, frame);
    const MatchLook look{record.sourceSpace, run.workingSpace, record.outputSpace, expandFrame(run.cube, frame)};
    std::string error;
    if (!writeMatchConfig(target, run.colour, look, error))
      return fail(kExitFailure, "frame " + std::to_string(frame) + ": --ocio-config-out: " + error);
    if (!run.sequence) printNote("wrote " + target);
  }
  record.timings.exports += secondsSince(start);
  return {};
}

// Step 7: the match quality over the pixels the masks select, and the sheet that shows it.
Status measureFrame(Run& run, int frame, FrameRecord& record) {
  const bool sheetNow = !run.o.sheet.empty() && (frame == run.range.last || isFramePattern(run.o.sheet));
  if (!run.o.report && !sheetNow && run.o.reportJson.empty()) return {};
  const auto start = SteadyClock::now();
  // Figures and sheet from linear Rec.709 whatever the working space, so that runs in
  // different spaces compare.
  const Conversion* measure = toLinear(run, run.workingSpace);
  if (!measure && !run.figuresWarned) {
    run.figuresWarned = true;
    run.warn("no match figures: " + run.measureError);
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
    std::string error;
    if (!writeSheet(sheetPath, source, reference, output, lines, measure, run.threads, error, &run.sheetPanels))
      return fail(kExitFailure, error);
    if (!run.sequence) printNote("wrote " + sheetPath);
  }
  record.timings.quality += secondsSince(start);
  return {};
}

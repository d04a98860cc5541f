// `vantrel match`, the steps of each frame: load and attach the inputs, look for what would spoil
// the shot, render, write the Output; then the exports and the figures (match_exports.cpp).
#include "match_run.h"

#include "interrupt.h"

#include "support/stopwatch.h"

#include <algorithm>
#include <cstdio>

namespace {

std::string sizeText(const Image& image) { return std::to_string(image.width) + "x" + std::to_string(image.height); }

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
  if (!run.sameFrame && run.linearChecked.insert(space).second && !isLinearLight(run.colour, space))
    run.warn("Different Clips in " + space +
             ", which is not linear light: the plug-in's statistics read their input as "
             "linear light, so colours and highlights can come out far from the Reference "
             "(leave --working-space out, or give a linear space such as lin_rec709)");
}

// A sequence's frame, from the shot's reader, which also serves the plug-in the other frames it
// learns from, in the working space.
// `index`: the input's place in Run::inputs(), as the reader numbers them.
Status takeSequenceFrame(Run& run, int index, int frame, FrameRecord& record) {
  ClipInput& in = *run.inputs()[size_t(index)];
  std::string error;
  const std::shared_ptr<const ShotFrame> read = run.reader->frame(index, frame, error);
  if (!read) return fail(kExitFailure, error);
  in.image = read->image;
  in.path = read->path;
  in.space = read->space;
  in.spaceFrom = read->spaceFrom;
  in.imageSpace = read->workingSpace;
  in.nonFinite = read->nonFinite;
  in.above = read->above;
  in.fresh = true;
  in.version = ++run.imageVersions;
  if (&in == &run.source) chooseWorkingSpace(run, frame, record);
  if (!in.mask && in.imageSpace != run.workingSpace)
    return fail(kExitFailure, run.at(frame) + in.role + " '" + in.path + "' was read into " + in.imageSpace +
                                  ", not the frame's working space " + run.workingSpace);
  return {};
}

// A still: read once, kept as read, converted again when the working space changes, and attached
// whenever its picture changed.
Status takeStill(Run& run, ClipInput& in, int frame, FrameRecord& record) {
  if (!in.loaded) {
    const auto start = SteadyClock::now();
    ShotFrame still;
    if (Status status = readInput(run, in, frame, still, record.warnings, false); status.failed()) return status;
    in.image = std::move(still.image);
    in.path = still.path;
    in.space = still.space;
    in.spaceFrom = still.spaceFrom;
    in.imageSpace = still.space;
    in.nonFinite = still.nonFinite;
    in.above = std::move(still.above);
    if (!in.mask) in.file = in.image;
    in.loaded = in.fresh = true;
    ++run.summary.filesRead;
    record.timings.decode += secondsSince(start);
  }
  if (&in == &run.source) chooseWorkingSpace(run, frame, record);
  bool attach = in.fresh;
  if (!in.mask && in.imageSpace != run.workingSpace) {
    const auto start = SteadyClock::now();
    if (!in.fresh) in.image = in.file;
    std::string error;
    const Conversion* toWorking = conversion(run, in.space, run.workingSpace, error);
    if (!toWorking) return fail(kExitFailure, std::string(in.role) + " '" + in.path + "': " + error);
    toWorking->apply(in.image);
    in.imageSpace = run.workingSpace;
    attach = true;
    record.timings.decode += secondsSince(start);
  }
  if (attach) {
    in.version = ++run.imageVersions;
    run.session.host->detachImages(run.session.instance, in.clip);
    run.session.host->attachImage(run.session.instance, in.clip, hostView(in.image));
  }
  return {};
}

// Step 2: the frame's inputs, the Source first: it sets the frame's working space.
Status loadInputs(Run& run, int frame, FrameRecord& record) {
  run.reader->hold(frame);
  const std::vector<ClipInput*> inputs = run.inputs();
  for (size_t index = 0; index < inputs.size(); ++index) {
    ClipInput& in = *inputs[index];
    in.fresh = false;
    if (!in.given()) continue;
    const Status status = isFramePattern(in.pattern) ? takeSequenceFrame(run, int(index), frame, record)
                                                     : takeStill(run, in, frame, record);
    if (status.failed()) return status;
  }
  for (std::string& warning : run.reader->takeWarnings()) record.warnings.push_back(std::move(warning));
  record.timings.decode += run.reader->takeSeconds();
  record.source = run.source.path;
  record.reference = run.reference.path;
  record.sourceSpace = run.source.space;
  record.sourceSpaceFrom = run.source.spaceFrom;
  record.referenceSpace = run.reference.space;
  record.referenceSpaceFrom = run.reference.spaceFrom;
  return {};
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

// Colours that are not numbers; an input without a single finite colour fails the frame before
// anything is rendered.
Status lookForNonFinite(Run& run, int frame, FrameRecord& record) {
  for (ClipInput* in : {&run.source, &run.reference}) {
    const NonFiniteCount& count = in->nonFinite;
    (in == &run.source ? record.sourceNonFinite : record.referenceNonFinite) = count.share();
    if (!in->fresh) continue;  // a still input is checked where it is read
    if (!count.anyFinite()) {
      for (const std::string& warning : record.warnings) printWarning(warning);
      return fail(kExitFailure, run.at(frame) + in->role + " '" + in->path +
                                    "' has no pixel whose R, G and B are all finite numbers (NaN or "
                                    "infinite everywhere: a damaged file or a failed render); nothing is "
                                    "written for this frame");
    }
    if (count.nonFinite > 0)
      record.warnings.push_back(run.at(frame) + in->role + " '" + in->path +
                                "': " + shareText(count.nonFinite, count.pixels) +
                                " have a NaN or infinite R, G or B (a damaged file or a bad render)");
  }
  return {};
}

// Masks that select nothing (Different Clips), and pictures that overlap only in part (Same Frame).
void lookAtPlacement(Run& run, int frame, FrameRecord& record) {
  const Image &source = run.source.image, &reference = run.reference.image;
  if (!run.sameFrame) {
    const std::pair<const ClipInput*, const Image*> masks[] = {{&run.sourceMask, &source},
                                                               {&run.referenceMask, &reference}};
    for (const auto& [mask, image] : masks)
      if (mask->given() && !maskSelectsSamples(weightsOf(*mask, *image), image->width, image->height))
        record.warnings.push_back(run.at(frame) + mask->role + " '" + mask->path +
                                  "' selects no sample: the match has nothing to learn from, and the "
                                  "Output is the Source unmatched");
  } else if (!(canvasBounds(source) == canvasBounds(reference))) {
    const PixelRect s = canvasBounds(source), r = canvasBounds(reference);
    const int w = std::max(0, std::min(s.x2, r.x2) - std::max(s.x1, r.x1));
    const int h = std::max(0, std::min(s.y2, r.y2) - std::max(s.y1, r.y1));
    const bool sameSize = source.width == reference.width && source.height == reference.height;
    record.warnings.push_back(run.at(frame) + "Same Frame with a Source of " + sizeText(source) +
                              " and a Reference of " + sizeText(reference) + (sameSize ? " at another place" : "") +
                              ": only their " + std::to_string(w) + "x" + std::to_string(h) + " overlap is compared");
  }
}

// Source colours outside 0..1 of the working space, which the match clips.
void lookForClipping(Run& run, int frame, FrameRecord& record) {
  const MatchOptions& o = run.o;
  const double mix = o.mix.value_or(1.0);
  const bool matched[3] = {mix * o.mixR.value_or(1.0) > 0, mix * o.mixG.value_or(1.0) > 0,
                           mix * o.mixB.value_or(1.0) > 0};
  record.clippedShare = outOfRangeShare(run.source.image, matched);
  if (record.clippedShare <= 0.001) return;
  char share[32];
  std::snprintf(share, sizeof share, "%.2f%%", 100.0 * record.clippedShare);
  std::string hint;
  if (!run.workingOption.empty())
    hint = "; without --working-space, a Source above 1 is matched in a space that holds its highlights";
  record.warnings.push_back(run.at(frame) + share + " of the Source pixels have R, G or B outside 0..1 in " +
                            run.workingSpace + ", which the match clips (its table covers 0..1)" + hint);
}

// Step 3: what would spoil the shot, one line each.
Status lookForSurprises(Run& run, int frame, FrameRecord& record) {
  if (Status status = lookForNonFinite(run, frame, record); status.failed()) return status;
  lookAtPlacement(run, frame, record);
  lookForClipping(run, frame, record);
  for (const std::string& warning : record.warnings) printWarning(warning);
  return {};
}

// The frames the match of this frame is learnt from: those the plug-in asks for of the
// Reference, less those missing from a sequence.
void noteAnalysis(Run& run, int frame, FrameRecord& record) {
  if (!run.sequence) return;
  const ofxhost::FramesNeeded needed = run.session.host->framesNeeded(run.session.instance, run.time(frame));
  for (const OfxRangeD& range : needed.ranges.at("Reference"))
    for (double t = std::ceil(range.min); t <= range.max; t += 1.0)
      (frameComplete(run, int(t)) ? record.learntFrom : record.leftOut).push_back(int(t));
  if (record.leftOut.empty()) return;
  const size_t n = record.leftOut.size();
  const std::string warning = run.at(frame) + "frame" + (n > 1 ? "s " : " ") + frameList(record.leftOut) + " of the " +
                              std::to_string(n + record.learntFrom.size()) + " the match is learnt from " +
                              (n > 1 ? "are" : "is") + " missing on disk and left out";
  record.warnings.push_back(warning);
  // Said once on standard error, and again only for frames not said before.
  const size_t said = run.saidMissing.size();
  run.saidMissing.insert(record.leftOut.begin(), record.leftOut.end());
  if (run.saidMissing.size() > said) printWarning(warning);
}

// Step 4: the Output, rendered at the Source's canvas place in tiles.
Status renderOutput(Run& run, int frame, FrameRecord& record) {
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
  RenderRequest request;
  request.time = run.time(frame);
  request.window = {canvas.x1, canvas.y1, canvas.x2, canvas.y2};
  request.threads = run.threads;
  request.tileSize = run.o.tileSize;
  request.stop = &stopRequest();
  RenderTimes times;
  std::string error;
  const bool rendered = renderFrame(run.session, request, times, error);
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
  if (!unread.empty()) return fail(kExitFailure, "frame " + std::to_string(frame) + ": " + unread);
  if (!rendered && !interruptSignal()) return fail(kExitFailure, "frame " + std::to_string(frame) + ": " + error);
  return {};
}

// Back from the working space into the Output's: --output-space, else the Source's, except that
// an EXR, which every reader takes as linear light, holds the config's scene-linear space unless
// the Source's is linear light already, and a picture for display (JPEG, PNG, an 8- or 16-bit
// TIFF, ...), which every viewer shows as sRGB, holds sRGB when the Source's space is linear.
void chooseOutputSpace(const Run& run, FrameRecord& record) {
  record.outputSpace = run.outputSpace.empty() ? record.sourceSpace : run.outputSpace;
  record.outputSpaceFrom = run.outputSpace.empty() ? "source" : "option";
  if (!run.outputSpace.empty()) return;
  const std::string format = outputFormatFor(record.output);
  const std::string sceneLinear = resolveSpace(run.colour, OCIO::ROLE_SCENE_LINEAR);
  const bool linearSource = isLinearLight(run.colour, record.sourceSpace);
  const SampleDepth depth =
      run.o.depth != SampleDepth::Unknown ? run.o.depth : outputDepth(format, run.source.image.depth);
  const std::string srgb = resolveSpace(run.colour, kSrgbTexture);
  if (format == "openexr" && !sceneLinear.empty() && !linearSource) {
    record.outputSpace = sceneLinear;
    record.outputSpaceFrom = "scene_linear";
  } else if (isDisplayFormat(format, depth) && !srgb.empty() && linearSource) {
    record.outputSpace = srgb;
    record.outputSpaceFrom = "display";
  }
}

// What the next run will take the file for, once per run.
void checkWrittenSpace(Run& run, const FrameRecord& record) {
  Image written;
  std::string error;
  if (run.outputChecked || !readColourHeader(record.output, written, error)) return;
  run.outputChecked = true;
  const FileSpace readBack = fileSpace(run.colour, written);
  if (readBack.name != record.outputSpace)
    run.warn("OUTPUT '" + record.output + "': the " + written.format + " file cannot name its colour space, " +
             record.outputSpace + ", and reads back as " + readBack.name + ": give --source-space '" +
             record.outputSpace + "' to match it again");
}

// Step 5: the Output file, with the Source's layout.
Status writeOutput(Run& run, int frame, FrameRecord& record) {
  const auto start = SteadyClock::now();
  std::string error;
  record.output = expandFrame(run.o.output, frame);
  chooseOutputSpace(run, record);
  const Conversion* back = conversion(run, run.workingSpace, record.outputSpace, error);
  if (!back) return fail(kExitFailure, "OUTPUT '" + record.output + "': " + error);
  Image encoded = run.output;
  back->apply(encoded);
  WriteSettings settings = run.writeSettings;
  const SpaceMetadata metadata = spaceMetadata(record.outputSpace);
  settings.colourSpace = metadata.attribute;
  settings.chromaticities = metadata.primaries;
  settings.spaceName = record.outputSpace;
  settings.sameColourSpace = record.outputSpace == record.sourceSpace;
  if (!writeColourImage(record.output, encoded, settings, error)) return fail(kExitFailure, error);
  record.written = true;
  checkWrittenSpace(run, record);
  record.timings.encode += secondsSince(start);
  if (!run.sequence) printNote("wrote " + record.output);
  return {};
}

}  // namespace

Status runFrame(Run& run, int frame, FrameRecord& record) {
  using Step = Status (*)(Run&, int, FrameRecord&);
  for (Step step : {loadInputs, lookForSurprises, renderOutput, writeOutput, exportLooks, measureFrame}) {
    if (interruptSignal()) return {};
    if (Status status = step(run, frame, record); status.failed()) return status;
  }
  return {};
}

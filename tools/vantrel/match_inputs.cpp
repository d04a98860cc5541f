// The inputs of `vantrel match`: their files and colour spaces, the conversions between the
// run's spaces, and the sequences served to the plug-in at the frames it asks for.
#include "match_run.h"

#include "imaging/frame_checks.h"
#include "session/host_view.h"

#include <filesystem>
#include <system_error>

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

namespace {

// The colour space of a colour file just read: the option's, else its metadata's, else the
// default for its samples. A note goes out once per input when metadata named nothing known.
Status chooseSpace(Run& run, const ClipInput& in, ShotFrame& file, std::vector<std::string>& warnings) {
  const std::string& option = &in == &run.source ? run.sourceSpace : run.referenceSpace;
  if (!option.empty()) {
    file.space = option;
    file.spaceFrom = "option";
    return {};
  }
  FileSpace found = fileSpace(run.colour, file.image);
  const std::string flag = &in == &run.source ? "--source-space" : "--reference-space";
  if (found.name.empty())
    return fail(kExitUsage, std::string(in.role) + " '" + file.path + "': the " + run.colour.origin +
                                " config has no '" + (isIntegerDepth(file.image.depth) ? kSrgbTexture : kLinearRec709) +
                                "' for its " + depthName(file.image.depth) + " samples: give " + flag);
  // A float EXR that names no space is taken as linear light; its values may say otherwise (the
  // first file of each input is looked at).
  const bool byValues = !found.logarithmic && found.from == "default" && file.image.format == "openexr" &&
                        run.logChecked.insert(in.role).second && looksLogEncoded(file.image);
  if (byValues) {
    found.logarithmic = true;
    found.note =
        "it names no colour space, and its values look like log codes, not linear light (its darkest 1% at 0.06 "
        "or above, its brightest 1% at 0.8 or below)";
  }
  if (found.logarithmic && run.spaceNotes.insert(in.role).second) {
    std::string spaces;
    for (const std::string& name : logSpaces(run.colour)) spaces += (spaces.empty() ? "" : ", ") + name;
    warnings.push_back(std::string(in.role) + " '" + file.path + "': " + found.note + "; taken as " + found.name +
                       (byValues ? ", which is wrong if they are: give " : ", which will be wrong: give ") + flag +
                       (spaces.empty() ? "" : " (the " + run.colour.origin + " config's log spaces: " + spaces + ")"));
  } else if (!found.note.empty() && run.spaceNotes.insert(in.role).second) {
    warnings.push_back(std::string(in.role) + " '" + file.path + "': " + found.note + "; taken as " + found.name +
                       " (" + flag + " chooses)");
  }
  file.space = found.name;
  file.spaceFrom = found.from;
  return {};
}

}  // namespace

const std::string& defaultSpaceFor(const Run& run, const std::vector<double>& above) {
  const int highlights = highlightSpaceFor(above);
  return highlights < 0 ? run.withinOne : run.forHighlights[size_t(highlights)];
}

// With its colour space, its non-finite count and, for a Source that sets each frame's working
// space, its shares above the levels. With `convert`, colour goes into the working space, where
// the plug-in sees it: the run's, or the one this Source frame sets. Masks are data and stay as
// they are.
Status readInput(Run& run, const ClipInput& in, int frame, ShotFrame& out, std::vector<std::string>& warnings,
                 bool convert) {
  out.path = expandFrame(in.pattern, frame);
  std::string error;
  const bool ok = in.mask ? readMaskImage(out.path, out.image, error) : readColourImage(out.path, out.image, error);
  if (!ok) return fail(kExitFailure, error);
  if (in.mask) return {};
  if (Status status = chooseSpace(run, in, out, warnings); status.failed()) return status;
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
  if (!convert) return {};
  const std::string& working =
      &in == &run.source && run.spacePerFrame ? defaultSpaceFor(run, out.above) : run.workingSpace;
  if (working == out.space) return {};
  const Conversion* toWorking = conversion(run, out.space, working, error);
  if (!toWorking) return fail(kExitFailure, std::string(in.role) + " '" + out.path + "': " + error);
  toWorking->apply(out.image);
  out.workingSpace = working;
  return {};
}

bool frameComplete(Run& run, int frame) {
  std::lock_guard<std::mutex> hold(run.completeLock);
  auto found = run.complete.find(frame);
  if (found != run.complete.end()) return found->second;
  bool complete = true;
  for (const ClipInput* in : run.inputs()) {
    // Masks play no part in Same Frame mode.
    if (in->given() && isFramePattern(in->pattern) && !(in->mask && run.sameFrame)) {
      std::error_code ec;
      complete = complete && std::filesystem::is_regular_file(expandFrame(in->pattern, frame), ec);
    }
  }
  return run.complete[frame] = complete;
}

std::shared_ptr<ofxhost::Image> hostView(const Image& image) {
  const PixelRect canvas = canvasBounds(image);
  return hostView(Pixels{image.pixels.data(), image.width, image.height, image.channels, canvas.x1, canvas.y1});
}

namespace {

// A host view that keeps the reader's frame alive while the plug-in holds it.
std::shared_ptr<ofxhost::Image> sharedView(std::shared_ptr<const ShotFrame> frame) {
  struct Held {
    std::shared_ptr<const ShotFrame> frame;
    ofxhost::Image view;
  };
  auto held = std::make_shared<Held>();
  held->view = *hostView(frame->image);
  held->frame = std::move(frame);
  return std::shared_ptr<ofxhost::Image>(held, &held->view);
}

}  // namespace

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
